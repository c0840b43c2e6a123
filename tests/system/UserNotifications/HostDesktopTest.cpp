// The executable run with --desktop against a real dunst on a private bus and display
// (tests/support/DesktopSession), with its attachment store in a folder of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/DesktopSession.hpp"
#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

constexpr const char* kAppName = "Halvicourt";  // the bundle's display name

// Standard input that stays open until the test ends it: a FIFO that the test writes to,
// opened for reading too so that opening it waits for no reader.
struct Feed {
  TempDir dir;
  std::string fifo = dir.file("in");
  int fd = -1;
  Feed() {
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
    fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  }
  ~Feed() { end(); }

  // Before the executable on the command line: its standard input becomes the FIFO.
  std::vector<std::string> shell() const {
    return {"/bin/sh", "-c", "exec \"$0\" \"$@\" < " + fifo};
  }
  void write(const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())) << fifo;
  }
  void end() {
    if (fd >= 0) close(std::exchange(fd, -1));
  }
};

// Runs with --desktop whose caches and attachment store are folders of the test's own.
class HostDesktop : public testing::Test {
 protected:
  testing_support::Run desktopRun(std::vector<std::string> args,
                                  std::vector<std::string> wrapper = {}) const {
    args.insert(args.begin(), "--desktop");
    return {
        .args = args, .cacheHome = cache_.path(), .stateHome = state_.path(), .wrapper = wrapper};
  }
  TempDir cache_;
  TempDir state_;
};

// The file that a shown line's first attachment names, or "" without one.
std::string attachedFile(const json& line) {
  const json& attachments = line["content"]["attachments"];
  if (attachments.empty()) return "";
  return attachments[0]["url"].get<std::string>().substr(std::string("file://").size());
}

json withAlert(json payload, json alert) {
  payload["aps"]["alert"] = std::move(alert);
  return payload;
}

TEST_F(HostDesktop, DunstShowsEachRequestOnceAndClosingReleasesItsAttachment) {
  DesktopSession session;
  TestServer server;
  // Shown at the expiry without its image, which a second delivery brings: only the first
  // goes to the desktop.
  testing_support::Run run = desktopRun({"--time-limit", "2"});
  run.input = requestLine("late", withAlert(payload(server.url("/gate/late.png")),
                                            {{"title", "Late"}, {"body", "Expired"}}));
  ExtensionProcess late(run);
  while (std::optional<std::string> text = late.readLine()) server.openGate("late.png");
  const Outcome later = late.finish();
  EXPECT_EQ(later.status, 0) << later.stderrText;
  ASSERT_EQ(later.events.size(), 2u) << "the image came with a second delivery";
  EXPECT_NE(attachedFile(later.events[1]), "");

  // Delivered with the image, delivered without it (the download fails), shown as it came.
  Feed feed;
  ExtensionProcess process(desktopRun({"--time-limit", "3600"}, feed.shell()));
  feed.write(
      requestLine("image", payload(server.url("/image.png"))) +
      requestLine("missing", withAlert(payload(server.url("/status/404")), {{"body", "Gone"}})) +
      requestLine("markup",
                  withAlert(payload(std::nullopt, /*mutableContent=*/false),
                            {{"title", "Tom & Jerry <3"}, {"subtitle", "<b>"}, {"body", "a&&b"}})));
  std::string stored;
  for (int i = 0; i < 3; ++i) {
    const std::optional<std::string> line = process.readLine();
    ASSERT_TRUE(line);
    if (json::parse(*line)["id"] == "image") stored = attachedFile(json::parse(*line));
  }
  EXPECT_EQ(stored.rfind(storeDirectory(state_.path()) + "/", 0), 0u) << stored;
  EXPECT_EQ(readFile(stored), pngBytes()) << stored;
  session.waitUntilDisplayed(4);
  const struct {
    std::string summary, body, icon;
  } rows[] = {
      {"Late", "Expired", ""},
      {"Parcel", "Your parcel has arrived", stored},
      {kAppName, "Gone", ""},
      {"Tom & Jerry <3", "&lt;b&gt;\na&amp;&amp;b", ""},
  };
  const std::vector<json> shown = session.closeAllAndReadHistory();
  EXPECT_EQ(shown.size(), std::size(rows));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.summary);
    auto it = std::find_if(shown.begin(), shown.end(),
                           [&](const json& n) { return n["summary"] == row.summary; });
    ASSERT_NE(it, shown.end());
    EXPECT_EQ((*it)["body"], row.body);
    EXPECT_EQ((*it)["appname"], kAppName);
    EXPECT_EQ((*it)["icon_path"], row.icon);
  }
  EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(stored); })) << stored;

  // With the server gone, the bus refuses the next notification; its line is still written.
  session.stopServer();
  feed.write(requestLine("lost", payload(std::nullopt, /*mutableContent=*/false)));
  feed.end();
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 1);
  expectEachShownOnce(outcome, {"image", "missing", "markup", "lost"});
  EXPECT_EQ(outcome.stderrText.rfind(
                "HalvicourtNotificationService: request \"lost\": desktop notification failed: "
                "Notify: org.freedesktop.DBus.Error.ServiceUnknown: ",
                0),
            0u)
      << outcome.stderrText;
  EXPECT_EQ(std::count(outcome.stderrText.begin(), outcome.stderrText.end(), '\n'), 1)
      << outcome.stderrText;
}

TEST_F(HostDesktop, WithoutANotificationServerTheRunEndsBeforeReadingInput) {
  const std::pair<DesktopSession::Parts, std::string> rows[] = {
      {DesktopSession::Parts::none, ": --desktop: no session bus at unix:path="},
      {DesktopSession::Parts::bus,
       ": --desktop: no notification server: nobody owns org.freedesktop.Notifications"},
  };
  for (const auto& [parts, message] : rows) {
    SCOPED_TRACE(message);
    DesktopSession session(parts);
    // Input that never ends: only a run that does not wait for it can finish.
    Feed feed;
    feed.write(requestLine("unread", payload(std::nullopt, /*mutableContent=*/false)));
    const Outcome outcome = runExtension(desktopRun({}, feed.shell()));
    EXPECT_EQ(outcome.status, 69);
    EXPECT_TRUE(outcome.lines.empty());
    EXPECT_NE(outcome.stderrText.find(message), std::string::npos) << outcome.stderrText;
    EXPECT_EQ(std::count(outcome.stderrText.begin(), outcome.stderrText.end(), '\n'), 1)
        << outcome.stderrText;
  }
}

}  // namespace
