// The desktop presenter loaded through connectDesktopPresenter, as the host loads it,
// against a real dunst on a private bus and display.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "UserNotifications/DesktopPresenter.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "tests/support/DesktopSession.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::DesktopSession;
using usernotifications::connectDesktopPresenter;
using usernotifications::DesktopPresenter;

constexpr const char* kAppName = "Halvicourt";

TEST(BusPresenter, DunstShowsEachRequestAndTheHostHearsOfClosingsAndRefusals) {
  DesktopSession session;
  testing_support::TempDir store;
  const std::string image = store.file("0123abcd.png");
  testing_support::writeFile(image, testing_support::pngBytes());
  struct Row {
    std::string id, title, subtitle, body;
    bool withImage;
    std::string summary, shownBody;  // as dunst received them
  };
  const std::vector<Row> rows = {
      {"image", "Sunset", "", "Tonight's view", true, "Sunset", "Tonight's view"},
      {"lines", "Parcel", "Depot 4", "Arrived", false, "Parcel", "Depot 4\nArrived"},
      {"markup", "Tom & Jerry <3", "", "a<b && c>d <b>no</b>", false, "Tom & Jerry <3",
       "a&lt;b &amp;&amp; c&gt;d &lt;b&gt;no&lt;/b&gt;"},
      {"untitled", "", "", "Hello", false, kAppName, "Hello"},
  };
  // What the presenter reports from its thread, guarded by mu.
  std::mutex mu;
  std::condition_variable changed;
  std::set<std::string> closed;
  std::vector<std::pair<std::string, NSError>> failed;
  auto connected = connectDesktopPresenter(kAppName, {[&](const std::string& id) {
                                                        std::lock_guard<std::mutex> lock(mu);
                                                        closed.insert(id);
                                                        changed.notify_all();
                                                      },
                                                      [&](const std::string& id, const NSError& e) {
                                                        std::lock_guard<std::mutex> lock(mu);
                                                        failed.emplace_back(id, e);
                                                      }});
  ASSERT_TRUE(connected.ok()) << connected.error().description;
  std::unique_ptr<DesktopPresenter> presenter = std::move(*connected);
  for (const Row& row : rows) {
    UNNotificationContentFields fields;
    fields.title = row.title;
    fields.subtitle = row.subtitle;
    fields.body = row.body;
    auto content = makeStrong<UNMutableNotificationContent>(std::move(fields));
    if (row.withImage) {
      content->setAttachments({UNNotificationAttachment::attachmentWithIdentifier(
          "image_downloaded", URL::fileURLWithPath(image), nullptr, nullptr)});
    }
    presenter->post(usernotifications::desktopNotification(row.id, *content));
  }
  presenter->flush();

  std::vector<nlohmann::json> shown = session.closeAllAndReadHistory();
  EXPECT_EQ(shown.size(), rows.size());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    auto it = std::find_if(shown.begin(), shown.end(),
                           [&](const nlohmann::json& n) { return n["summary"] == row.summary; });
    ASSERT_NE(it, shown.end());
    EXPECT_EQ((*it)["body"], row.shownBody);
    EXPECT_EQ((*it)["appname"], kAppName);
    EXPECT_EQ((*it)["icon_path"], row.withImage ? image : "");
  }
  {
    std::unique_lock<std::mutex> lock(mu);
    changed.wait_for(lock, std::chrono::minutes(1), [&] { return closed.size() >= rows.size(); });
    EXPECT_EQ(closed, (std::set<std::string>{"image", "lines", "markup", "untitled"}));
    EXPECT_TRUE(failed.empty());
  }

  // With the server gone, the bus refuses the call; the refusal names the request.
  session.stopServer();
  presenter->post({"lost", "Title", "", "Body", std::nullopt, ""});
  presenter->flush();
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(failed.size(), 1u);
  const auto& [id, error] = failed[0];
  EXPECT_EQ(id, "lost");
  EXPECT_EQ(error.domain, usernotifications::kDBusErrorDomain);
  EXPECT_NE(error.description.find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos)
      << error.description;
}

TEST(BusPresenter, ConnectingWithoutAServerFailsWithOneLine) {
  const std::pair<DesktopSession::Parts, std::string> rows[] = {
      {DesktopSession::Parts::none, "no session bus"},
      {DesktopSession::Parts::bus, "nobody owns org.freedesktop.Notifications"},
  };
  for (const auto& [parts, expected] : rows) {
    DesktopSession session(parts);
    auto presenter = connectDesktopPresenter(kAppName, {});
    ASSERT_FALSE(presenter.ok()) << expected;
    const std::string& description = presenter.error().description;
    EXPECT_NE(description.find(expected), std::string::npos) << description;
    EXPECT_EQ(description.find('\n'), std::string::npos) << description;
  }
}

}  // namespace
