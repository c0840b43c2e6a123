#include "host/Log.hpp"

#include "System/os_log.hpp"

namespace host {

namespace {

os_log_t hostLog() {
  static const os_log_t log = os_log_create("com.halvicourt.UserNotifications", "host");
  return log;
}

bool enabled() { return os_log_type_enabled(hostLog(), OS_LOG_TYPE_INFO); }

system_log::Field textOrNull(std::string_view key, const char* text) {
  return text != nullptr ? system_log::Field(key, text) : system_log::Field(key, nullptr);
}

}  // namespace

os_activity_t Log::activityFor(const std::string& identifier) {
  return os_activity_create(identifier.c_str(), OS_ACTIVITY_NONE, OS_ACTIVITY_FLAG_DETACHED);
}

void Log::request(const os_activity_t& activity, const PushRequest& request) const {
  if (!enabled()) return;
  system_log::ActivityScope scope(activity);
  system_log::event(
      hostLog(), OS_LOG_TYPE_INFO, "request",
      {{"mutable", request.mutableContent}, textOrNull("reason", request.notMutableReason)});
}

void Log::delivery(const os_activity_t& activity, int call, bool expired, std::size_t attachments,
                   Clock::time_point requested, Clock::time_point now) const {
  if (!enabled()) return;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - requested).count();
  system_log::ActivityScope scope(activity);
  system_log::event(hostLog(), OS_LOG_TYPE_INFO, "delivery",
                    {{"call", call},
                     {"expired", expired},
                     {"attachments", attachments},
                     {"ms", static_cast<double>(us) / 1000.0}});
}

void Log::shown(const os_activity_t& activity, const char* reason, bool expired,
                std::size_t attachments) {
  std::atomic<std::uint64_t>& count = reason != nullptr ? original_
                                      : expired         ? atExpiry_
                                      : attachments > 0 ? withImage_
                                                        : withoutImage_;
  count.fetch_add(1, std::memory_order_relaxed);
  if (!enabled()) return;
  system_log::ActivityScope scope(activity);
  system_log::event(hostLog(), OS_LOG_TYPE_INFO, "shown",
                    {{"source", reason != nullptr ? "original" : "extension"},
                     textOrNull("reason", reason),
                     {"expired", expired},
                     {"attachments", attachments},
                     {"transfers", system_log::transferCount(activity)}});
}

void Log::handed(const os_activity_t& activity, const std::string& pushType) {
  toApp_.fetch_add(1, std::memory_order_relaxed);
  if (!enabled()) return;
  system_log::ActivityScope scope(activity);
  system_log::event(hostLog(), OS_LOG_TYPE_INFO, "handed", {{"pushType", pushType}});
}

void Log::summary() const {
  const std::uint64_t counts[] = {withImage_.load(), withoutImage_.load(), atExpiry_.load(),
                                  original_.load(), toApp_.load()};
  SYSTEM_LOG_EVENT(hostLog(), OS_LOG_TYPE_INFO, "summary",
                   {{"requests", counts[0] + counts[1] + counts[2] + counts[3] + counts[4]},
                    {"withImage", counts[0]},
                    {"withoutImage", counts[1]},
                    {"atExpiry", counts[2]},
                    {"original", counts[3]},
                    {"toApp", counts[4]}});
}

}  // namespace host
