#include "tests/support/DesktopSession.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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

namespace testing_support {

namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";

// A bus that can activate nothing (no service folders), so only a server the test starts
// ever owns the name.
constexpr const char* kBusConfiguration = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Markup on, so that dunst lists body-markup; nothing expires by itself, so only the test
// closes notifications.
constexpr const char* kDunstConfiguration = R"([global]
    font = Monospace 9
    markup = full
[urgency_low]
    timeout = 0
[urgency_normal]
    timeout = 0
[urgency_critical]
    timeout = 0
)";

// Everything a process writes to `fd` until end of file, or up to its first newline when
// `line`; gives up after two minutes of silence.
std::string readFrom(int fd, bool line) {
  std::string text;
  while (!line || text.find('\n') == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    const ssize_t n = poll(&ready, 1, 120 * 1000) > 0 ? read(fd, buffer, sizeof buffer) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (line) text = text.substr(0, text.find('\n'));
  return text;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

}  // namespace

DesktopSession::DesktopSession(Parts parts) {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) savedAddress_ = address;
  const std::string runtime = dir_.file("runtime");
  const std::string home = dir_.file("home");
  mkdir(runtime.c_str(), 0700);
  mkdir(home.c_str(), 0700);
  const char* path = std::getenv("PATH");
  environment_ = {"HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                  std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};

  std::string address = "unix:path=" + dir_.file("no-bus");
  if (parts != Parts::none) {
    writeFile(dir_.file("bus.conf"), replace(kBusConfiguration, "@DIR@", dir_.path()));
    int report = -1;
    children_.push_back(start(
        {"dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork", "--print-address=3"},
        &report));
    address = readFrom(report, true);
    close(report);
    EXPECT_NE(address, "") << "dbus-daemon did not start";
  }
  environment_.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

  if (parts == Parts::busAndServer) {
    int report = -1;
    children_.push_back(start(
        {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24"}, &report));
    const std::string display = readFrom(report, true);
    close(report);
    EXPECT_NE(display, "") << "Xvfb did not start";
    environment_.push_back("DISPLAY=:" + display);
    writeFile(dir_.file("dunstrc"), kDunstConfiguration);
    dunst_ = start({"dunst", "-config", dir_.file("dunstrc")});
    children_.push_back(dunst_);
    waitForServer(true);
  }
}

DesktopSession::~DesktopSession() {
  // The server first, then the bus it is on, then the display it draws on.
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

pid_t DesktopSession::start(const std::vector<std::string>& argv, int* pipeFd,
                            int pipeTarget) const {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = environment_;
  std::vector<char*> args;
  std::vector<char*> env;
  for (std::string& a : arguments) args.push_back(a.data());
  for (std::string& e : environment) env.push_back(e.data());
  args.push_back(nullptr);
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = dir_.file(argv[0] + ".log");
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  int written[2] = {-1, -1};
  if (pipeFd != nullptr) {
    EXPECT_EQ(pipe2(written, O_CLOEXEC), 0) << std::strerror(errno);
    // Moved above the target, so that dup2 always makes a new descriptor, which is inherited.
    const int high = fcntl(written[1], F_DUPFD_CLOEXEC, 10);
    close(written[1]);
    written[1] = high;
    posix_spawn_file_actions_adddup2(&actions, written[1], pipeTarget);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << "posix_spawnp " << argv[0] << ": " << std::strerror(rc);
  if (pipeFd != nullptr) {
    close(written[1]);
    *pipeFd = written[0];
  }
  return rc == 0 ? pid : -1;
}

void DesktopSession::waitForServer(bool owned) const {
  sd_bus* bus = nullptr;
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, address);
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  // Each change of the name's owner wakes the loop below, which then asks again.
  const std::string match =
      std::string("type='signal',member='NameOwnerChanged',arg0='") + kServerName + "'";
  if (r >= 0) r = sd_bus_add_match(bus, nullptr, match.c_str(), nullptr, nullptr);
  EXPECT_GE(r, 0) << "the session bus: " << std::strerror(-r);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (r >= 0) {
    int hasOwner = -1;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           kServerName);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &hasOwner);
    sd_bus_message_unref(reply);
    if (hasOwner == static_cast<int>(owned)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << kServerName << (owned ? " never got an owner" : " never lost its owner");
      break;
    }
    sd_bus_wait(bus, 1'000'000);
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

std::string DesktopSession::dunstctl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {"dunstctl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  int output = -1;
  const pid_t pid = start(argv, &output, STDOUT_FILENO);
  std::string text = readFrom(output, false);
  close(output);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0) << "dunstctl " << arguments.front() << " failed";
  return text;
}

std::vector<nlohmann::json> DesktopSession::closeAllAndReadHistory() const {
  dunstctl({"close-all"});
  const nlohmann::json history = nlohmann::json::parse(dunstctl({"history"}), nullptr, false);
  std::vector<nlohmann::json> notifications;
  // {"type": "aa{sv}", "data": [[{"summary": {"type": "s", "data": "..."}, ...}, ...]]}
  if (!history.is_object() || !history["data"].is_array() || history["data"].empty()) {
    ADD_FAILURE() << "dunstctl history: " << history.dump();
    return notifications;
  }
  for (const nlohmann::json& entry : history["data"][0]) {
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& [key, value] : entry.items()) fields[key] = value["data"];
    notifications.push_back(std::move(fields));
  }
  return notifications;
}

}  // namespace testing_support
