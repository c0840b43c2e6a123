// ConnectionToken: the provider token a connection had accepted last, and the service's rules
// around it: a request without one is MissingProviderToken; one that does not verify,
// InvalidProviderToken; one over an hour old, ExpiredProviderToken (403 each); a new token
// less than 20 minutes after the one it replaces, TooManyProviderTokenUpdates (429). A token
// seen before on the connection is not verified again, only aged. Not thread-safe: one per
// connection, on the gateway's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/gateway/ProviderToken.hpp"
#include "host/gateway/PushSink.hpp"

namespace host::gateway {

class ConnectionToken {
 public:
  static constexpr std::int64_t kMinimumUpdateSeconds = 20 * 60;

  // `verifier` null: token authentication is not set up, and every token is refused.
  // REQUIRES: `verifier` outlives this object.
  explicit ConnectionToken(const ProviderTokenVerifier* verifier) : verifier_(verifier) {}

  // Why the request whose authorization header is `authorization` is refused; absent when its
  // token is valid, which makes it the connection's token if it was not already.
  std::optional<Answer> judge(std::optional<std::string_view> authorization, std::int64_t now);

  // Whether a token was ever accepted on the connection.
  bool accepted() const { return !token_.empty(); }

 private:
  const ProviderTokenVerifier* verifier_;
  std::string token_;
  std::int64_t iat_ = 0;
  std::int64_t acceptedAt_ = 0;
};

}  // namespace host::gateway
