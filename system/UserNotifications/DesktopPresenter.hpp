// DesktopPresenter: shows delivered notifications on the desktop through the session bus's
// notification server (org.freedesktop.Notifications), and reports back when the server
// closes one or refuses one. The bus code lives in libDesktopNotifications, which links
// libsystemd; connectDesktopPresenter loads it with dlopen, so a process that never asks for
// the desktop maps neither library.
//
// The caller owns the presenter. Thread-safe: post() and flush() may be called from any
// thread. The presenter owns one thread that runs the bus; the callbacks run on it, one at a
// time, never under a lock of the presenter, and never after the destructor has returned.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "UserNotifications/Export.hpp"

class UNNotificationContent;

namespace usernotifications {

// What one shown request puts on the desktop.
struct DesktopNotification {
  std::string requestIdentifier;
  std::string title;
  std::string subtitle;
  std::string body;
  std::optional<std::string> sound;  // the payload's sound when it is text
  std::string imageURL;              // file URL of the first image attachment's file, or empty
};

// The notification for request `requestIdentifier` showing `content`; its first attachment
// of an image kind gives the image (an audio or video attachment is not shown there).
UN_EXPORT DesktopNotification desktopNotification(std::string requestIdentifier,
                                                  const UNNotificationContent& content);

// NSError domain of a call the notification server or the bus refused; the description
// names the D-Bus error ("org.freedesktop.DBus.Error.ServiceUnknown: ...").
inline constexpr const char* kDBusErrorDomain = "org.freedesktop.DBus.Error";

struct DesktopPresenterCallbacks {
  // The server closed the notification of this request (expired, dismissed, or closed by a
  // call); its attachment may go.
  std::function<void(const std::string& requestIdentifier)> closed;
  // The server or the bus refused to show this request's notification.
  std::function<void(const std::string& requestIdentifier, const NSError& error)> failed;
};

class UN_EXPORT DesktopPresenter {
 public:
  // Waits until every post has its reply (each call is bounded by its timeout), then
  // disconnects. Closings the server reports after that are not delivered.
  // REQUIRES: not called from a callback.
  virtual ~DesktopPresenter();
  DesktopPresenter(const DesktopPresenter&) = delete;
  DesktopPresenter& operator=(const DesktopPresenter&) = delete;

  // Queues `notification` for the server and returns at once; a refusal arrives later
  // through `failed`.
  virtual void post(DesktopNotification notification) = 0;
  // Returns once every post made before the call has its reply, and `failed` has been called
  // for each refusal among them. Bounded by the calls' timeout.
  // REQUIRES: not called from a callback.
  virtual void flush() = 0;

 protected:
  DesktopPresenter() = default;
};

// Loads libDesktopNotifications, connects to the session bus, checks that a notification
// server is there or can be started, and asks it once for its capabilities and version.
// `appName` is the app_name of every notification and the summary of one without a title.
// Fails with a one-line description when there is no session bus, nobody serves
// org.freedesktop.Notifications, or the library cannot be loaded.
UN_EXPORT foundation::Result<std::unique_ptr<DesktopPresenter>> connectDesktopPresenter(
    std::string appName, DesktopPresenterCallbacks callbacks);

// The C entry point libDesktopNotifications exports, found with dlsym: a new presenter, or
// null with `*error` set. Ownership of the presenter passes to the caller.
inline constexpr const char* kDesktopPresenterConnectSymbol = "DesktopNotificationsConnect";
using DesktopPresenterConnectFunction = DesktopPresenter* (*)(const std::string& appName,
                                                              DesktopPresenterCallbacks callbacks,
                                                              NSError* error);

}  // namespace usernotifications
