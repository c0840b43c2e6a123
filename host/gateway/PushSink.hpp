// The seam between the gateway and the host. The gateway checks the wire (method, path,
// headers, authentication, sizes) and hands each push that passed to a PushSink of the
// host's, which decides the rest (the body as a payload, the bound on work under way) and
// answers through the gateway. Push and Answer are plain values; the sink's own thread-safety
// is the host's, but the gateway calls it from its one thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace host::gateway {

// How the connection a push came on proved who sent it.
enum class Authentication : std::uint8_t {
  token,        // an ES256 provider token in `authorization`, verified
  certificate,  // a client certificate signed by the authority the host named
  none,         // nothing: only on a loopback address
};

// "token", "certificate" or "none", as the log writes it.
std::string_view authenticationName(Authentication authentication);

struct Push {
  std::string apnsId;    // the request's apns-id, or a new lowercase UUID
  std::string uniqueId;  // the apns-unique-id answered with a 200
  std::string topic;     // apns-topic, or the one the certificate or the app implies
  std::string pushType;  // apns-push-type; "alert" when absent
  int priority = 10;     // apns-priority, or the push type's default (5 for background)
  std::optional<std::int64_t> expiration;  // apns-expiration, seconds since the epoch
  std::string collapseId;                  // apns-collapse-id, "" when absent
  Authentication authentication = Authentication::none;
  std::string payload;  // the body's bytes
};

struct Answer {
  int status = 200;
  std::string reason;  // "" for 200; otherwise the reason sent as {"reason": "..."}
};

// Implemented by the host.
class PushSink {
 public:
  virtual ~PushSink() = default;
  // A push that passed the wire's checks: answered 200 when the host took it (it will then
  // be shown, whatever happens after, the gateway's stop included), otherwise with the
  // status and reason it gives (400 for a body it refuses, 429 TooManyRequests at its bound).
  // Called on the gateway's thread, inside an activity whose description is the apns-id
  // (system_log::currentActivity() gives it to work the push starts elsewhere); must not
  // block.
  virtual Answer take(Push push) noexcept = 0;
  // The gateway has handled what its connections sent in one turn of its loop. A sink may
  // leave the pushes it took in that turn waiting until this call, which starts them together;
  // and it may hold the gateway back here for a few milliseconds while the pushes it took
  // before are not yet started, which leaves the next ones in the connections' sockets.
  virtual void turnEnded() noexcept {}
};

}  // namespace host::gateway
