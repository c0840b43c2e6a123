#include "Foundation/URLSession.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::TestServer;

// A safety net only: every wait below ends on an event long before this.
constexpr std::chrono::seconds kPatience{60};

std::chrono::steady_clock::time_point deadline() {
  return std::chrono::steady_clock::now() + kPatience;
}

URL urlOf(const std::string& text) {
  std::optional<URL> url = URL::fromString(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(URL::fileURLWithPath("/nonexistent"));
}

struct Outcome {
  std::string tag;
  std::optional<Data> body;
  std::optional<HTTPURLResponse> response;
  std::optional<NSError> error;
  std::thread::id thread;
};

// Collects completions from any thread and lets the test wait for a number of them.
class Recorder {
 public:
  URLSessionCompletionHandler handler(std::string tag = {}) {
    return [this, tag](std::optional<Data> body, std::optional<HTTPURLResponse> response,
                       std::optional<NSError> error) {
      std::lock_guard<std::mutex> lock(mu_);
      outcomes_.push_back({tag, std::move(body), std::move(response), std::move(error),
                           std::this_thread::get_id()});
      cv_.notify_all();
    };
  }

  // The outcomes once there are at least `count`, or what arrived within the time limit.
  std::vector<Outcome> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, deadline(), [&] { return outcomes_.size() >= count; });
    return outcomes_;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return outcomes_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Outcome> outcomes_;
};

// Starts one task, drops it at once and returns its only outcome.
Outcome fetch(URLSession& session, const std::string& url) {
  Recorder recorder;
  session.dataTask(urlOf(url), recorder.handler())->resume();
  EXPECT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(1);
  EXPECT_EQ(outcomes.size(), 1u) << url;
  return outcomes.empty() ? Outcome{} : outcomes.front();
}

URLSessionConfiguration quickConfiguration() {
  URLSessionConfiguration configuration;
  configuration.timeoutIntervalForRequest = std::chrono::seconds(2);
  return configuration;
}

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// ---- Bodies that arrive ----------------------------------------------------------------

TEST(URLSessionSuccessTest, DeliversTheExactBytesWithTheResponse) {
  TestServer server;
  URLSession session(quickConfiguration());
  struct Row {
    std::string path;
    const std::string& bytes;
    std::string mimeType;
  };
  const Row rows[] = {
      {"/image.png", testing_support::pngBytes(), "image/png"},
      {"/image.jpg", testing_support::jpegBytes(), "image/jpeg"},
      {"/image.gif", testing_support::gifBytes(), "image/gif"},
      {"/image.webp", testing_support::webpBytes(), "image/webp"},
      {"/images/a/b.png?x=1", testing_support::pngBytes(), "image/png"},
      {"/pic.jpg?w=100", testing_support::jpegBytes(), "image/jpeg"},
      {"/redirect?to=/image.gif", testing_support::gifBytes(), "image/gif"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Outcome outcome = fetch(session, server.url(row.path));
    ASSERT_TRUE(outcome.body.has_value());
    EXPECT_EQ(outcome.body->view(), row.bytes);
    EXPECT_FALSE(outcome.error.has_value());
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_EQ(outcome.response->statusCode, 200);
    EXPECT_EQ(outcome.response->mimeType, row.mimeType);
    EXPECT_EQ(outcome.response->expectedContentLength, static_cast<long long>(row.bytes.size()));
  }
}

TEST(URLSessionSuccessTest, ReportsTheAddressAfterRedirects) {
  TestServer server;
  URLSession session(quickConfiguration());
  Outcome outcome = fetch(session, server.url("/redirect?to=/pic.jpg"));
  ASSERT_TRUE(outcome.response.has_value());
  EXPECT_EQ(outcome.response->url, server.url("/pic.jpg"));
}

TEST(URLSessionSuccessTest, BodyOfARedirectIsNotPartOfTheResult) {
  TestServer server([](httplib::Server& s) {
    s.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.status = 301;
      res.set_header("Location", "/image.png");
      res.set_content("<html>moved</html>", "text/html");
    });
  });
  URLSession session(quickConfiguration());
  Outcome outcome = fetch(session, server.url("/moved"));
  ASSERT_TRUE(outcome.body.has_value());
  EXPECT_EQ(outcome.body->view(), testing_support::pngBytes());
}

TEST(URLSessionSuccessTest, ZeroByteBodyIsPresentAndEmpty) {
  TestServer server;
  URLSession session(quickConfiguration());
  Outcome outcome = fetch(session, server.url("/empty"));
  ASSERT_TRUE(outcome.body.has_value());
  EXPECT_TRUE(outcome.body->empty());
  EXPECT_FALSE(outcome.error.has_value());
}

