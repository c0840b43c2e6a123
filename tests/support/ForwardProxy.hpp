// ForwardProxy: tinyproxy on 127.0.0.1, for 127.0.0.1's clients only, forwarding plain HTTP
// requests and tunnelling CONNECT to any port. It runs in the foreground from construction
// to destruction, on a free port (another is tried when the port turns out taken), with its
// configuration and log in a temporary directory. The log names each request it took, e.g.
// "GET http://127.0.0.1:8080/image.png HTTP/1.1" or "CONNECT 127.0.0.1:8443 HTTP/1.1".
// Not thread-safe; one owner (the proxy serves any number of clients).
#pragma once

#include <memory>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace testing_support {

class ForwardProxy {
 public:
  ForwardProxy();

  // "http://127.0.0.1:<port>": the value for http_proxy and https_proxy.
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return readFile(dir_.file("tinyproxy.log")); }
  // Waits until the log holds `text`; false after a minute.
  bool waitForLog(const std::string& text) const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> tinyproxy_;
};

}  // namespace testing_support
