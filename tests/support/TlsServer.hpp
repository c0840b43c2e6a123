// TlsServer: nginx on 127.0.0.1 speaking TLS 1.2 and 1.3, and HTTP/2 to clients that offer it
// through ALPN, with a certificate for 127.0.0.1 and localhost from a certificate authority
// of its own (made with the openssl command: P-256 keys, valid for two days). A client that
// trusts another server's authority sees verification fail. It serves a directory holding
// /image.png (the TestServer's; any query string).
//
// nginx runs in the foreground from construction to destruction, on a free port, with its
// configuration, keys, pid, logs and temporary files in a temporary directory. Its access log
// records each request's connection serial number and protocol, so a test can tell that
// HTTP/2 was spoken and that requests shared a connection. Not thread-safe; one owner (the
// server serves any number of clients).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace testing_support {

class TlsServer {
 public:
  // `authority`: the common name of the server's authority.
  explicit TlsServer(const std::string& authority = "Halvicourt Test Authority");

  int port() const { return port_; }
  // "https://127.0.0.1:<port>" + path
  std::string url(std::string_view path) const;

  // The authority's certificate (PEM): for SSL_CERT_FILE, or curl --cacert.
  std::string certificateFile() const { return dir_.file("authority.pem"); }
  // A directory holding only that certificate, under its subject hash: for SSL_CERT_DIR, or
  // curl --capath.
  std::string certificateDirectory() const { return dir_.file("hashed"); }

  struct Request {
    long connection = 0;   // nginx's serial number of the connection
    std::string protocol;  // "HTTP/2.0", "HTTP/1.1"
    int status = 0;
    std::string target;  // path and query
  };
  // The requests answered so far, in order. nginx logs one once its response has gone out,
  // so a client may see the response a moment before the log does: see waitForRequests.
  std::vector<Request> requests() const;
  // Waits until at least `count` requests are logged; false after a minute.
  bool waitForRequests(std::size_t count) const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> nginx_;
};

}  // namespace testing_support
