// The executable run with --desktop against a real dunst on a private bus and display
// (tests/support/DesktopSession), with its attachment store in a folder of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/DesktopSession.hpp"
#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr const char* kAppName = "Halvicourt";  // the bundle's display name

// Runs with --desktop, with the caches and the attachment store of ExtensionTest; with
// `held`, standard input stays open until the test closes it.
class Desktop : public ExtensionTest {
 protected:
  testing_support::Run desktopRun(std::vector<std::string> args, bool held = false) const {
    args.insert(args.begin(), "--desktop");
    testing_support::Run desktop = run(std::move(args));
    desktop.holdInput = held;
    return desktop;
  }
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

TEST_F(Desktop, DunstShowsEachRequestOnceAndClosingReleasesItsAttachment) {
  DesktopSession session;
  // Shown at the expiry without its image, which a second delivery brings: only the first
  // goes to the desktop.
  testing_support::Run lateRun = desktopRun({"--time-limit", "2"});
  lateRun.input = requestLine("late", withAlert(payload(server_.url("/gate/late.png")),
                                                {{"title", "Late"}, {"body", "Expired"}}));
  ExtensionProcess late(lateRun);
  while (std::optional<std::string> text = late.readLine()) server_.openGate("late.png");
  const Outcome later = late.finish();
  EXPECT_EQ(later.status, 0) << later.stderrText;
  ASSERT_EQ(later.events.size(), 2u) << "the image came with a second delivery";
  EXPECT_NE(attachedFile(later.events[1]), "");

  // Delivered with the image, delivered without it (the download fails), shown as it came.
  ExtensionProcess process(desktopRun({"--time-limit", "3600"}, /*held=*/true));
  process.write(
      requestLine("image", payload(server_.url("/image.png"))) +
      requestLine("missing", withAlert(payload(server_.url("/status/404")), {{"body", "Gone"}})) +
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
  process.write(requestLine("lost", payload(std::nullopt, /*mutableContent=*/false)));
  process.closeInput();
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

// What the content asks of the desktop: the urgency of its interruption level, the app's sound
// file, and for a video a frame of it, made beside it in the store and gone with it.
TEST_F(Desktop, TheLevelSetsTheUrgencyASoundPlaysFromItsFileAndAVideoShowsAFrame) {
  TempDir clip;
  ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25:duration=1 "
                         "-pix_fmt yuv420p '" +
                         clip.file("clip.mp4") + "'")
                            .c_str()),
            0)
      << "needs ffmpeg (scripts/setup.sh)";
  server_.serveFile("clip.mp4", readFile(clip.file("clip.mp4")));
  const auto with = [](json p, const char* title, json aps) {
    p["aps"]["alert"] = {{"title", title}};
    p["aps"].update(aps);
    return p;
  };
  DesktopSession session;
  ExtensionProcess process(desktopRun({"--time-limit", "3600"}, /*held=*/true));
  process.write(
      requestLine("video", with(payload(server_.url("/files/clip.mp4")), "Video",
                                {{"interruption-level", "critical"}})) +
      requestLine("quiet", with(payload(std::nullopt, false), "Quiet",
                                {{"interruption-level", "passive"}})) +
      requestLine("chime", with(payload(std::nullopt, false), "Chime", {{"sound", "chime.wav"}})));
  std::string video;
  for (int i = 0; i < 3; ++i) {
    const std::optional<std::string> line = process.readLine();
    ASSERT_TRUE(line);
    if (json::parse(*line)["id"] == "video") video = attachedFile(json::parse(*line));
  }
  ASSERT_NE(video, "");
  const std::string frame = video + ".thumbnail.png";
  session.waitUntilDisplayed(3);
  EXPECT_EQ(readFile(frame).substr(0, 8), "\x89PNG\r\n\x1a\n") << frame;
  const struct {
    std::string summary, urgency, icon;
  } rows[] = {
      {"Video", "CRITICAL", frame},
      {"Quiet", "LOW", ""},
      {"Chime", "NORMAL", ""},
  };
  const std::string taken = session.serverLog();
  const std::vector<json> shown = session.closeAllAndReadHistory();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.summary);
    auto it = std::find_if(shown.begin(), shown.end(),
                           [&](const json& n) { return n["summary"] == row.summary; });
    ASSERT_NE(it, shown.end());
    EXPECT_EQ((*it)["icon_path"], row.icon);
    const std::size_t at = taken.find("summary: '" + row.summary + "'");
    ASSERT_NE(at, std::string::npos) << taken;
    EXPECT_EQ(taken.substr(taken.find("urgency: ", at) + 9, row.urgency.size()), row.urgency);
  }
  const std::string calls = session.notifyCalls();
  EXPECT_NE(calls.find("string \"sound-file\"\n         variant             string \"" +
                       appDirectory() + "/chime.wav\""),
            std::string::npos)
      << calls;
  EXPECT_TRUE(waitFor([&] { return !fs::exists(video) && !fs::exists(frame); })) << frame;
  process.closeInput();
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, {"video", "quiet", "chime"});
}

// More notifications at once than the bus lets one connection await replies for (128 on
// the test's bus): each one is shown, none refused, as the server gets through them.
TEST_F(Desktop, ABurstIsShownWhole) {
  DesktopSession session;
  testing_support::Run burst = desktopRun({});
  std::vector<std::string> ids;
  for (int i = 0; i < 300; ++i) {
    ids.push_back("b" + std::to_string(i));
    burst.input += requestLine(ids.back(), payload(std::nullopt, /*mutableContent=*/false));
  }
  const Outcome outcome = runExtension(burst);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.stderrText, "");
  expectEachShownOnce(outcome, ids);
}

TEST_F(Desktop, WithoutANotificationServerTheRunEndsBeforeReadingInput) {
  const struct {
    DesktopSession::Parts parts;
    std::vector<std::string> env;
    std::string message;
  } rows[] = {
      {DesktopSession::Parts::none, {}, ": --desktop: no session bus at unix:path="},
      {DesktopSession::Parts::none,
       {"DBUS_SESSION_BUS_ADDRESS=garbage"},
       ": --desktop: no session bus at garbage: DBUS_SESSION_BUS_ADDRESS is not a D-Bus address"},
      {DesktopSession::Parts::bus,
       {},
       ": --desktop: no notification server: nobody owns org.freedesktop.Notifications"},
  };
  for (const auto& [parts, env, message] : rows) {
    SCOPED_TRACE(message);
    DesktopSession session(parts);
    // Input that never ends: only a run that does not wait for it can finish.
    testing_support::Run unread = desktopRun({}, /*held=*/true);
    unread.env = env;
    unread.input = requestLine("unread", payload(std::nullopt, /*mutableContent=*/false));
    const Outcome outcome = runExtension(unread);
    EXPECT_EQ(outcome.status, 69);
    EXPECT_TRUE(outcome.lines.empty());
    EXPECT_NE(outcome.stderrText.find(message), std::string::npos) << outcome.stderrText;
    EXPECT_EQ(std::count(outcome.stderrText.begin(), outcome.stderrText.end(), '\n'), 1)
        << outcome.stderrText;
  }
}

}  // namespace
