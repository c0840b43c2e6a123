// A provider token as the gateway verifies it, against a fixed P-256 key whose valid tokens
// are in the seeds. Any crash, leak or sanitizer report is a finding, and so is a verdict
// that changes when the same token is verified again, or a valid token whose shape is not
// a JWS's.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/gateway/ProviderToken.hpp"

namespace {

constexpr char kPublicKey[] = R"(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEqL8bPWzt6eHDMWptzSvO2+2jf2nK
Y+GBXDzxtVXPxiBBrdXP/3+FG4/8UcAl43DUWoLYVoYqVsqzDCHf/uYYtw==
-----END PUBLIC KEY-----
)";
constexpr std::int64_t kNow = 1'800'000'010;

const host::gateway::ProviderTokenVerifier& verifier() {
  static const host::gateway::ProviderTokenVerifier made =
      *host::gateway::ProviderTokenVerifier::fromPem(kPublicKey, "FUZZKEY000", "FUZZTEAM00");
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Outcome = host::gateway::ProviderTokenVerifier::Outcome;
  const std::string_view token(reinterpret_cast<const char*>(data), size);
  const host::gateway::ProviderTokenVerifier::Verdict first = verifier().verify(token, kNow);
  const host::gateway::ProviderTokenVerifier::Verdict again = verifier().verify(token, kNow);
  if (first.outcome != again.outcome || first.iat != again.iat) __builtin_trap();
  if (first.outcome == Outcome::valid) {
    std::size_t dots = 0;
    for (char c : token) dots += c == '.';
    if (dots != 2) __builtin_trap();
    if (first.iat > kNow + host::gateway::ProviderTokenVerifier::kClockSkewSeconds) {
      __builtin_trap();
    }
  }
  return 0;
}
