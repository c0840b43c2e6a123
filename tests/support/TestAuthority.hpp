// TestAuthority: a certificate authority made for a test with the openssl command (P-256
// keys, valid for two days), which issues server certificates for 127.0.0.1 and localhost.
// Its files live in a temporary directory of its own, removed when the object goes.
// Not thread-safe; one owner.
#pragma once

#include <string>

#include "tests/support/TempDir.hpp"

namespace testing_support {

class TestAuthority {
 public:
  explicit TestAuthority(const std::string& name = "Halvicourt Test Authority");

  // The authority's certificate (PEM): for SSL_CERT_FILE, or curl --cacert.
  std::string certificateFile() const { return dir_.file("authority.pem"); }
  // A directory holding only that certificate, under its subject hash: for SSL_CERT_DIR, or
  // curl --capath.
  std::string certificateDirectory() const { return dir_.file("hashed"); }

  struct ServerCertificate {
    std::string certificateFile;  // PEM, the server's certificate alone
    std::string keyFile;          // PEM, unencrypted
  };
  // A new server certificate with subjectAltName IP:127.0.0.1 and DNS:localhost, and its key.
  ServerCertificate issueServerCertificate();

 private:
  TempDir dir_;
  int issued_ = 0;
};

}  // namespace testing_support
