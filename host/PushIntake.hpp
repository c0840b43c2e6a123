// PushIntake: the host's side of the gateway's seam (gateway::PushSink). Each push that
// passed the wire's checks becomes a request whose identifier is its apns-id, with its
// headers beside it, handed to the scheduler as a standard-input line is:
//   200              handed over; it is shown (or handed to the app) whatever comes after,
//                    the stop included;
//   400 <the words>  its body is not a payload the host takes: what is wrong with it in the
//                    host's own words ("aps.badge" is not a number), as the service's table
//                    has no reason for it and one made up in its style would pass for one of
//                    the service's; no line is written;
//   429 TooManyRequests  at the scheduler's bound on requests under way;
//   500 InternalServerError  out of memory.
//
// Holds no state of its own; thread-safe as `submit` is. The gateway calls it on its thread.
#pragma once

#include <functional>
#include <utility>

#include "host/Payload.hpp"
#include "host/gateway/PushSink.hpp"

namespace host {

class PushIntake final : public gateway::PushSink {
 public:
  // Hands a request over unless the bound is reached; false then, and the request is dropped
  // (Scheduler::trySubmit). It must not block.
  using Submit = std::function<bool(PushRequest)>;
  // Starts the requests handed over since the last call (Scheduler::wake): `submit` may leave
  // them waiting for it, so that a turn of the gateway's loop wakes the host thread once.
  using Release = std::function<void()>;

  explicit PushIntake(Submit submit, Release release = {})
      : submit_(std::move(submit)), release_(std::move(release)) {}

  gateway::Answer take(gateway::Push push) noexcept override;
  void turnEnded() noexcept override;

 private:
  const Submit submit_;
  const Release release_;
};

}  // namespace host
