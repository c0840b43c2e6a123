#include "host/gateway/ConnectionToken.hpp"

namespace host::gateway {

namespace {

bool startsWithBearer(std::string_view value) {
  constexpr std::string_view kBearer = "bearer ";
  if (value.size() < kBearer.size()) return false;
  for (std::size_t i = 0; i < kBearer.size(); ++i) {
    const char c = value[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kBearer[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<Answer> ConnectionToken::judge(std::optional<std::string_view> authorization,
                                             std::int64_t now) {
  if (!authorization || !startsWithBearer(*authorization) || authorization->size() == 7) {
    return Answer{403, "MissingProviderToken"};
  }
  const std::string_view token = authorization->substr(7);
  if (!token_.empty() && token == token_) {
    if (iat_ < now - ProviderTokenVerifier::kLifetimeSeconds) {
      return Answer{403, "ExpiredProviderToken"};
    }
    return std::nullopt;
  }
  if (verifier_ == nullptr) return Answer{403, "InvalidProviderToken"};
  const ProviderTokenVerifier::Verdict verdict = verifier_->verify(token, now);
  if (verdict.outcome == ProviderTokenVerifier::Outcome::invalid) {
    return Answer{403, "InvalidProviderToken"};
  }
  if (verdict.outcome == ProviderTokenVerifier::Outcome::expired) {
    return Answer{403, "ExpiredProviderToken"};
  }
  if (!token_.empty() && now - acceptedAt_ < kMinimumUpdateSeconds) {
    return Answer{429, "TooManyProviderTokenUpdates"};
  }
  token_ = std::string(token);
  iat_ = verdict.iat;
  acceptedAt_ = now;
  return std::nullopt;
}

}  // namespace host::gateway
