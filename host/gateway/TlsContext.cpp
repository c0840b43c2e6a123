#include "host/gateway/TlsContext.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "host/gateway/OpenSslError.hpp"

namespace host::gateway {

namespace {

// The wire form of the protocols offered, as "h2,http/1.1" for the log.
std::string protocolList(const unsigned char* in, unsigned int length) {
  std::string out;
  for (unsigned int at = 0; at < length;) {
    const unsigned int size = in[at++];
    if (size > length - at) break;
    if (!out.empty()) out += ',';
    out.append(reinterpret_cast<const char*>(in + at), size);
    at += size;
  }
  return out;
}

int selectH2(SSL* ssl, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
             unsigned int inLength, void*) {
  for (unsigned int at = 0; at < inLength;) {
    const unsigned int size = in[at];
    if (size > inLength - at - 1) break;
    if (size == 2 && in[at + 1] == 'h' && in[at + 2] == '2') {
      *out = in + at + 1;
      *outLength = 2;
      return SSL_TLSEXT_ERR_OK;
    }
    at += size + 1;
  }
  if (auto* refusal = static_cast<std::string*>(SSL_get_app_data(ssl))) {
    *refusal = protocolList(in, inLength);
  }
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

}  // namespace

foundation::Result<std::unique_ptr<TlsContext>> TlsContext::make(
    const std::string& certificateChainFile, const std::string& privateKeyFile,
    const std::string& clientAuthorityFile) {
  SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
  if (raw == nullptr) return opensslError("SSL_CTX_new");
  std::unique_ptr<TlsContext> context(new TlsContext(raw));
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  SSL_CTX_set_options(
      raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
  // A connection keeps its record buffers (about 34 KiB, at most 256 connections): releasing
  // them after each write made every write and read allocate 17 KiB anew, and each such
  // allocation gathered up the heap's freed small blocks first.
  SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(raw, certificateChainFile.c_str()) != 1) {
    return opensslError("SSL_CTX_use_certificate_chain_file(" + certificateChainFile + ")");
  }
  if (SSL_CTX_use_PrivateKey_file(raw, privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    return opensslError("SSL_CTX_use_PrivateKey_file(" + privateKeyFile + ")");
  }
  if (SSL_CTX_check_private_key(raw) != 1) {
    return opensslError("SSL_CTX_check_private_key(" + privateKeyFile + ")");
  }
  if (!clientAuthorityFile.empty()) {
    if (SSL_CTX_load_verify_locations(raw, clientAuthorityFile.c_str(), nullptr) != 1) {
      return opensslError("SSL_CTX_load_verify_locations(" + clientAuthorityFile + ")");
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientAuthorityFile.c_str());
    if (names == nullptr)
      return opensslError("SSL_load_client_CA_file(" + clientAuthorityFile + ")");
    SSL_CTX_set_client_CA_list(raw, names);
    // Asked for, not required: a token provider connects without one.
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_verify_depth(raw, 4);
  }
  SSL_CTX_set_alpn_select_cb(raw, &selectH2, nullptr);
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

SSL* TlsContext::accept(int fd, std::string* alpnRefusal) const {
  SSL* ssl = SSL_new(context_);
  if (ssl == nullptr) return nullptr;
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_app_data(ssl, alpnRefusal);
  SSL_set_accept_state(ssl);
  return ssl;
}

HandshakeFacts handshakeFacts(SSL* ssl) {
  HandshakeFacts facts;
  const unsigned char* alpn = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl, &alpn, &length);
  if (alpn != nullptr) facts.alpn.assign(reinterpret_cast<const char*>(alpn), length);
  facts.version = SSL_get_version(ssl);
  X509* peer = SSL_get0_peer_certificate(ssl);
  if (peer != nullptr && SSL_get_verify_result(ssl) == X509_V_OK) {
    facts.clientCertificate = true;
    X509_NAME* subject = X509_get_subject_name(peer);
    const int at = X509_NAME_get_index_by_NID(subject, NID_userId, -1);
    if (at >= 0) {
      ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
      unsigned char* text = nullptr;
      const int size = ASN1_STRING_to_UTF8(&text, value);
      if (size > 0)
        facts.certificateTopic.assign(reinterpret_cast<const char*>(text),
                                      static_cast<std::size_t>(size));
      OPENSSL_free(text);
    }
  }
  return facts;
}

}  // namespace host::gateway
