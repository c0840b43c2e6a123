#include "service/NotificationService.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/URLSession.hpp"
#include "System/Block.hpp"
#include "service/NotificationServiceInternal.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using notification_service::md5;
using testing_support::listDirectory;
using testing_support::pngBytes;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::TestServer;
using Attachments = std::vector<objc::Strong<UNNotificationAttachment>>;

// Every call of one request's content handler, with the attachments as they were then. A
// download delivers inside its completion, so all its deliveries are here once the session is
// idle.
class Deliveries {
 public:
  struct Delivery {
    objc::Strong<UNNotificationContent> content;
    Attachments attachments;
    std::thread::id thread;
  };
  void record(UNNotificationContent* content) {
    std::lock_guard<std::mutex> lock(mu_);
    list_.push_back({objc::Strong<UNNotificationContent>::retain(content), content->attachments(),
                     std::this_thread::get_id()});
  }
  std::vector<Delivery> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return list_;
  }

 private:
  std::mutex mu_;
  std::vector<Delivery> list_;  // guarded by mu_
};

bool waitUntilIdle() {
  return URLSession::sharedSession().waitUntilIdle(std::chrono::steady_clock::now() +
                                                   std::chrono::seconds(60));
}

// The service driven as the platform drives it: made by runtime name, sent messages, handed
// a stack block that lives only for the duration of the message.
class NotificationServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(setenv("XDG_CACHE_HOME", cacheHome_.path().c_str(), 1), 0);
    caches_ = cacheHome_.file(std::filesystem::read_symlink("/proc/self/exe").filename());
    ASSERT_EQ(mkdir(caches_.c_str(), 0700), 0);
    // Each request already carries an attachment, so a delivery that appended instead of
    // replacing, or that changed the request's own content, shows.
    testing_support::writeFile(cacheHome_.file("earlier.png"), pngBytes());
    earlier_ = UNNotificationAttachment::attachmentWithIdentifier(
        "earlier", URL::fileURLWithPath(cacheHome_.file("earlier.png")), nullptr, nullptr);
    ASSERT_TRUE(earlier_);
  }
  // A download left running would write into the next test's directory.
  void TearDown() override { EXPECT_TRUE(waitUntilIdle()); }

  static objc::Strong<NSObject> makeService() {
    Class cls = objc_getClass("_TtC29HalvicourtNotificationService19NotificationService");
    EXPECT_NE(cls, nullptr);
    return objc::Strong<NSObject>::adopt(objc_msgSend<id>(class_createInstance(cls), "init"));
  }
  static std::shared_ptr<Deliveries> receive(const objc::Strong<NSObject>& service,
                                             const objc::Strong<UNNotificationRequest>& request) {
    auto deliveries = std::make_shared<Deliveries>();
    auto block = blocks::makeBlock<void(UNNotificationContent*)>(
        [deliveries](UNNotificationContent* content) { deliveries->record(content); });
    objc_msgSend<void>(service.get(), user_notifications::kDidReceiveNotificationRequestSelector,
                       request.get(), block.get());
    EXPECT_EQ(request->retainCount(), 1u) << "the service kept the request";
    return deliveries;
  }
  static void expire(const objc::Strong<NSObject>& service) {
    objc_msgSend<void>(service.get(), user_notifications::kServiceExtensionTimeWillExpireSelector);
  }

  objc::Strong<UNNotificationRequest> request(const json& userInfo,
                                              const std::string& title = "Title") {
    user_notifications::ContentFields fields;
    fields.title = title;
    fields.userInfo = userInfo;
    return objc::makeStrong<UNNotificationRequest>(
        "request",
        objc::makeStrong<UNMutableNotificationContent>(std::move(fields), Attachments{earlier_}));
  }

  // Runs one request for the server's `path` through a fresh service until its download has
  // ended; gives its only delivery.
  Deliveries::Delivery fetch(const std::string& path) {
    const std::string served = path.substr(0, path.find('?'));
    const int hits = server_->hits(served);
    objc::Strong<UNNotificationRequest> r = request({{"image", server_->url(path)}});
    std::shared_ptr<Deliveries> deliveries = receive(makeService(), r);
    EXPECT_TRUE(waitUntilIdle());
    EXPECT_EQ(server_->hits(served), hits + 1) << "one transfer per request";
    std::vector<Deliveries::Delivery> all = deliveries->all();
    EXPECT_EQ(all.size(), 1u) << "the download delivers exactly once";
    // The request's own content is never changed.
    EXPECT_EQ(r->content()->attachments(), Attachments{earlier_});
    return all.empty() ? Deliveries::Delivery{} : all[0];
  }
  // A delivery of the copy as it was made, with no image attached.
  void expectUnchangedCopy(const Deliveries::Delivery& d,
                           const objc::Strong<UNNotificationRequest>& r) {
    EXPECT_NE(d.content.get(), r->content().get());
    EXPECT_TRUE(d.content->isKindOfClass(UNMutableNotificationContent::classRecord()));
    EXPECT_EQ(d.content->title(), r->content()->title());
    EXPECT_EQ(d.content->userInfo(), r->content()->userInfo());
    EXPECT_EQ(d.attachments, Attachments{earlier_});
  }
  static ::testing::AssertionResult imageAttached(const Deliveries::Delivery& d) {
    if (d.attachments.size() == 1 && d.attachments[0]->identifier() == "image_downloaded") {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << d.attachments.size() << " attachments, not the image";
  }

  // One server for the suite: each one stopped waits out its kept-alive connections.
  inline static TestServer* server_ = nullptr;
  TempDir cacheHome_;
  std::string caches_;
  objc::Strong<UNNotificationAttachment> earlier_;
};

