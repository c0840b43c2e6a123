#include "DesktopNotifications/NotificationServer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "host/DesktopPresenter.hpp"

namespace desktop_notifications {

namespace {

// A method call with no arguments, or one string; its reply or the error naming `method`.
foundation::Result<Message> call(sd_bus* bus, const char* destination, const char* path,
                                 const char* interface, const char* method,
                                 const char* argument = nullptr) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is C only
  sd_bus_message* reply = nullptr;
  const int r = argument != nullptr ? sd_bus_call_method(bus, destination, path, interface, method,
                                                         &error, &reply, "s", argument)
                                    : sd_bus_call_method(bus, destination, path, interface, method,
                                                         &error, &reply, nullptr);
  if (r < 0) {
    NSError failure = busError(method, r, &error);
    sd_bus_error_free(&error);
    return failure;
  }
  return Message(reply);
}

foundation::Result<Message> callBus(sd_bus* bus, const char* method, const char* argument) {
  return call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
              argument);
}

foundation::Result<Message> callServer(sd_bus* bus, const char* method) {
  return call(bus, kNotificationsName, kNotificationsPath, kNotificationsInterface, method);
}

// Reads an "as" value.
int readStrings(sd_bus_message* message, std::vector<std::string>* strings) {
  int r = sd_bus_message_enter_container(message, 'a', "s");
  const char* text = nullptr;
  while (r >= 0 && (r = sd_bus_message_read(message, "s", &text)) > 0) strings->emplace_back(text);
  return r < 0 ? r : sd_bus_message_exit_container(message);
}

NSError readError(const char* method, int r) { return busError(method, r, nullptr); }

// Whether `address` has the shape of a D-Bus server address: transport:key=value,... and more
// of those after semicolons. sd-bus calls one that has not "Connection refused".
bool isBusAddress(std::string_view address) {
  if (address.empty()) return false;
  for (std::size_t start = 0; start < address.size();) {
    const std::size_t end = std::min(address.find(';', start), address.size());
    const std::string_view part = address.substr(start, end - start);
    const std::size_t colon = part.find(':');
    if (!part.empty() && (colon == std::string_view::npos || colon == 0)) return false;
    start = end + 1;
  }
  return true;
}

// Whether the server's name has an owner, or the bus can start one for it.
foundation::Result<bool> serverAvailable(sd_bus* bus) {
  foundation::Result<Message> owner = callBus(bus, "NameHasOwner", kNotificationsName);
  if (!owner.ok()) return owner.error();
  int owned = 0;
  if (int r = sd_bus_message_read(owner->get(), "b", &owned); r < 0) {
    return readError("NameHasOwner", r);
  }
  if (owned != 0) return true;
  foundation::Result<Message> activatable = callBus(bus, "ListActivatableNames", nullptr);
  if (!activatable.ok()) return activatable.error();
  std::vector<std::string> names;
  if (int r = readStrings(activatable->get(), &names); r < 0) {
    return readError("ListActivatableNames", r);
  }
  return std::find(names.begin(), names.end(), kNotificationsName) != names.end();
}

}  // namespace

NSError busError(const std::string& call, int r, const sd_bus_error* error) {
  sd_bus_error local{};
  if (error == nullptr || !sd_bus_error_is_set(error)) {
    sd_bus_error_set_errno(&local, r);
    error = &local;
  }
  std::string description = call + ": " + error->name;
  if (error->message != nullptr) description += std::string(": ") + error->message;
  std::replace(description.begin(), description.end(), '\n', ' ');
  NSError failure{host::kDBusErrorDomain, sd_bus_error_get_errno(error), std::move(description)};
  sd_bus_error_free(&local);
  return failure;
}

foundation::Result<NotificationServerConnection> connectNotificationServer() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((address == nullptr || *address == '\0') && (runtime == nullptr || *runtime == '\0')) {
    return NSError{NSPOSIXErrorDomain, ENOENT,
                   "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set"};
  }
  sd_bus* opened = nullptr;
  if (int r = sd_bus_open_user(&opened); r < 0) {
    const bool named = address != nullptr && *address != '\0';
    const std::string where = named ? std::string(address) : std::string(runtime) + "/bus";
    const std::string why = named && !isBusAddress(address)
                                ? "DBUS_SESSION_BUS_ADDRESS is not a D-Bus address "
                                  "(transport:key=value, as unix:path=/run/user/1000/bus)"
                                : foundation::errorString(-r);
    return NSError{NSPOSIXErrorDomain, -r, "no session bus at " + where + ": " + why};
  }
  NotificationServerConnection connection{Bus(opened), {}};
  sd_bus* bus = connection.bus.get();
  sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);

  foundation::Result<bool> available = serverAvailable(bus);
  if (!available.ok()) return available.error();
  if (!*available) {
    return NSError{host::kDBusErrorDomain, ENOENT,
                   std::string("no notification server: nobody owns ") + kNotificationsName +
                       " on the session bus and nothing can be started for it"};
  }

  foundation::Result<Message> capabilities = callServer(bus, "GetCapabilities");
  if (!capabilities.ok()) return capabilities.error();
  if (int r = readStrings(capabilities->get(), &connection.server.capabilities); r < 0) {
    return readError("GetCapabilities", r);
  }
  foundation::Result<Message> information = callServer(bus, "GetServerInformation");
  if (!information.ok()) return information.error();
  const char* name = nullptr;
  const char* vendor = nullptr;
  const char* version = nullptr;
  const char* specVersion = nullptr;
  if (int r =
          sd_bus_message_read(information->get(), "ssss", &name, &vendor, &version, &specVersion);
      r < 0) {
    return readError("GetServerInformation", r);
  }
  connection.server.specVersion = specVersion;
  return connection;
}

}  // namespace desktop_notifications
