// The presenter against a real dunst on a private bus and display: a post that replaces an
// earlier one takes its place on screen, and the server's closing names the newer post.
#include "DesktopNotifications/BusPresenter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "tests/support/DesktopSession.hpp"

namespace {

using host::DesktopNotification;

class Closings final : public host::DesktopPresenterObserver {
 public:
  void closed(std::uint64_t post) noexcept override {
    std::lock_guard<std::mutex> lock(mu_);
    closed_.push_back(post);
  }
  void thumbnailWritten(std::uint64_t, const std::string&) noexcept override {}
  void failed(std::uint64_t, const std::string&, const NSError& error) noexcept override {
    ADD_FAILURE() << error.description;
  }
  std::vector<std::uint64_t> closedPosts() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::uint64_t> sorted = closed_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

 private:
  std::mutex mu_;
  std::vector<std::uint64_t> closed_;
};

DesktopNotification titled(std::uint64_t post, const std::string& title,
                           std::uint64_t replaces = 0) {
  DesktopNotification notification{post, title, title, "", "", std::nullopt, ""};
  notification.replaces = replaces;
  return notification;
}

TEST(BusPresenter, APostThatReplacesTakesTheEarliersPlace) {
  testing_support::DesktopSession session;
  Closings closings;
  auto presenter = desktop_notifications::BusPresenter::connect("Halvicourt", closings);
  ASSERT_TRUE(presenter.ok()) << presenter.error().description;
  // Posted back to back: the second waits for the first's id, which it names.
  (*presenter)->post(titled(1, "First"));
  (*presenter)->post(titled(2, "Second", 1));
  (*presenter)->post(titled(3, "Beside"));
  (*presenter)->flush();
  session.waitUntilDisplayed(2);
  EXPECT_EQ(session.dunstctl({"count", "displayed"}), "2\n");
  std::vector<std::string> titles;
  for (const nlohmann::json& shown : session.closeAllAndReadHistory()) {
    titles.push_back(shown["summary"]);
  }
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"Beside", "Second"}));
  EXPECT_TRUE(testing_support::waitFor([&] { return closings.closedPosts().size() == 2; }));
  EXPECT_EQ(closings.closedPosts(), (std::vector<std::uint64_t>{2, 3}));
}

}  // namespace
