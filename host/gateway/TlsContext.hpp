// TlsContext: the gateway's TLS server side (OpenSSL): its certificate chain and key, TLS 1.2
// at least, no renegotiation, and HTTP/2 chosen through ALPN. A client that offers "h2" gets
// it; one that offers only other protocols (http/1.1) fails the handshake with
// no_application_protocol; one that offers none is spoken h2 to all the same, as several
// widely used provider clients send no ALPN. With a client authority, a client certificate
// is asked for (not required) and, when given, must chain to it.
//
// Owns the SSL_CTX; the SSLs it makes are the caller's. Thread-safe to share, as SSL_CTX is
// once set up; the gateway uses it from one thread.
#pragma once

#include <memory>
#include <string>

#include "Foundation/NSError.hpp"

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace host::gateway {

class TlsContext {
 public:
  // `clientAuthorityFile` may be "": no client certificates.
  static foundation::Result<std::unique_ptr<TlsContext>> make(
      const std::string& certificateChainFile, const std::string& privateKeyFile,
      const std::string& clientAuthorityFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // A server-side SSL on the connected socket `fd`. When ALPN refuses the client, the
  // protocols it offered are written to `*alpnRefusal`, which must outlive the handshake.
  SSL* accept(int fd, std::string* alpnRefusal) const;

 private:
  explicit TlsContext(SSL_CTX* context) : context_(context) {}
  SSL_CTX* context_;
};

// What a finished handshake settled.
struct HandshakeFacts {
  std::string alpn;     // "h2", or "" when the client offered none
  std::string version;  // "TLSv1.3"
  // A client certificate that chains to the client authority: its subject UID.
  bool clientCertificate = false;
  std::string certificateTopic;
};
HandshakeFacts handshakeFacts(SSL* ssl);

}  // namespace host::gateway
