// DesktopSession: a private desktop for tests, started by the constructor and killed and
// reaped by the destructor: a virtual X display (Xvfb), a session bus of its own (dbus-daemon
// with a configuration that can activate nothing) and the dunst notification server, with
// dbus-monitor recording the Notify calls, each with a private environment under a temporary
// folder. While it lives, this process's
// DBUS_SESSION_BUS_ADDRESS names its bus (or, for Parts::none, a socket nobody listens on).
// The bus and dunst read their configuration from tests/support/desktop.
// Not thread-safe; one owner, one session at a time in a process.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace testing_support {

class DesktopSession {
 public:
  enum class Parts { none, bus, busAndServer };
  explicit DesktopSession(Parts parts = Parts::busAndServer);
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // Stops dunst and returns once the bus has released its name.
  void stopServer();
  // Runs dunstctl with `args` ({"count", "displayed"}) in the session; its output.
  std::string dunstctl(const std::vector<std::string>& args) const;
  // Returns once dunst displays at least `count` notifications; fails the test after a minute.
  void waitUntilDisplayed(int count) const;
  // What dbus-monitor printed of every Notify call sent on the bus so far: the hints that
  // dunst does not show ("sound-file") are there.
  std::string notifyCalls() const;
  // dunst's output: each notification it took, as "summary: '...'" ... "urgency: CRITICAL".
  std::string serverLog() const;
  // Closes every notification (dunst then reports each closed), then reads dunst's history:
  // one object per notification, with its fields as plain values ("summary",
  // "body", "appname", "icon_path", "id", ...).
  std::vector<nlohmann::json> closeAllAndReadHistory() const;

 private:
  // Starts `argv` (found on PATH) for the rest of the session in its private environment,
  // its output going to a log in the session's folder; with `descriptor3`, as ChildProcess.
  ChildProcess& start(const std::vector<std::string>& argv, int descriptor3 = -1);
  // Starts a child with a pipe as its descriptor 3 and returns the first line it writes
  // there (Xvfb's display number, dbus-daemon's address).
  std::string readLineOf(const std::vector<std::string>& argv);
  void waitForServer(bool owned) const;

  TempDir dir_;
  std::vector<std::string> environment_;  // `env` arguments
  std::optional<std::string> savedAddress_;
  std::vector<std::unique_ptr<ChildProcess>> children_;  // in start order
  ChildProcess* dunst_ = nullptr;
};

}  // namespace testing_support