// --- Download and save --------------------------------------------------------------------

TEST_F(NotificationServiceTest, StoresTheBodyUnderItsDigestNameAndAttachesOnlyAnImage) {
  struct Row {
    std::string path;
    const char* extension;  // what follows the digest of the whole address, query included
    std::optional<std::string> stored;
    const char* type;  // null: not attached
  } const rows[] = {
      {"/image.png", ".png", pngBytes(), "public.png"},
      {"/pic.jpg?w=100", ".jpg?w=100", testing_support::jpegBytes(), "public.jpeg"},
      // An error page is a body like any other: kept, but not an image.
      {"/status/404", "", "<html><body><h1>404</h1></body></html>", nullptr},
      {"/empty", "", "", nullptr},
      {"/reset", "", std::nullopt, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::string file = caches_ + "/" + md5(server_->url(row.path)) + row.extension;
    // What an earlier download of the address left: fetched again and replaced, or kept when
    // nothing came.
    testing_support::writeFile(file, "stale");
    const Deliveries::Delivery d = fetch(row.path);
    ASSERT_TRUE(d.content);
    EXPECT_NE(d.thread, std::this_thread::get_id());
    EXPECT_EQ(d.content->title(), "Title");
    EXPECT_EQ(listDirectory(caches_).size(), 1u);
    EXPECT_EQ(readFile(file), row.stored.value_or("stale"));
    if (row.type != nullptr) {
      ASSERT_TRUE(imageAttached(d));
      EXPECT_EQ(d.attachments[0]->type(), row.type);
      EXPECT_EQ(d.attachments[0]->url().path(), file);
    } else {
      EXPECT_EQ(d.attachments, Attachments{earlier_});
    }
    std::filesystem::remove(file);
  }
}

TEST_F(NotificationServiceTest, MissingCachesDirectoryIsNotCreated) {
  ASSERT_EQ(rmdir(caches_.c_str()), 0);
  EXPECT_EQ(fetch("/image.png").attachments, Attachments{earlier_});
  EXPECT_FALSE(std::filesystem::exists(caches_));
}

// --- Deliveries ---------------------------------------------------------------------------

TEST_F(NotificationServiceTest, WithoutAUsableAddressNothingIsFetchedAndOnlyTheExpiryDelivers) {
  const std::string address = server_->url("/image.png");
  const json rows[] = {
      json::object(),       {{"image", 42}},          {{"image", json::array({address})}},
      {{"image", nullptr}}, {{"image", "not a url"}}, {{"picture", address}},
      {{"image", ""}},
  };
  const int hits = server_->hits("/image.png");
  for (const json& userInfo : rows) {
    SCOPED_TRACE(userInfo.dump());
    objc::Strong<UNNotificationRequest> r = request(userInfo);
    objc::Strong<NSObject> service = makeService();
    std::shared_ptr<Deliveries> deliveries = receive(service, r);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(deliveries->all().empty());
    expire(service);
    std::vector<Deliveries::Delivery> all = deliveries->all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].thread, std::this_thread::get_id());  // at once, from the expiry call
    expectUnchangedCopy(all[0], r);
  }
  EXPECT_EQ(server_->hits("/image.png"), hits);
}

// The platform may send the expiry before or after the download delivers, and the instance's
// next request while the download still runs.
TEST_F(NotificationServiceTest, TheDownloadAndEachExpiryDeliverTheirRequestsOneCopy) {
  objc::Strong<NSObject> service = makeService();
  objc::Strong<UNNotificationRequest> firstRequest =
      request({{"image", server_->url("/gate/first")}}, "First");
  std::shared_ptr<Deliveries> first = receive(service, firstRequest);
  ASSERT_TRUE(server_->waitForGateArrivals("first", 1));
  EXPECT_TRUE(first->all().empty());  // the message returned before the download ended
  expire(service);
  ASSERT_EQ(first->all().size(), 1u);
  expectUnchangedCopy(first->all()[0], firstRequest);

  objc::Strong<UNNotificationRequest> secondRequest = request({{"k", "v"}}, "Second");
  std::shared_ptr<Deliveries> second = receive(service, secondRequest);
  // The pending download holds no reference to the service, nor reads what it now stores.
  EXPECT_EQ(service->retainCount(), 1u);
  server_->openGate("first");
  ASSERT_TRUE(waitUntilIdle());
  std::vector<Deliveries::Delivery> firsts = first->all();
  ASSERT_EQ(firsts.size(), 2u);
  EXPECT_EQ(firsts[1].content, firsts[0].content);
  EXPECT_TRUE(imageAttached(firsts[1]));
  EXPECT_TRUE(second->all().empty());

  // The service now holds the second request, and keeps no record of a delivery.
  expire(service);
  expire(service);
  EXPECT_EQ(first->all().size(), 2u);
  std::vector<Deliveries::Delivery> seconds = second->all();
  ASSERT_EQ(seconds.size(), 2u);
  expectUnchangedCopy(seconds[0], secondRequest);
  EXPECT_EQ(seconds[1].content, seconds[0].content);
}

}  // namespace
