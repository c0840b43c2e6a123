// ProviderTokenVerifier: checks the provider tokens of token authentication, as the push
// service does: a JWT signed with ES256 by the provider's P-256 key, its header naming the
// key (`kid`), its claims the team (`iss`) and when it was made (`iat`, an hour of use).
//
// A short verifier over OpenSSL's EVP rather than a JWT library. Debian 12's libjwt (1.10.2)
// lets the token's header choose the algorithm in jwt_decode: a token saying HS256 is
// checked as an HMAC keyed with the key's PEM text, which for a public key is no secret
// (the algorithm confusion its maintainers tell callers to guard against after the fact),
// and it brings libjansson and libb64 into the host for one signature. Here the algorithm is
// fixed: only "ES256" with a P-256 key is read, the signature is the 64 bytes R||S of
// RFC 7518 and nothing else, and the key is the host's, never the token's.
//
// Immutable once made; verify() is thread-safe. Owns its key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Foundation/NSError.hpp"

namespace host::gateway {

class ProviderTokenVerifier {
 public:
  // How far ahead of the gateway's clock an `iat` may be: providers' clocks drift.
  static constexpr std::int64_t kClockSkewSeconds = 300;
  // How long after its `iat` a token is accepted.
  static constexpr std::int64_t kLifetimeSeconds = 3600;

  // `pem`: the provider's signing key (AuthKey_<ID>.p8, PKCS#8) or its public half; an error
  // unless it is a P-256 key.
  static foundation::Result<ProviderTokenVerifier> fromPem(std::string_view pem, std::string keyId,
                                                           std::string teamId);
  // The same, read from the file at `path`.
  static foundation::Result<ProviderTokenVerifier> fromFile(const std::string& path,
                                                            std::string keyId, std::string teamId);

  enum class Outcome { valid, invalid, expired };
  struct Verdict {
    Outcome outcome = Outcome::invalid;
    std::int64_t iat = 0;  // the token's iat, once its signature holds
  };
  // `token` is the text after "bearer "; `now` is seconds since the epoch.
  Verdict verify(std::string_view token, std::int64_t now) const;

  const std::string& keyId() const { return keyId_; }
  const std::string& teamId() const { return teamId_; }

 private:
  struct Key;
  ProviderTokenVerifier(std::shared_ptr<const Key> key, std::string keyId, std::string teamId);

  std::shared_ptr<const Key> key_;
  std::string keyId_;
  std::string teamId_;
};

// `text` decoded from base64url without padding (RFC 7515); absent when it is anything else.
std::optional<std::string> decodeBase64Url(std::string_view text);

}  // namespace host::gateway
