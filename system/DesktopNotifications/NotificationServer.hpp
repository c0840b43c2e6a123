// The session bus as the desktop presenter uses it: owners for sd-bus objects, the names of
// the notification server, the one conversion of sd-bus failures into NSError, and the
// connection to a server that is there (or can be started), with what it can do.
//
// sd-bus objects are not thread-safe: a Bus and everything made from it belong to one
// thread at a time.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DesktopNotifications/NotifyArguments.hpp"
#include "Foundation/NSError.hpp"

namespace desktop_notifications {

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

inline constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";

// How long any call waits for its reply before it fails with a timeout.
inline constexpr std::uint64_t kCallTimeoutMicroseconds = 10'000'000;

// `call` failed with `r` (a negative errno) or with the D-Bus error `error` when that is set:
// in the D-Bus domain, described on one line as "<call>: <error name>: <message>".
NSError busError(const std::string& call, int r, const sd_bus_error* error);

struct NotificationServerConnection {
  Bus bus;
  ServerInformation server;
};

// Opens the session bus ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus), checks that
// the notification server's name has an owner or can be activated, and asks the server for
// its capabilities and version. Each failure is described on one line.
foundation::Result<NotificationServerConnection> connectNotificationServer();

}  // namespace desktop_notifications
