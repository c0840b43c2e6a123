// The desktop presenter loaded through connectDesktopPresenter, against a real dunst on a
// private bus and display.
#include <gtest/gtest.h>

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

// What the presenter reported, on its own thread, for the test to wait on.
class Reports {
 public:
  usernotifications::DesktopPresenterCallbacks callbacks() {
    return {[this](const std::string& id) {
              std::lock_guard<std::mutex> lock(mu_);
              closed_.insert(id);
              changed_.notify_all();
            },
            [this](const std::string& id, const NSError& error) {
              std::lock_guard<std::mutex> lock(mu_);
              failed_.emplace_back(id, error);
            }};
  }
  // The requests reported closed once there are `count` of them, or after a minute.
  std::set<std::string> waitForClosed(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, std::chrono::minutes(1), [&] { return closed_.size() >= count; });
    return closed_;
  }
  std::vector<std::pair<std::string, NSError>> failed() {
    std::lock_guard<std::mutex> lock(mu_);
    return failed_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::set<std::string> closed_;
  std::vector<std::pair<std::string, NSError>> failed_;
};

std::unique_ptr<DesktopPresenter> connect(Reports& reports) {
  auto presenter = connectDesktopPresenter(kAppName, reports.callbacks());
  EXPECT_TRUE(presenter.ok()) << presenter.error().description;
  return presenter.ok() ? std::move(*presenter) : nullptr;
}

TEST(BusPresenter, DunstShowsEachRequestAsMappedAndReportsItsClosing) {
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
  Reports reports;
  std::unique_ptr<DesktopPresenter> presenter = connect(reports);
  ASSERT_TRUE(presenter);
  for (const Row& row : rows) {
    std::vector<Strong<UNNotificationAttachment>> attachments;
    if (row.withImage) {
      attachments.push_back(UNNotificationAttachment::attachmentWithIdentifier(
          "image_downloaded", URL::fileURLWithPath(image), nullptr, nullptr));
    }
    UNNotificationContentFields fields;
    fields.title = row.title;
    fields.subtitle = row.subtitle;
    fields.body = row.body;
    auto content = makeStrong<UNMutableNotificationContent>(std::move(fields), attachments);
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
    EXPECT_EQ((*it)["category"], "");
  }
  EXPECT_EQ(reports.waitForClosed(rows.size()),
            (std::set<std::string>{"image", "lines", "markup", "untitled"}));
  EXPECT_TRUE(reports.failed().empty());
}

TEST(BusPresenter, ANotifyTheBusRefusesIsReportedForItsRequest) {
  DesktopSession session;
  Reports reports;
  std::unique_ptr<DesktopPresenter> presenter = connect(reports);
  ASSERT_TRUE(presenter);
  session.stopServer();
  presenter->post({"lost", "Title", "", "Body", std::nullopt, ""});
  presenter->flush();
  auto failed = reports.failed();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].first, "lost");
  EXPECT_EQ(failed[0].second.domain, usernotifications::kDBusErrorDomain);
  EXPECT_NE(failed[0].second.description.find("org.freedesktop.DBus.Error.ServiceUnknown"),
            std::string::npos)
      << failed[0].second.description;
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
