// HostDesktop: the host's side of --desktop. It posts the content of each request's shown line
// to the desktop's notification server (through a DesktopPresenter), releases a notification's
// attachment from the attachment store once the server reports it closed, and reports on
// standard error each notification the server or the bus refused.
//
// The host owns it for the run. Thread-safe: show() may be called from any thread, and the
// presenter calls back on a thread of its own.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "Foundation/NSError.hpp"
#include "UserNotifications/DesktopPresenter.hpp"
#include "base/Mutex.hpp"

class UNNotificationContent;

namespace usernotifications {

class HostDesktop {
 public:
  // Connects to the notification server, which shows the bundle's display name as the app.
  // Fails with a one-line description when there is no session bus or no server for it.
  static foundation::Result<std::unique_ptr<HostDesktop>> connect();
  ~HostDesktop();
  HostDesktop(const HostDesktop&) = delete;
  HostDesktop& operator=(const HostDesktop&) = delete;

  // Posts the notification of request `id` showing `content`, and returns at once.
  // REQUIRES: called once per request, with the content of its shown line, before finish().
  void show(const std::string& id, const UNNotificationContent& content) EXCLUDES(mu_);

  // Waits until the server has answered every notification posted (bounded by the calls'
  // timeout), then disconnects. False when it refused one.
  bool finish() EXCLUDES(mu_);

 private:
  HostDesktop() = default;

  void closed(const std::string& id) EXCLUDES(mu_);
  void refused(const std::string& id, const NSError& error) EXCLUDES(mu_);
  // The path of request `id`'s oldest notification still on screen, forgotten.
  std::string forget(const std::string& id) REQUIRES(mu_);

  base::Mutex mu_;  // guards what the posting threads and the presenter's thread share
  // Notifications on screen, oldest first: request identifier and the store file of the
  // attachment shown (empty without one). The same identifier may come twice; closings are
  // matched oldest first.
  std::deque<std::pair<std::string, std::string>> onScreen_ GUARDED_BY(mu_);
  bool refusedAny_ GUARDED_BY(mu_) = false;

  // Set by connect() and cleared by finish(); declared last, so that its thread, which calls
  // back into the members above, is gone before they are.
  std::unique_ptr<DesktopPresenter> presenter_;
};

}  // namespace usernotifications