TEST(URLSessionSuccessTest, ErrorStatusStillDeliversItsBody) {
  TestServer server;
  URLSession session(quickConfiguration());
  for (long status : {404L, 500L}) {
    SCOPED_TRACE(status);
    Outcome outcome = fetch(session, server.url("/status/" + std::to_string(status)));
    ASSERT_TRUE(outcome.body.has_value());
    EXPECT_NE(outcome.body->view().find(std::to_string(status)), std::string_view::npos);
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_EQ(outcome.response->statusCode, status);
    EXPECT_EQ(outcome.response->mimeType, "text/html");
    EXPECT_FALSE(outcome.error.has_value());
  }
}

TEST(URLSessionSuccessTest, BodyExactlyAtTheCapIsDelivered) {
  TestServer server;
  URLSessionConfiguration configuration = quickConfiguration();
  configuration.maximumBodyBytes = testing_support::pngBytes().size();
  URLSession atCap(configuration);
  EXPECT_TRUE(fetch(atCap, server.url("/image.png")).body.has_value());

  configuration.maximumBodyBytes -= 1;
  URLSession belowCap(configuration);
  Outcome outcome = fetch(belowCap, server.url("/image.png"));
  EXPECT_FALSE(outcome.body.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, NSURLErrorDataLengthExceedsMaximum);
}

TEST(URLSessionSuccessTest, ReusesTheConnectionForTheNextTask) {
  TestServer server([](httplib::Server& s) {
    s.Get("/peer", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(std::to_string(req.remote_port), "text/plain");
    });
  });
  URLSession session(quickConfiguration());
  Outcome first = fetch(session, server.url("/peer"));
  Outcome second = fetch(session, server.url("/peer"));
  ASSERT_TRUE(first.body && second.body);
  EXPECT_EQ(first.body->view(), second.body->view());
}

// ---- Transfers that fail: no body, and an error saying why --------------------------------

TEST(URLSessionFailureTest, FailedTransferHasNoBodyAndAFittingError) {
  TestServer server;
  testing_support::TempDir temp;
  testing_support::writeFile(temp.file("secret"), "local file content");
  URLSession session(quickConfiguration());
  struct Row {
    std::string url;
    long code;
  };
  const Row rows[] = {
      {server.url("/reset"), NSURLErrorNetworkConnectionLost},
      {server.url("/big"), NSURLErrorDataLengthExceedsMaximum},
      {server.url("/big-declared"), NSURLErrorDataLengthExceedsMaximum},
      {server.url("/redirect?to=file://" + temp.file("secret")), NSURLErrorUnsupportedURL},
      {server.url("/redirect-loop"), NSURLErrorHTTPTooManyRedirects},
      {server.url("/never"), NSURLErrorTimedOut},
      {"http://127.0.0.1:" + std::to_string(closedPort()) + "/image.png",
       NSURLErrorCannotConnectToHost},
      {"file:///etc/hostname", NSURLErrorUnsupportedURL},
      {"ftp://127.0.0.1/", NSURLErrorUnsupportedURL},
      {"image.png", NSURLErrorUnsupportedURL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    Outcome outcome = fetch(session, row.url);
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain, NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code, row.code) << outcome.error->description;
    EXPECT_FALSE(outcome.error->description.empty());
  }
}

TEST(URLSessionFailureTest, CapHoldsWithTheDefaultConfiguration) {
  TestServer server;
  URLSession session(URLSessionConfiguration::defaultConfiguration());
  for (const char* path : {"/big", "/big-declared"}) {
    SCOPED_TRACE(path);
    Outcome outcome = fetch(session, server.url(path));
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, NSURLErrorDataLengthExceedsMaximum);
  }
}

// ---- Threads, counting and cancellation -------------------------------------------------

TEST(URLSessionThreadTest, CompletionRunsOnceAndNeverOnTheCallingThread) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  session.dataTask(urlOf(server.url("/image.png")), recorder.handler())->resume();
  // A failure decided before any network work must not run inline either.
  session.dataTask(urlOf("ftp://127.0.0.1/"), recorder.handler())->resume();
  ASSERT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(2);
  ASSERT_EQ(outcomes.size(), 2u);
  for (const Outcome& outcome : outcomes) EXPECT_NE(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.count(), 2u);
}

TEST(URLSessionThreadTest, ResumingTwiceStartsOneTransfer) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  Strong<URLSessionDataTask> task =
      session.dataTask(urlOf(server.url("/image.png")), recorder.handler());
  task->resume();
  task->resume();
  ASSERT_TRUE(session.waitUntilIdle(deadline()));
  EXPECT_EQ(recorder.count(), 1u);
  EXPECT_EQ(server.hits("/image.png"), 1);
}

TEST(URLSessionThreadTest, ManyConcurrentTasksEachCompleteOnce) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  constexpr int kTasks = 200;
  for (int i = 0; i < kTasks; ++i) {
    const std::string tag = std::to_string(i);
    session.dataTask(urlOf(server.url("/image.png?i=" + tag)), recorder.handler(tag))->resume();
  }
  ASSERT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(kTasks);
  ASSERT_EQ(outcomes.size(), static_cast<std::size_t>(kTasks));
  std::map<std::string, int> seen;
  for (const Outcome& outcome : outcomes) {
    ++seen[outcome.tag];
    ASSERT_TRUE(outcome.body.has_value()) << outcome.tag;
    EXPECT_EQ(outcome.body->view(), testing_support::pngBytes());
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kTasks));
}

