// Log: what the host writes to the system log (subsystem com.halvicourt.UserNotifications,
// category host) about each request, each under the request's own activity, and the counts
// it keeps for the summary at the end of the run:
//   "request"   mutable (whether the extension runs), reason (why not; null when it runs);
//   "delivery"  each call of the content handler: call, expired, attachments, ms (since the
//               request message);
//   "shown"     the line the notification is shown with: source, reason (the original's),
//               expired, attachments, transfers (started under the request's activity: 0
//               when the extension found no image address it could use);
//   "handed"    a push that is not an alert, handed to the app instead: pushType;
//   "summary"   requests shown withImage, withoutImage, atExpiry (the extension delivered
//               after the expiry message) and original (as the content arrived), and those
//               handed toApp.
// Events cost one relaxed load each while the log is off; the counts are always kept.
// Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "System/os_activity.hpp"
#include "host/Payload.hpp"

namespace host {

class Log {
 public:
  using Clock = std::chrono::steady_clock;

  // The activity of the request `identifier`: its description is the "id" of every event
  // written while it is current, on any thread the request's work reaches.
  static os_activity_t activityFor(const std::string& identifier);

  void request(const os_activity_t& activity, const PushRequest& request) const;
  void delivery(const os_activity_t& activity, int call, bool expired, std::size_t attachments,
                Clock::time_point requested, Clock::time_point now) const;
  // Writes the "shown" event and counts the request for the summary. `reason` is the
  // original's ("not-mutable", "no-delivery"), null when the extension's content is shown.
  void shown(const os_activity_t& activity, const char* reason, bool expired,
             std::size_t attachments);
  // Writes the "handed" event and counts the push for the summary.
  void handed(const os_activity_t& activity, const std::string& pushType);
  void summary() const;

 private:
  std::atomic<std::uint64_t> withImage_{0};
  std::atomic<std::uint64_t> withoutImage_{0};
  std::atomic<std::uint64_t> atExpiry_{0};
  std::atomic<std::uint64_t> original_{0};
  std::atomic<std::uint64_t> toApp_{0};
};

}  // namespace host
