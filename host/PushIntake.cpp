#include "host/PushIntake.hpp"

#include <exception>
#include <utility>

#include "System/os_activity.hpp"

namespace host {

gateway::Answer PushIntake::take(gateway::Push push) noexcept {
  try {
    foundation::Result<PushRequest> request = requestFromPayloadText(push.apnsId, push.payload);
    if (!request.ok()) return {400, request.error().description};
    request->push = PushHeaders{.apnsId = std::move(push.apnsId),
                                .uniqueId = std::move(push.uniqueId),
                                .topic = std::move(push.topic),
                                .pushType = std::move(push.pushType),
                                .priority = push.priority,
                                .expiration = push.expiration,
                                .collapseId = std::move(push.collapseId)};
    request->activity = system_log::currentActivity();
    if (!submit_(*std::move(request))) return {429, "TooManyRequests"};
    return {};
  } catch (const std::exception&) {
    // Not taken, so the provider may send it again; the service's answer for its own failure.
    return {500, "InternalServerError"};
  }
}

void PushIntake::turnEnded() noexcept {
  if (release_) release_();
}

}  // namespace host