TEST(URLSessionThreadTest, SlowAnswerCompletesOnlyAfterTheServerAnswers) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  session.dataTask(urlOf(server.url("/gate/slow")), recorder.handler())->resume();
  ASSERT_TRUE(server.waitForGateArrivals("slow", 1));
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_EQ(session.outstandingTasks(), 1u);
  EXPECT_FALSE(session.waitUntilIdle(std::chrono::steady_clock::now()));
  server.openGate("slow");
  std::vector<Outcome> outcomes = recorder.waitFor(1);
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_TRUE(outcomes[0].body.has_value());
  EXPECT_EQ(outcomes[0].body->view(), testing_support::pngBytes());
}

TEST(URLSessionThreadTest, TaskCountsUntilItsCompletionHasReturned) {
  TestServer server;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  URLSession session(quickConfiguration());
  session
      .dataTask(urlOf(server.url("/image.png")),
                [&entered, released](std::optional<Data>, std::optional<HTTPURLResponse>,
                                     std::optional<NSError>) {
                  entered.set_value();
                  released.wait();
                })
      ->resume();
  entered.get_future().wait();
  EXPECT_EQ(session.outstandingTasks(), 1u);
  EXPECT_FALSE(session.waitUntilIdle(std::chrono::steady_clock::now()));
  release.set_value();
  EXPECT_TRUE(session.waitUntilIdle(deadline()));
  EXPECT_EQ(session.outstandingTasks(), 0u);
}

TEST(URLSessionThreadTest, CompletionMayStartATaskOnItsOwnSession) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  const URL second = urlOf(server.url("/image.gif"));
  session
      .dataTask(urlOf(server.url("/image.png")),
                [&](std::optional<Data>, std::optional<HTTPURLResponse>, std::optional<NSError>) {
                  session.dataTask(second, recorder.handler("second"))->resume();
                })
      ->resume();
  std::vector<Outcome> outcomes = recorder.waitFor(1);
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_TRUE(outcomes[0].body.has_value());
  EXPECT_EQ(outcomes[0].body->view(), testing_support::gifBytes());
  EXPECT_TRUE(session.waitUntilIdle(deadline()));
}

TEST(URLSessionCancelTest, InvalidateCancelsABlockedTransferOnceAndRefusesLaterTasks) {
  TestServer server;
  Recorder recorder;
  URLSession session(quickConfiguration());
  session.dataTask(urlOf(server.url("/gate/held")), recorder.handler("held"))->resume();
  ASSERT_TRUE(server.waitForGateArrivals("held", 1));
  session.invalidateAndCancel();
  session.dataTask(urlOf(server.url("/image.png")), recorder.handler("late"))->resume();
  ASSERT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(2);
  ASSERT_EQ(outcomes.size(), 2u);
  for (const Outcome& outcome : outcomes) {
    SCOPED_TRACE(outcome.tag);
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, NSURLErrorCancelled);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(server.hits("/image.png"), 0);
}

TEST(URLSessionCancelTest, DestroyedSessionCompletesEveryOutstandingTaskOnce) {
  TestServer server;
  Recorder recorder;
  URLSessionConfiguration configuration = quickConfiguration();
  configuration.timeoutIntervalForRequest = std::chrono::seconds(60);
  configuration.httpMaximumConnectionsPerHost = 3;
  auto session = std::make_unique<URLSession>(configuration);
  // Three reach the server and wait there; the other five wait in the session's queue.
  constexpr int kTasks = 8;
  for (int i = 0; i < kTasks; ++i) {
    const std::string tag = std::to_string(i);
    session->dataTask(urlOf(server.url("/gate/closed")), recorder.handler(tag))->resume();
  }
  ASSERT_TRUE(server.waitForGateArrivals("closed", 3));
  session.reset();
  EXPECT_EQ(recorder.count(), static_cast<std::size_t>(kTasks));
  std::map<std::string, int> seen;
  for (const Outcome& outcome : recorder.waitFor(kTasks)) {
    ++seen[outcome.tag];
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, NSURLErrorCancelled);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kTasks));
}

TEST(URLSessionSharedTest, SharedSessionIsOneWorkingSession) {
  TestServer server;
  URLSession& shared = URLSession::sharedSession();
  EXPECT_EQ(&shared, &URLSession::sharedSession());
  EXPECT_EQ(shared.configuration().maximumBodyBytes, 16u * 1024u * 1024u);
  Outcome outcome = fetch(shared, server.url("/image.webp"));
  ASSERT_TRUE(outcome.body.has_value());
  EXPECT_EQ(outcome.body->view(), testing_support::webpBytes());
}

}  // namespace
