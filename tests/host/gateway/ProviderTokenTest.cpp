// Provider tokens as the service judges them: the signature, the algorithm the gateway fixes,
// the key and team they name, their age, and the rule on replacing one on a connection.
#include "host/gateway/ProviderToken.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <nlohmann/json.hpp>

#include "host/gateway/ConnectionToken.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/TempDir.hpp"

namespace host::gateway {
namespace {

using testing::base64Url;
using testing::kKeyId;
using testing::kTeamId;
using Outcome = ProviderTokenVerifier::Outcome;

constexpr std::int64_t kNow = 1'800'000'000;

// A token saying HS256, its HMAC keyed with the public key's PEM text: what a verifier that
// lets the header pick the algorithm accepts.
std::string hmacToken(const std::string& pem) {
  const std::string signedPart =
      base64Url(nlohmann::json{{"alg", "HS256"}, {"kid", kKeyId}}.dump()) + "." +
      base64Url(nlohmann::json{{"iss", kTeamId}, {"iat", kNow}}.dump());
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), pem.data(), static_cast<int>(pem.size()),
       reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size(), mac, &length);
  return signedPart + "." + base64Url(std::string(reinterpret_cast<char*>(mac), length));
}

std::string withParts(const std::string& token, const std::string& header,
                      const std::string& signature) {
  const std::size_t first = token.find('.');
  const std::size_t second = token.find('.', first + 1);
  return (header.empty() ? token.substr(0, first) : header) +
         token.substr(first, second - first + 1) +
         (signature.empty() ? token.substr(second + 1) : signature);
}

TEST(ProviderTokenTest, VerifiesAsTheServiceDoes) {
  testing::TestCredentials credentials;
  foundation::Result<ProviderTokenVerifier> verifier =
      ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  ASSERT_TRUE(verifier.ok()) << verifier.error().description;
  const std::string good = credentials.token(kNow);
  std::string flipped = good;
  flipped[flipped.size() - 5] = flipped[flipped.size() - 5] == 'A' ? 'B' : 'A';
  const std::string noneHeader = base64Url(R"({"alg":"none","kid":"KEY1234567"})");
  struct Row {
    const char* what;
    std::string token;
    Outcome outcome;
  } rows[] = {
      {"a fresh token", good, Outcome::valid},
      {"made 59 minutes ago", credentials.token(kNow - 59 * 60), Outcome::valid},
      {"made an hour and a second ago", credentials.token(kNow - 3601), Outcome::expired},
      {"made four minutes ahead", credentials.token(kNow + 240), Outcome::valid},
      {"made an hour ahead", credentials.token(kNow + 3600), Outcome::invalid},
      {"another key id", credentials.token(kNow, "OTHERKEY00"), Outcome::invalid},
      {"another team", credentials.token(kNow, kKeyId, "OTHERTEAM0"), Outcome::invalid},
      {"signed by another key", credentials.tokenFromAnotherKey(kNow), Outcome::invalid},
      {"a signature byte changed", flipped, Outcome::invalid},
      {"alg ES384 over an ES256 signature", credentials.token(kNow, kKeyId, kTeamId, "ES384"),
       Outcome::invalid},
      {"alg none, no signature", withParts(good, noneHeader, "").substr(0, good.rfind('.') + 1),
       Outcome::invalid},
      {"alg none, the signature kept", withParts(good, noneHeader, ""), Outcome::invalid},
      {"HS256 keyed with the public key",
       hmacToken(testing_support::readFile(credentials.publicKeyFile())), Outcome::invalid},
      {"a DER signature", withParts(good, "", base64Url(std::string(70, '\x30'))),
       Outcome::invalid},
      {"padding in base64url", good + "=", Outcome::invalid},
      {"two parts", good.substr(0, good.rfind('.')), Outcome::invalid},
      {"four parts", good + ".x", Outcome::invalid},
      {"empty", "", Outcome::invalid},
      {"a header that is not JSON", withParts(good, base64Url("{alg"), ""), Outcome::invalid},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(verifier->verify(row.token, kNow).outcome, row.outcome) << row.what;
  }
  // The signing key itself (the .p8) verifies too.
  foundation::Result<ProviderTokenVerifier> fromPrivate =
      ProviderTokenVerifier::fromFile(credentials.signingKeyFile(), kKeyId, kTeamId);
  ASSERT_TRUE(fromPrivate.ok()) << fromPrivate.error().description;
  EXPECT_EQ(fromPrivate->verify(good, kNow).outcome, Outcome::valid);
}

