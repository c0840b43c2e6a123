// DesktopSession: a private desktop for tests, started by the constructor and killed and
// reaped by the destructor: a virtual X display (Xvfb), a session bus of its own (dbus-daemon
// with a configuration that can activate nothing) and the dunst notification server, each
// with a private environment under a temporary folder. While it lives, this process's
// DBUS_SESSION_BUS_ADDRESS names its bus (or, for Parts::none, a socket nobody listens on).
// The bus and dunst read their configuration from tests/support/desktop.
// Not thread-safe; one owner, one session at a time in a process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
  // Runs `dunstctl <command>` ("count displayed": words apart) in the session; its standard
  // output.
  std::string dunstctl(const std::string& command) const;
  // Returns once dunst displays at least `count` notifications; fails the test after a minute.
  void waitUntilDisplayed(int count) const;
  // Closes every notification (dunst then reports each closed), then reads dunst's history:
  // one object per notification, with its fields as plain values ("summary",
  // "body", "appname", "icon_path", "id", ...).
  std::vector<nlohmann::json> closeAllAndReadHistory() const;

 private:
  // Starts `argv` (found on PATH) in the session's environment, its output going to a log in
  // the session's folder. With `pipeFd`, the child's descriptor `pipeTarget` is the writing
  // end of a pipe whose reading end `*pipeFd` is the caller's to close.
  pid_t start(std::vector<std::string> argv, int* pipeFd = nullptr, int pipeTarget = 3) const;
  // Starts a child that stays for the session and returns the first line it writes to its
  // descriptor 3 (Xvfb's display number, dbus-daemon's address).
  std::string readLineOf(std::vector<std::string> argv);
  void waitForServer(bool owned) const;

  TempDir dir_;
  std::vector<std::string> environment_;
  std::optional<std::string> savedAddress_;
  std::vector<pid_t> children_;  // in start order
  pid_t dunst_ = -1;
};

}  // namespace testing_support
