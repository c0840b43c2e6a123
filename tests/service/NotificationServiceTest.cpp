#include "service/NotificationService.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/NSString.hpp"
#include "Foundation/URLSession.hpp"
#include "System/Block.hpp"
#include "service/NotificationServiceInternal.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

extern const objc_class objc_class_NotificationService;

namespace {

using nlohmann::json;
using notification_service_internal::md5;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::TestServer;

constexpr const char* kServiceClassName =
    "_TtC29HalvicourtNotificationService19NotificationService";
constexpr auto kPatience = std::chrono::seconds(60);

// Every call of one request's content handler, with the attachments as they were at the call.
class Deliveries {
 public:
  struct Delivery {
    Strong<UNNotificationContent> content;
    std::vector<Strong<UNNotificationAttachment>> attachments;
    std::thread::id thread;
  };

  void record(UNNotificationContent* content) {
    Delivery d{Strong<UNNotificationContent>::retain(content), content->attachments(),
               std::this_thread::get_id()};
    std::lock_guard<std::mutex> lock(mu_);
    list_.push_back(std::move(d));
    cv_.notify_all();
  }
  // True once at least `n` deliveries have arrived; false after a minute.
  bool waitFor(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kPatience, [&] { return list_.size() >= n; });
  }
  std::vector<Delivery> all() const {
    std::lock_guard<std::mutex> lock(mu_);
    return list_;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return list_.size();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Delivery> list_;
};

std::string executableName() {
  return std::filesystem::read_symlink("/proc/self/exe").filename().string();
}

// A request whose content carries `userInfo` and, already, an attachment of its own, so
// that a delivery that appended instead of replacing, or that changed the request's
// content, shows.
Strong<UNNotificationRequest> makeRequest(const json& userInfo, const std::string& title,
                                          Strong<UNNotificationAttachment> earlier) {
  UNNotificationContentFields fields;
  fields.title = title;
  fields.body = "Body of " + title;
  fields.userInfo = userInfo;
  std::vector<Strong<UNNotificationAttachment>> attachments;
  if (earlier) attachments.push_back(std::move(earlier));
  auto content =
      makeStrong<UNMutableNotificationContent>(std::move(fields), std::move(attachments));
  return makeStrong<UNNotificationRequest>("request", std::move(content));
}

class NotificationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(setenv("XDG_CACHE_HOME", cacheHome_.path().c_str(), 1), 0);
    caches_ = cacheHome_.file(executableName());
    ASSERT_EQ(mkdir(caches_.c_str(), 0700), 0);
    testing_support::writeFile(cacheHome_.file("earlier.png"), testing_support::pngBytes());
    earlier_ = UNNotificationAttachment::attachmentWithIdentifier(
        "earlier", URL::fileURLWithPath(cacheHome_.file("earlier.png")), nullptr, nullptr);
    ASSERT_TRUE(earlier_);
  }
  // A download left running would write into the next test's directory.
  void TearDown() override {
    EXPECT_TRUE(
        URLSession::sharedSession().waitUntilIdle(std::chrono::steady_clock::now() + kPatience));
  }

  // A service made the way the platform makes it: by runtime name, then "init".
  static Strong<NSObject> makeService() {
    Class cls = objc_getClass(kServiceClassName);
    EXPECT_NE(cls, nullptr);
    id obj = class_createInstance(cls);
    return Strong<NSObject>::adopt(objc_msgSend<id>(obj, "init"));
  }
  static void receive(const Strong<NSObject>& service, const Strong<UNNotificationRequest>& request,
                      const std::shared_ptr<Deliveries>& deliveries) {
    // The platform's block lives on its stack only for the duration of the message.
    auto block = blocks::makeBlock<void(UNNotificationContent*)>(
        [deliveries](UNNotificationContent* content) { deliveries->record(content); });
    objc_msgSend<void>(service.get(),
                       "didReceiveNotificationRequest:withContentHandler:", request.get(),
                       block.get());
  }
  static void expire(const Strong<NSObject>& service) {
    objc_msgSend<void>(service.get(), "serviceExtensionTimeWillExpire");
  }
  static bool waitUntilIdle() {
    return URLSession::sharedSession().waitUntilIdle(std::chrono::steady_clock::now() + kPatience);
  }

  Strong<UNNotificationRequest> requestWithImage(const std::string& address,
                                                 const std::string& title = "Title") {
    return makeRequest({{"image", address}, {"aps", {{"mutable-content", 1}}}}, title, earlier_);
  }
  // What the store names the body of `address`.
  std::string cacheFile(const std::string& address) const {
    const std::string ext = pathExtension(address);
    return caches_ + "/" + md5(address) + (ext.empty() ? "" : "." + ext);
  }

  void expectUnchangedCopy(const Deliveries::Delivery& d,
                           const Strong<UNNotificationRequest>& request) const {
    const UNNotificationContent& original = *request->content();
    EXPECT_NE(d.content.get(), request->content().get());
    EXPECT_TRUE(d.content->isKindOfClass(UNMutableNotificationContent::classRecord()));
    EXPECT_EQ(d.content->title(), original.title());
    EXPECT_EQ(d.content->body(), original.body());
    EXPECT_EQ(d.content->userInfo(), original.userInfo());
    EXPECT_EQ(d.attachments, (std::vector<Strong<UNNotificationAttachment>>{earlier_}));
  }

  TempDir cacheHome_;
  std::string caches_;
  Strong<UNNotificationAttachment> earlier_;
  // One server for the suite: each one stopped waits out its kept-alive connections.
  static void SetUpTestSuite() { server_ = new TestServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static TestServer* server_;
};
TestServer* NotificationServiceTest::server_ = nullptr;

