#include "host/gateway/LocalAuthority.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <memory>

#include "host/gateway/OpenSslError.hpp"
#include "host/gateway/StateFiles.hpp"

namespace host::gateway {

namespace {

constexpr long kAuthorityDays = 3650;
constexpr long kServerDays = 730;
constexpr long kDaySeconds = 24 * 3600;

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* cert) const { X509_free(cert); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

std::string hex(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

foundation::Result<std::string> pemOf(const std::function<int(BIO*)>& write,
                                      const std::string& what) {
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return opensslError("PEM_write(" + what + ")");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

Key readKey(const std::string& pem) {
  std::unique_ptr<BIO, Free> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  clearOpensslErrors();
  return key;
}

Certificate readCertificate(const std::string& pem) {
  std::unique_ptr<BIO, Free> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Certificate cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  clearOpensslErrors();
  return cert;
}

bool addExtension(X509* cert, X509* signer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, signer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  const bool added = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `key` named `commonName`, signed by `signerKey` as `signer` (itself when
// null), valid from an hour ago (clocks drift) for `days`.
foundation::Result<Certificate> certify(EVP_PKEY* key, const std::string& commonName, long days,
                                        X509* signer, EVP_PKEY* signerKey, bool authority) {
  Certificate cert(X509_new());
  unsigned char serial[16];
  if (!cert || RAND_bytes(serial, sizeof serial) != 1) return opensslError("X509_new");
  serial[0] &= 0x7F;  // a positive serial number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  ASN1_INTEGER* asn1 = number ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
  const bool serialSet = asn1 != nullptr && X509_set_serialNumber(cert.get(), asn1) == 1;
  ASN1_INTEGER_free(asn1);
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (!serialSet || X509_set_version(cert.get(), 2) != 1 ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Halvicourt"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(cert.get(), signer ? X509_get_subject_name(signer) : name) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDaySeconds) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return opensslError("X509 fields(" + commonName + ")");
  }
  X509* by = signer ? signer : cert.get();
  const bool extended =
      authority ? addExtension(cert.get(), by, NID_basic_constraints, "critical,CA:TRUE") &&
                      addExtension(cert.get(), by, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                      addExtension(cert.get(), by, NID_subject_key_identifier, "hash")
                : addExtension(cert.get(), by, NID_basic_constraints, "critical,CA:FALSE") &&
                      addExtension(cert.get(), by, NID_key_usage, "critical,digitalSignature") &&
                      addExtension(cert.get(), by, NID_ext_key_usage, "serverAuth") &&
                      addExtension(cert.get(), by, NID_subject_alt_name,
                                   "IP:127.0.0.1,IP:::1,DNS:localhost") &&
                      addExtension(cert.get(), by, NID_authority_key_identifier, "keyid:always");
  if (!extended) return opensslError("X509V3_EXT_conf_nid(" + commonName + ")");
  if (X509_sign(cert.get(), signerKey ? signerKey : key, EVP_sha256()) <= 0) {
    return opensslError("X509_sign(" + commonName + ")");
  }
  return cert;
}

foundation::Status writeKey(const std::string& path, EVP_PKEY* key) {
  foundation::Result<std::string> pem = pemOf(
      [key](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
      },
      path);
  if (!pem.ok()) return pem.error();
  return writeStateFile(path, *pem, 0600);
}

foundation::Result<std::string> certificatePem(X509* cert) {
  return pemOf([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); }, "certificate");
}

// Whether `cert` was signed by `authority`'s key and has a day left.
bool stillGood(X509* cert, X509* authority) {
  EVP_PKEY* authorityKey = X509_get0_pubkey(authority);
  const bool signedByIt = authorityKey != nullptr && X509_verify(cert, authorityKey) == 1;
  const bool current = X509_cmp_time(X509_get0_notAfter(cert), nullptr) > 0;
  time_t tomorrow = time(nullptr) + kDaySeconds;
  const bool lasts = X509_cmp_time(X509_get0_notAfter(cert), &tomorrow) > 0;
  clearOpensslErrors();
  return signedByIt && current && lasts;
}

}  // namespace

foundation::Result<ServerIdentity> localServerIdentity(const std::string& stateDirectory) {
  const ServerIdentity identity{stateDirectory + "/server.pem", stateDirectory + "/server.key",
                                stateDirectory + "/authority.pem"};
  const std::string authorityKeyFile = stateDirectory + "/authority.key";

  foundation::Result<std::string> authorityPem = readStateFile(identity.authorityFile);
  foundation::Result<std::string> authorityKeyPem = readStateFile(authorityKeyFile);
  Certificate authority = authorityPem.ok() ? readCertificate(*authorityPem) : nullptr;
  Key authorityKey = authorityKeyPem.ok() ? readKey(*authorityKeyPem) : nullptr;
  if (!authority || !authorityKey ||
      X509_check_private_key(authority.get(), authorityKey.get()) != 1) {
    clearOpensslErrors();
    authorityKey.reset(EVP_EC_gen("P-256"));
    if (!authorityKey) return opensslError("EVP_EC_gen(authority)");
    foundation::Result<Certificate> made =
        certify(authorityKey.get(), "Halvicourt Gateway Local Authority", kAuthorityDays, nullptr,
                nullptr, true);
    if (!made.ok()) return made.error();
    authority = std::move(*made);
    foundation::Result<std::string> pem = certificatePem(authority.get());
    if (!pem.ok()) return pem.error();
    if (foundation::Status written = writeKey(authorityKeyFile, authorityKey.get());
        !written.ok()) {
      return written.error();
    }
    if (foundation::Status written = writeStateFile(identity.authorityFile, *pem, 0644);
        !written.ok()) {
      return written.error();
    }
  }

  foundation::Result<std::string> serverPem = readStateFile(identity.certificateChainFile);
  foundation::Result<std::string> serverKeyPem = readStateFile(identity.privateKeyFile);
  Certificate server = serverPem.ok() ? readCertificate(*serverPem) : nullptr;
  Key serverKey = serverKeyPem.ok() ? readKey(*serverKeyPem) : nullptr;
  if (server && serverKey && X509_check_private_key(server.get(), serverKey.get()) == 1 &&
      stillGood(server.get(), authority.get())) {
    return identity;
  }
  clearOpensslErrors();
  serverKey.reset(EVP_EC_gen("P-256"));
  if (!serverKey) return opensslError("EVP_EC_gen(server)");
  foundation::Result<Certificate> made = certify(serverKey.get(), "localhost", kServerDays,
                                                 authority.get(), authorityKey.get(), false);
  if (!made.ok()) return made.error();
  foundation::Result<std::string> leaf = certificatePem(made->get());
  foundation::Result<std::string> root = certificatePem(authority.get());
  if (!leaf.ok()) return leaf.error();
  if (!root.ok()) return root.error();
  // The key first: a chain whose key is not there yet fails the check above and is made again.
  if (foundation::Status written = writeKey(identity.privateKeyFile, serverKey.get());
      !written.ok()) {
    return written.error();
  }
  if (foundation::Status written =
          writeStateFile(identity.certificateChainFile, *leaf + *root, 0644);
      !written.ok()) {
    return written.error();
  }
  return identity;
}

foundation::Result<std::string> deviceTokenIn(const std::string& stateDirectory) {
  const std::string path = stateDirectory + "/device-token";
  foundation::Result<std::string> kept = readStateFile(path);
  if (kept.ok()) {
    std::string token = *kept;
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    const bool hexOnly =
        !token.empty() && token.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!hexOnly) {
      return NSError{NSCocoaErrorDomain, 0, path + ": not a device token in lowercase hex"};
    }
    return token;
  }
  if (kept.error().code != ENOENT) return kept.error();
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return opensslError("RAND_bytes(device token)");
  const std::string token = hex(bytes, sizeof bytes);
  if (foundation::Status written = writeStateFile(path, token + "\n", 0644); !written.ok()) {
    return written.error();
  }
  return token;
}

}  // namespace host::gateway
