#include "host/gateway/ProviderToken.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <nlohmann/json.hpp>

#include "host/gateway/OpenSslError.hpp"
#include "host/gateway/StateFiles.hpp"

namespace host::gateway {

struct ProviderTokenVerifier::Key {
  explicit Key(EVP_PKEY* key) : pkey(key) {}
  ~Key() { EVP_PKEY_free(pkey); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  EVP_PKEY* pkey;
};

namespace {

constexpr std::size_t kCoordinateBytes = 32;  // P-256

int base64UrlValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

// A header or claims object: only its top-level members are kept, so that no nesting in a
// token can cost more than its size.
std::optional<nlohmann::json> parseObject(std::string_view text) {
  nlohmann::json::parser_callback_t shallow = [](int depth, nlohmann::json::parse_event_t,
                                                 nlohmann::json&) { return depth <= 1; };
  nlohmann::json value = nlohmann::json::parse(text, shallow, /*allow_exceptions=*/false);
  if (!value.is_object()) return std::nullopt;
  return value;
}

bool isP256(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "EC") != 1) return false;
  char group[64] = {};
  std::size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// The JWS signature R||S as the DER ECDSA-Sig-Value that EVP verifies.
std::optional<std::string> derSignature(std::string_view raw) {
  if (raw.size() != 2 * kCoordinateBytes) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  ECDSA_SIG* signature = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(bytes, kCoordinateBytes, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + kCoordinateBytes, kCoordinateBytes, nullptr);
  if (signature == nullptr || r == nullptr || s == nullptr ||
      ECDSA_SIG_set0(signature, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(signature);
    return std::nullopt;
  }
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(signature, &der);
  ECDSA_SIG_free(signature);
  if (length <= 0) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

bool signatureHolds(EVP_PKEY* key, std::string_view signedPart, std::string_view der) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool holds =
      context != nullptr &&
      EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                       reinterpret_cast<const unsigned char*>(signedPart.data()),
                       signedPart.size()) == 1;
  EVP_MD_CTX_free(context);
  clearOpensslErrors();
  return holds;
}

}  // namespace

std::optional<std::string> decodeBase64Url(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const int value = base64UrlValue(c);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  // Bits left over past the last byte must be zero, or two texts would decode alike.
  if ((bits & ((1u << count) - 1)) != 0) return std::nullopt;
  return out;
}

ProviderTokenVerifier::ProviderTokenVerifier(std::shared_ptr<const Key> key, std::string keyId,
                                             std::string teamId)
    : key_(std::move(key)), keyId_(std::move(keyId)), teamId_(std::move(teamId)) {}

foundation::Result<ProviderTokenVerifier> ProviderTokenVerifier::fromPem(std::string_view pem,
                                                                         std::string keyId,
                                                                         std::string teamId) {
  const auto read = [pem](bool priv) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = bio == nullptr ? nullptr
                    : priv         ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)
                                   : PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
  };
  EVP_PKEY* key = read(true);
  if (key == nullptr) {
    clearOpensslErrors();
    key = read(false);
  }
  if (key == nullptr) return opensslError("PEM_read_bio_PUBKEY(provider key)");
  auto owned = std::make_shared<const Key>(key);
  if (!isP256(key)) {
    return NSError{kOpenSslErrorDomain, 0, "provider key: not a P-256 key, as ES256 needs"};
  }
  return ProviderTokenVerifier(std::move(owned), std::move(keyId), std::move(teamId));
}

foundation::Result<ProviderTokenVerifier> ProviderTokenVerifier::fromFile(const std::string& path,
                                                                          std::string keyId,
                                                                          std::string teamId) {
  foundation::Result<std::string> pem = readStateFile(path);
  if (!pem.ok()) return pem.error();
  foundation::Result<ProviderTokenVerifier> made =
      fromPem(*pem, std::move(keyId), std::move(teamId));
  if (!made.ok()) {
    NSError error = made.error();
    error.description = path + ": " + error.description;
    return error;
  }
  return made;
}

ProviderTokenVerifier::Verdict ProviderTokenVerifier::verify(std::string_view token,
                                                             std::int64_t now) const {
  const Verdict invalid{Outcome::invalid, 0};
  const std::size_t first = token.find('.');
  const std::size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return invalid;
  }
  const std::optional<std::string> headerText = decodeBase64Url(token.substr(0, first));
  const std::optional<std::string> claimsText =
      decodeBase64Url(token.substr(first + 1, second - first - 1));
  const std::optional<std::string> rawSignature = decodeBase64Url(token.substr(second + 1));
  if (!headerText || !claimsText || !rawSignature) return invalid;
  const std::optional<nlohmann::json> header = parseObject(*headerText);
  if (!header) return invalid;
  const auto alg = header->find("alg");
  const auto kid = header->find("kid");
  if (alg == header->end() || *alg != "ES256" || kid == header->end() || *kid != keyId_) {
    return invalid;
  }
  const std::optional<std::string> der = derSignature(*rawSignature);
  if (!der || !signatureHolds(key_->pkey, token.substr(0, second), *der)) return invalid;

  const std::optional<nlohmann::json> claims = parseObject(*claimsText);
  if (!claims) return invalid;
  const auto iss = claims->find("iss");
  const auto made = claims->find("iat");
  if (iss == claims->end() || *iss != teamId_ || made == claims->end() ||
      !made->is_number_integer() ||
      (made->is_number_unsigned() &&
       made->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))) {
    return invalid;
  }
  const std::int64_t iat = made->get<std::int64_t>();
  if (iat > now + kClockSkewSeconds) return invalid;
  if (iat < now - kLifetimeSeconds) return {Outcome::expired, iat};
  return {Outcome::valid, iat};
}

}  // namespace host::gateway