TEST(NotificationServiceClass, RecordsOfEveryImageAreFoundByName) {
  EXPECT_EQ(objc_getClass(kServiceClassName), &objc_class_NotificationService);
  EXPECT_EQ(class_getSuperclass(&objc_class_NotificationService),
            objc_getClass("UNNotificationServiceExtension"));
  EXPECT_EQ(objc_getClass("UNMutableNotificationContent"),
            &objc_class_UNMutableNotificationContent);
  EXPECT_EQ(objc_getClass("NSObject"), &objc_class_NSObject);
  EXPECT_EQ(objc_getClass("NotificationService"), nullptr);  // only the mangled name
}

TEST_F(NotificationServiceTest, DeliversTheImageOnceAsTheOnlyAttachment) {
  struct Row {
    const char* path;
    const std::string& bytes;
    const char* type;
  } const rows[] = {
      {"/image.png", testing_support::pngBytes(), "public.png"},
      {"/image.jpg", testing_support::jpegBytes(), "public.jpeg"},
      {"/image.gif", testing_support::gifBytes(), "com.compuserve.gif"},
      {"/image.webp", testing_support::webpBytes(), "org.webmproject.webp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::string address = server_->url(row.path);
    auto deliveries = std::make_shared<Deliveries>();
    Strong<UNNotificationRequest> request = requestWithImage(address);
    Strong<NSObject> service = makeService();
    receive(service, request, deliveries);
    ASSERT_TRUE(deliveries->waitFor(1));
    ASSERT_TRUE(waitUntilIdle());  // the download is over: a second delivery would be in

    std::vector<Deliveries::Delivery> all = deliveries->all();
    ASSERT_EQ(all.size(), 1u);
    const Deliveries::Delivery& d = all[0];
    EXPECT_NE(d.thread, std::this_thread::get_id());
    EXPECT_NE(d.content.get(), request->content().get());
    EXPECT_TRUE(d.content->isKindOfClass(UNMutableNotificationContent::classRecord()));
    EXPECT_EQ(d.content->title(), "Title");
    EXPECT_EQ(d.content->userInfo(), request->content()->userInfo());
    ASSERT_EQ(d.attachments.size(), 1u);
    EXPECT_EQ(d.attachments[0]->identifier(), "image_downloaded");
    EXPECT_EQ(d.attachments[0]->type(), row.type);
    EXPECT_EQ(d.attachments[0]->url(), URL::fileURLWithPath(cacheFile(address)));
    EXPECT_EQ(readFile(cacheFile(address)), row.bytes);
    // The request's own content is never changed.
    EXPECT_EQ(request->content()->attachments(),
              (std::vector<Strong<UNNotificationAttachment>>{earlier_}));
  }
}

TEST_F(NotificationServiceTest, ReturnsBeforeTheDownloadEnds) {
  auto deliveries = std::make_shared<Deliveries>();
  Strong<NSObject> service = makeService();
  receive(service, requestWithImage(server_->url("/gate/returns")), deliveries);
  ASSERT_TRUE(server_->waitForGateArrivals("returns", 1));
  EXPECT_EQ(deliveries->count(), 0u);
  server_->openGate("returns");
  ASSERT_TRUE(deliveries->waitFor(1));
  EXPECT_NE(deliveries->all()[0].thread, std::this_thread::get_id());
  EXPECT_EQ(deliveries->all()[0].attachments.size(), 1u);
}

TEST_F(NotificationServiceTest, WithoutAUsableAddressOnlyTheExpiryDelivers) {
  const json rows[] = {
      json::object(),   // no "image" at all
      {{"image", 42}},  // a number
      {{"image", json::array({"http://127.0.0.1/image.png"})}},
      {{"image", {{"url", "http://127.0.0.1/image.png"}}}},
      {{"image", nullptr}},
      {{"image", ""}},                            // no URL results
      {{"image", "not a url"}},                   // nor here
      {{"Image", "http://127.0.0.1/image.png"}},  // the key is exact
  };
  for (const json& userInfo : rows) {
    SCOPED_TRACE(userInfo.dump());
    auto deliveries = std::make_shared<Deliveries>();
    Strong<UNNotificationRequest> request = makeRequest(userInfo, "Title", earlier_);
    Strong<NSObject> service = makeService();
    receive(service, request, deliveries);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(deliveries->count(), 0u);

    expire(service);
    ASSERT_EQ(deliveries->count(), 1u);  // at once, from the expiry call itself
    const Deliveries::Delivery d = deliveries->all()[0];
    EXPECT_EQ(d.thread, std::this_thread::get_id());
    expectUnchangedCopy(d, request);
  }
}

TEST_F(NotificationServiceTest, ExpiryBeforeAnyRequestDoesNothing) {
  Strong<NSObject> service = makeService();
  expire(service);
  expire(service);
  EXPECT_EQ(service->retainCount(), 1u);
}

TEST_F(NotificationServiceTest, ExpiryAfterDeliveryDeliversTheSameObjectAgain) {
  auto deliveries = std::make_shared<Deliveries>();
  Strong<NSObject> service = makeService();
  receive(service, requestWithImage(server_->url("/image.png")), deliveries);
  ASSERT_TRUE(deliveries->waitFor(1));
  ASSERT_TRUE(waitUntilIdle());
  expire(service);
  std::vector<Deliveries::Delivery> all = deliveries->all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].content, all[0].content);
  ASSERT_EQ(all[1].attachments.size(), 1u);
  EXPECT_EQ(all[1].attachments[0]->identifier(), "image_downloaded");
}

