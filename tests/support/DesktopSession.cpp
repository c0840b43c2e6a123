#include "tests/support/DesktopSession.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
// Where session-bus.conf and dunstrc are.
const std::string kConfigurationDirectory = HALVICOURT_DESKTOP_CONFIGURATION_DIR;

// What a process writes to `fd` until end of file, or up to its first newline when `line`.
// A child that fails to start closes its end, so this never waits for nothing.
std::string readFrom(int fd, bool line) {
  std::string text;
  for (char c = 0; read(fd, &c, 1) == 1 && !(line && c == '\n');) text += c;
  return text;
}

// argv-style pointers into `strings`, null-terminated.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

DesktopSession::DesktopSession(Parts parts) {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) savedAddress_ = address;
  mkdir(dir_.file("runtime").c_str(), 0700);
  const char* path = std::getenv("PATH");
  environment_ = {"HOME=" + dir_.path(), "XDG_RUNTIME_DIR=" + dir_.file("runtime"),
                  std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
  std::string address = "unix:path=" + dir_.file("no-bus");
  if (parts != Parts::none) {
    address =
        readLineOf({"dbus-daemon", "--config-file=" + kConfigurationDirectory + "/session-bus.conf",
                    "--nofork", "--print-address=3"});
  }
  environment_.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  if (parts == Parts::busAndServer) {
    const std::string display =
        readLineOf({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
    environment_.push_back("DISPLAY=:" + display);
    dunst_ = start({"dunst", "-config", kConfigurationDirectory + "/dunstrc"});
    children_.push_back(dunst_);
    waitForServer(true);
  }
}

DesktopSession::~DesktopSession() {
  // The server first, then the display it draws on, then the bus.
  for (auto child = children_.rbegin(); child != children_.rend(); ++child) {
    kill(*child, SIGTERM);
    waitpid(*child, nullptr, 0);
  }
  if (savedAddress_) {
    setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress_->c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

pid_t DesktopSession::start(std::vector<std::string> argv, int* pipeFd, int pipeTarget) const {
  std::vector<std::string> environment = environment_;
  std::vector<char*> args = pointers(argv);
  std::vector<char*> env = pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = dir_.file(argv[0] + ".log");
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  int ends[2] = {-1, -1};
  if (pipeFd != nullptr) {
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0) << std::strerror(errno);
    // Moved above the target, so that dup2 always makes a new descriptor, which is inherited.
    const int high = fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    close(std::exchange(ends[1], high));
    posix_spawn_file_actions_adddup2(&actions, ends[1], pipeTarget);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << "posix_spawnp " << argv[0] << ": " << std::strerror(rc);
  if (pipeFd != nullptr) {
    close(ends[1]);
    *pipeFd = ends[0];
  }
  return rc == 0 ? pid : -1;
}

std::string DesktopSession::readLineOf(std::vector<std::string> argv) {
  int report = -1;
  children_.push_back(start(argv, &report));
  const std::string line = readFrom(report, true);
  close(report);
  EXPECT_NE(line, "") << argv[0] << " did not start";
  return line;
}

void DesktopSession::waitForServer(bool owned) const {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  // Each change of the name's owner wakes the loop below, which then asks again.
  const std::string match =
      std::string("type='signal',member='NameOwnerChanged',arg0='") + kServerName + "'";
  if (r >= 0) r = sd_bus_add_match(bus, nullptr, match.c_str(), nullptr, nullptr);
  EXPECT_GE(r, 0) << "the session bus: " << std::strerror(-r);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (int hasOwner = -1; r >= 0 && hasOwner != static_cast<int>(owned);) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << kServerName << " owned: " << owned;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           kServerName);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &hasOwner);
    sd_bus_message_unref(reply);
    if (hasOwner != static_cast<int>(owned)) sd_bus_wait(bus, 1'000'000);
    while (sd_bus_process(bus, nullptr) > 0) {
    }
  }
  sd_bus_flush_close_unref(bus);
}

void DesktopSession::stopServer() {
  kill(dunst_, SIGTERM);
  waitpid(dunst_, nullptr, 0);
  children_.erase(std::remove(children_.begin(), children_.end(), dunst_), children_.end());
  waitForServer(false);
}

std::string DesktopSession::dunstctl(const std::string& command) const {
  int output = -1;
  std::vector<std::string> argv = {"dunstctl"};
  std::istringstream words(command);
  for (std::string word; words >> word;) argv.push_back(word);
  const pid_t pid = start(argv, &output, STDOUT_FILENO);
  const std::string text = readFrom(output, false);
  close(output);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0) << "dunstctl " << command << " failed";
  return text;
}

void DesktopSession::waitUntilDisplayed(int count) const {
  // dunst tells no one when it draws, so this asks until it has.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::atoi(dunstctl("count displayed").c_str()) < count) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << count << " notifications displayed";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<nlohmann::json> DesktopSession::closeAllAndReadHistory() const {
  dunstctl("close-all");
  // {"type": "aa{sv}", "data": [[{"summary": {"type": "s", "data": "..."}, ...}, ...]]}
  const nlohmann::json history = nlohmann::json::parse(dunstctl("history"), nullptr, false)
                                     .value("data", nlohmann::json::array({{}}));
  std::vector<nlohmann::json> notifications;
  for (const nlohmann::json& entry : history.at(0)) {
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& [key, value] : entry.items()) fields[key] = value["data"];
    notifications.push_back(std::move(fields));
  }
  return notifications;
}

}  // namespace testing_support
