// The host's plug-in interface for --desktop: what a presenter that shows notifications on the
// desktop offers the host, and what it reports back. libDesktopNotifications implements it
// over the session bus (sd-bus); the host loads that library with dlopen only when a run asks
// for the desktop (host/Desktop.cpp), so a plain run maps neither it nor libsystemd.
//
// Plain types only, and every call across the boundary is noexcept: the plug-in and the host
// are separate images, each with its own copy of the C++ runtime, so no exception may cross
// (a call out of memory ends the process, as it would anywhere else).
// The host owns the presenter. Thread-safe: post() and flush() may be called from any thread.
// The presenter owns one thread that runs the bus; the observer's calls run on it, one at a
// time, never under a lock of the presenter, and never after the destructor has returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"

namespace host {

// What one shown request puts on the desktop.
struct DesktopNotification {
  std::uint64_t post;  // the host's number for this post, which the observer's calls name
  std::string requestIdentifier;
  std::string title;
  std::string subtitle;
  std::string body;
  std::optional<std::string> sound;  // the sound's name ("default" for the system's), if any
  std::string imageURL;              // file URL of the image attachment's file, or empty
  unsigned char urgency = 1;         // 0 low, 1 normal, 2 critical: the interruption level's
  std::string soundFile = {};        // the named sound's file in the app bundle, or empty
  // A video attachment's file, shown by a frame of it that the presenter writes as a PNG at
  // thumbnailPath, beside it in the attachment store; both empty for none.
  std::string videoPath = {};
  std::string thumbnailPath = {};
  // The post whose notification this one takes the place of (a push under the same collapse
  // id), 0 for none: the presenter names it to the server by the id the server gave it.
  std::uint64_t replaces = 0;
};

// NSError domain of a call the notification server or the bus refused; the description
// names the D-Bus error ("org.freedesktop.DBus.Error.ServiceUnknown: ...").
inline constexpr const char* kDBusErrorDomain = "org.freedesktop.DBus.Error";

// What the presenter reports, on its own thread.
class DesktopPresenterObserver {
 public:
  // The server closed the notification of this post (expired, dismissed, or closed by a call);
  // its attachment may go.
  virtual void closed(std::uint64_t post) noexcept = 0;
  // The frame of this post's video was written at `path` (its thumbnailPath), before the post
  // was sent.
  virtual void thumbnailWritten(std::uint64_t post, const std::string& path) noexcept = 0;
  // The server or the bus refused to show this post's notification.
  virtual void failed(std::uint64_t post, const std::string& requestIdentifier,
                      const NSError& error) noexcept = 0;

 protected:
  ~DesktopPresenterObserver() = default;
};

class DesktopPresenter {
 public:
  // Waits until every post has its reply (each call is bounded by its timeout), then
  // disconnects. Closings the server reports after that are not delivered.
  // REQUIRES: not called from an observer's call.
  virtual ~DesktopPresenter() = default;
  DesktopPresenter(const DesktopPresenter&) = delete;
  DesktopPresenter& operator=(const DesktopPresenter&) = delete;

  // Queues `notification` for the server and returns at once; a refusal arrives later
  // through the observer.
  virtual void post(DesktopNotification notification) noexcept = 0;
  // Returns once every post made before the call has its reply, and the observer has been
  // told of each refusal among them. Bounded by the calls' timeout.
  // REQUIRES: not called from an observer's call.
  virtual void flush() noexcept = 0;

 protected:
  DesktopPresenter() = default;
};

// The C entry point the plug-in exports, found with dlsym: connects to the session bus,
// checks that a notification server is there or can be started, and asks it once for its
// capabilities and version; `appName` is the app_name of every notification and the summary
// of one without a title. A new presenter, or null with `*error` set (no session bus, nobody
// serves org.freedesktop.Notifications). Ownership of the presenter passes to the caller.
// REQUIRES: `observer` outlives the presenter.
inline constexpr const char* kDesktopPresenterConnectSymbol = "DesktopNotificationsConnect";
using DesktopPresenterConnectFunction = DesktopPresenter* (*)(const char* appName,
                                                              DesktopPresenterObserver* observer,
                                                              NSError* error) noexcept;

}  // namespace host
