// TestCredentials: what a provider brings to the gateway's tests, made by the test: a P-256
// signing key (AuthKey_<ID>.p8, PKCS#8, with its public half), ES256 provider tokens signed
// with it, and a client authority with a client certificate whose subject UID is a topic
// (made with the openssl command). Files live in a temporary directory owned by the object.
// Not thread-safe; one owner.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/support/TempDir.hpp"

namespace host::gateway::testing {

inline constexpr char kKeyId[] = "KEY1234567";
inline constexpr char kTeamId[] = "TEAM123456";
inline constexpr char kTopic[] = "com.halvicourt.app";

class TestCredentials {
 public:
  TestCredentials();

  std::string signingKeyFile() const { return dir_.file(std::string("AuthKey_") + kKeyId + ".p8"); }
  std::string publicKeyFile() const { return dir_.file("AuthKey.pub.pem"); }
  // A provider token: header {"alg", "kid"}, claims {"iss", "iat"}, signed ES256 with the
  // signing key (the signature R||S, as JWS has it).
  std::string token(std::int64_t iat, const std::string& keyId = kKeyId,
                    const std::string& teamId = kTeamId, const std::string& alg = "ES256") const;
  // The same header and claims signed with another P-256 key.
  std::string tokenFromAnotherKey(std::int64_t iat) const;

  std::string clientAuthorityFile() const { return dir_.file("client-authority.pem"); }
  // A client certificate and key signed by the client authority, with subject UID `uid`;
  // made on first use of each uid.
  struct ClientCertificate {
    std::string certificateFile;
    std::string keyFile;
  };
  ClientCertificate clientCertificate(const std::string& uid) const;
  // One from an authority the gateway does not know.
  ClientCertificate strangerCertificate() const;

 private:
  testing_support::TempDir dir_;
};

// The wall clock's seconds, as the gateway reads them to judge a token's age.
inline std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// `bytes` in base64url without padding.
std::string base64Url(const std::string& bytes);

}  // namespace host::gateway::testing