TEST(ProviderTokenTest, RefusesKeysThatAreNotP256) {
  testing_support::TempDir dir;
  EVP_PKEY* rsa = EVP_RSA_gen(2048);
  ASSERT_NE(rsa, nullptr);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, rsa);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  const std::string rsaPem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  EVP_PKEY_free(rsa);
  const foundation::Result<ProviderTokenVerifier> fromRsa =
      ProviderTokenVerifier::fromPem(rsaPem, kKeyId, kTeamId);
  ASSERT_FALSE(fromRsa.ok());
  EXPECT_NE(fromRsa.error().description.find("P-256"), std::string::npos);
  EXPECT_FALSE(ProviderTokenVerifier::fromPem("not a key", kKeyId, kTeamId).ok());
  const foundation::Result<ProviderTokenVerifier> missing =
      ProviderTokenVerifier::fromFile(dir.file("AuthKey_missing.p8"), kKeyId, kTeamId);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description.find("AuthKey_missing.p8"), std::string::npos);
}

TEST(ProviderTokenTest, DecodesBase64UrlStrictly) {
  EXPECT_EQ(decodeBase64Url("aGk"), "hi");
  EXPECT_EQ(decodeBase64Url("-_8"), std::string("\xfb\xff", 2));
  EXPECT_FALSE(decodeBase64Url("aGk="));  // padding
  EXPECT_FALSE(decodeBase64Url("aGl"));   // bits past the last byte
  EXPECT_FALSE(decodeBase64Url("a"));     // not a whole byte
  EXPECT_FALSE(decodeBase64Url("a+b/"));  // base64's alphabet, not base64url's
}

TEST(ConnectionTokenTest, JudgesEachRequestOfAConnection) {
  testing::TestCredentials credentials;
  foundation::Result<ProviderTokenVerifier> verifier =
      ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  ASSERT_TRUE(verifier.ok());
  ConnectionToken token(&*verifier);
  const std::string first = "bearer " + credentials.token(kNow);
  const std::string second = "bearer " + credentials.token(kNow + 60);
  const std::string later = "bearer " + credentials.token(kNow + 20 * 60);
  struct Step {
    const char* what;
    std::optional<std::string> authorization;
    std::int64_t now;
    const char* reason;  // "" when taken
  } steps[] = {
      {"no authorization", std::nullopt, kNow, "MissingProviderToken"},
      {"basic, not bearer", "basic abc", kNow, "MissingProviderToken"},
      {"bearer and nothing", "bearer ", kNow, "MissingProviderToken"},
      {"a bad token", "bearer abc.def.ghi", kNow, "InvalidProviderToken"},
      {"the first token", first, kNow, ""},
      {"the same token again", first, kNow + 30, ""},
      {"Bearer in capitals", "Bearer " + first.substr(7), kNow + 31, ""},
      {"a new token a minute later", second, kNow + 60, "TooManyProviderTokenUpdates"},
      {"the first still holds", first, kNow + 61, ""},
      {"a new token 20 minutes later", later, kNow + 20 * 60, ""},
      {"the replaced token is a new one again", first, kNow + 20 * 60 + 1,
       "TooManyProviderTokenUpdates"},
      {"the token past its hour", later, kNow + 20 * 60 + 3601, "ExpiredProviderToken"},
  };
  for (const Step& step : steps) {
    const std::optional<Answer> refusal = token.judge(
        step.authorization ? std::optional<std::string_view>(*step.authorization) : std::nullopt,
        step.now);
    EXPECT_EQ(refusal ? refusal->reason : "", step.reason) << step.what;
    if (refusal) {
      EXPECT_EQ(refusal->status,
                std::string(step.reason) == "TooManyProviderTokenUpdates" ? 429 : 403)
          << step.what;
    }
  }
  EXPECT_TRUE(token.accepted());
  ConnectionToken unset(nullptr);
  EXPECT_EQ(unset.judge(first, kNow)->reason, "InvalidProviderToken");
}

}  // namespace
}  // namespace host::gateway
