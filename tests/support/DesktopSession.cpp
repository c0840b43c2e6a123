#include "tests/support/DesktopSession.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
// Where session-bus.conf and dunstrc are.
const std::string kConfigurationDirectory = HALVICOURT_DESKTOP_CONFIGURATION_DIR;

}  // namespace

DesktopSession::DesktopSession(Parts parts) {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) savedAddress_ = address;
  mkdir(dir_.file("runtime").c_str(), 0700);
  const char* path = std::getenv("PATH");
  environment_ = {"/usr/bin/env", "-i", "HOME=" + dir_.path(),
                  "XDG_RUNTIME_DIR=" + dir_.file("runtime"),
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
    // -print writes each notification to the log as dunst took it, urgency included.
    dunst_ = &start({"dunst", "-print", "-config", kConfigurationDirectory + "/dunstrc"});
    waitForServer(true);
    // dunst shows no sound hint, so a monitor of the bus records the calls it was sent. It is
    // subscribed once the bus has taken its name away, as it does from every monitor.
    start({"dbus-monitor", "--session",
           "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"});
    EXPECT_TRUE(waitFor([&] { return notifyCalls().find("NameLost") != std::string::npos; }))
        << "dbus-monitor did not start";
  }
}

std::string DesktopSession::notifyCalls() const { return readFile(dir_.file("dbus-monitor.log")); }

std::string DesktopSession::serverLog() const { return readFile(dir_.file("dunst.log")); }

DesktopSession::~DesktopSession() {
  // The server first, then the display it draws on, then the bus.
  while (!children_.empty()) children_.pop_back();
  if (savedAddress_) {
    setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress_->c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

ChildProcess& DesktopSession::start(const std::vector<std::string>& argv, int descriptor3) {
  std::vector<std::string> command = environment_;
  command.insert(command.end(), argv.begin(), argv.end());
  return *children_.emplace_back(
      std::make_unique<ChildProcess>(command, dir_.file(argv[0] + ".log"), descriptor3));
}

std::string DesktopSession::readLineOf(const std::vector<std::string>& argv) {
  int ends[2] = {-1, -1};
  EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
  start(argv, ends[1]);
  close(ends[1]);
  // A child that fails to start closes its end, so this never waits for nothing.
  std::string line;
  for (char c = 0; read(ends[0], &c, 1) == 1 && c != '\n';) line += c;
  close(ends[0]);
  EXPECT_NE(line, "") << argv[0] << " did not start";
  return line;
}

void DesktopSession::waitForServer(bool owned) const {
  const std::string answer = owned ? "boolean true" : "boolean false";
  EXPECT_TRUE(waitFor([&] {
    return runCommand({"/usr/bin/dbus-send", "--session", "--print-reply",
                       "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", std::string("string:") + kServerName})
               .output.find(answer) != std::string::npos;
  })) << kServerName
      << " owned: " << owned;
}

void DesktopSession::stopServer() {
  dunst_->stop();
  waitForServer(false);
}

std::string DesktopSession::dunstctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"/usr/bin/dunstctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandResult result = runCommand(argv);
  EXPECT_EQ(result.status, 0) << "dunstctl " << args.at(0) << " failed: " << result.output;
  return result.output;
}

void DesktopSession::waitUntilDisplayed(int count) const {
  // dunst tells no one when it draws, so this asks until it has.
  EXPECT_TRUE(waitFor([&] {
    return std::atoi(dunstctl({"count", "displayed"}).c_str()) >= count;
  })) << count
      << " notifications displayed";
}

std::vector<nlohmann::json> DesktopSession::closeAllAndReadHistory() const {
  dunstctl({"close-all"});
  // {"type": "aa{sv}", "data": [[{"summary": {"type": "s", "data": "..."}, ...}, ...]]}
  const nlohmann::json history = nlohmann::json::parse(dunstctl({"history"}), nullptr, false)
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