TEST_F(NotificationServiceTest, ExpiryWhileDownloadingDeliversWithoutThenTheDownloadWith) {
  auto deliveries = std::make_shared<Deliveries>();
  Strong<UNNotificationRequest> request = requestWithImage(server_->url("/gate/pending"));
  Strong<NSObject> service = makeService();
  receive(service, request, deliveries);
  ASSERT_TRUE(server_->waitForGateArrivals("pending", 1));

  expire(service);
  ASSERT_EQ(deliveries->count(), 1u);
  expectUnchangedCopy(deliveries->all()[0], request);

  server_->openGate("pending");
  ASSERT_TRUE(deliveries->waitFor(2));
  std::vector<Deliveries::Delivery> all = deliveries->all();
  EXPECT_EQ(all[1].content, all[0].content);
  ASSERT_EQ(all[1].attachments.size(), 1u);
  EXPECT_EQ(all[1].attachments[0]->identifier(), "image_downloaded");
}

TEST_F(NotificationServiceTest, ServiceGoneBeforeTheDownloadEndsStillDelivers) {
  auto deliveries = std::make_shared<Deliveries>();
  Strong<NSObject> service = makeService();
  receive(service, requestWithImage(server_->url("/gate/gone")), deliveries);
  ASSERT_TRUE(server_->waitForGateArrivals("gone", 1));
  // The pending download holds no reference to the service, so this destroys it.
  EXPECT_EQ(service->retainCount(), 1u);
  service = nullptr;

  server_->openGate("gone");
  ASSERT_TRUE(deliveries->waitFor(1));
  std::vector<Deliveries::Delivery> all = deliveries->all();
  ASSERT_EQ(all[0].attachments.size(), 1u);
  EXPECT_EQ(all[0].attachments[0]->identifier(), "image_downloaded");
}

TEST_F(NotificationServiceTest, ASecondRequestDoesNotRedirectTheFirstDownloadsDelivery) {
  auto first = std::make_shared<Deliveries>();
  auto second = std::make_shared<Deliveries>();
  Strong<NSObject> service = makeService();
  receive(service, requestWithImage(server_->url("/gate/first"), "First"), first);
  ASSERT_TRUE(server_->waitForGateArrivals("first", 1));
  Strong<UNNotificationRequest> secondRequest = makeRequest({{"k", "v"}}, "Second", earlier_);
  receive(service, secondRequest, second);

  server_->openGate("first");
  ASSERT_TRUE(first->waitFor(1));
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ(first->count(), 1u);
  EXPECT_EQ(first->all()[0].content->title(), "First");
  EXPECT_EQ(first->all()[0].attachments.size(), 1u);
  EXPECT_EQ(second->count(), 0u);

  // The service itself now holds the second request.
  expire(service);
  EXPECT_EQ(first->count(), 1u);
  ASSERT_EQ(second->count(), 1u);
  expectUnchangedCopy(second->all()[0], secondRequest);
}

// Run under ThreadSanitizer: the expiry on this thread and the download's delivery on the
// session's queue touch the same content and handler at the same moment.
TEST_F(NotificationServiceTest, ExpiryRacingTheDownloadsDeliveryBothDeliver) {
  for (int i = 0; i < 40; ++i) {
    const std::string gate = "race" + std::to_string(i);
    SCOPED_TRACE(gate);
    auto deliveries = std::make_shared<Deliveries>();
    Strong<NSObject> service = makeService();
    receive(service, requestWithImage(server_->url("/gate/" + gate)), deliveries);
    ASSERT_TRUE(server_->waitForGateArrivals(gate, 1));
    server_->openGate(gate);
    expire(service);
    ASSERT_TRUE(deliveries->waitFor(2));
    std::vector<Deliveries::Delivery> all = deliveries->all();
    EXPECT_EQ(all[0].content, all[1].content);
    // Whichever came first, the content ends with the downloaded image alone.
    std::vector<Strong<UNNotificationAttachment>> last = all[0].content->attachments();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0]->identifier(), "image_downloaded");
  }
}

}  // namespace
