#include "Foundation/URLSession.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.hpp"
#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::pngBytes;
using testing_support::TestServer;

// A safety net only: every wait below ends on an event long before this.
std::chrono::steady_clock::time_point deadline() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(60);
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
  // The outcomes once there are at least `count`, or what arrived before the deadline.
  std::vector<Outcome> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, deadline(), [&] { return outcomes_.size() >= count; });
    return outcomes_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Outcome> outcomes_;
};

URL urlOf(const std::string& text) {
  std::optional<URL> url = URL::fromString(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(URL::fileURLWithPath("/nonexistent"));
}

// One task, resumed twice, to its end: it must complete exactly once, and never on the
// calling thread, even when it fails before any network work. Nor before the first resume()
// has returned: the platform thread resumes a task inside its request message and carries on
// with that message afterwards, so a completion that resume() ran or waited for would wait
// here in vain.
Outcome fetch(URLSession& session, const std::string& url) {
  Recorder recorder;
  URLSessionCompletionHandler record = recorder.handler();
  std::promise<void> resumed;
  objc::Strong<URLSessionDataTask> task = session.dataTask(
      urlOf(url), [&record, returned = resumed.get_future().share()](auto... result) {
        EXPECT_EQ(returned.wait_until(deadline()), std::future_status::ready);
        record(std::move(result)...);
      });
  task->resume();
  resumed.set_value();
  task->resume();
  EXPECT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(1);
  EXPECT_EQ(outcomes.size(), 1u) << url;
  if (outcomes.empty()) return Outcome{};
  EXPECT_NE(outcomes[0].thread, std::this_thread::get_id());
  return outcomes[0];
}

// A connection that stalls fails in seconds, not after the default minute.
const URLSessionConfiguration kQuick{.timeoutIntervalForRequest = std::chrono::seconds(2)};

TEST(URLSessionTest, DeliversTheBodyWhateverTheStatus) {
  TestServer server;
  URLSession session(kQuick);
  struct Row {
    std::string path;
    std::string bytes;
    long status;
    const char* mimeType;
    std::string finalPath;
  } const rows[] = {
      {"/image.png", pngBytes(), 200, "image/png", "/image.png"},
      {"/pic.jpg?w=100", testing_support::jpegBytes(), 200, "image/jpeg", "/pic.jpg?w=100"},
      {"/redirect?to=/image.gif", testing_support::gifBytes(), 200, "image/gif", "/image.gif"},
      {"/empty", "", 200, "image/png", "/empty"},  // present and empty, not absent
      {"/status/404", "<html><body><h1>404</h1></body></html>", 404, "text/html", "/status/404"},
      // Asked for and decoded, as the platform's session does.
      {"/deflate.png", pngBytes(), 200, "image/png", "/deflate.png"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Outcome outcome = fetch(session, server.url(row.path));
    EXPECT_FALSE(outcome.error.has_value()) << outcome.error->description;
    ASSERT_TRUE(outcome.body.has_value());
    EXPECT_EQ(outcome.body->view(), row.bytes);
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_EQ(outcome.response->statusCode, row.status);
    EXPECT_EQ(outcome.response->mimeType, row.mimeType);
    EXPECT_EQ(outcome.response->url, server.url(row.finalPath));
    if (row.path != "/deflate.png") {
      EXPECT_EQ(outcome.response->expectedContentLength, static_cast<long long>(row.bytes.size()));
    }
  }
}

TEST(URLSessionTest, FailedTransferHasNoBodyAndAnErrorSayingWhy) {
  TestServer server;
  testing_support::TempDir temp;
  testing_support::writeFile(temp.file("secret"), "local file content");
  URLSessionConfiguration atPng = kQuick;
  atPng.maximumBodyBytes = pngBytes().size() - 1;
  // Only its deadline can end a trickle: the idle time-out stays at its minute.
  const URLSessionConfiguration deadline{.timeoutIntervalForResource = std::chrono::seconds(1)};
  URLSession session(kQuick);
  URLSession belowCap(atPng);
  URLSession withDeadline(deadline);
  struct Row {
    URLSession& session;
    std::string url;
    long code;
  } const rows[] = {
      {session, server.url("/reset"), NSURLErrorNetworkConnectionLost},
      // Over the default cap, whether the length is declared or not.
      {session, server.url("/big"), NSURLErrorDataLengthExceedsMaximum},
      {session, server.url("/big-declared"), NSURLErrorDataLengthExceedsMaximum},
      {belowCap, server.url("/image.png"), NSURLErrorDataLengthExceedsMaximum},
      {session, server.url("/redirect?to=file://" + temp.file("secret")), NSURLErrorUnsupportedURL},
      {session, server.url("/redirect-loop"), NSURLErrorHTTPTooManyRedirects},
      {session, server.url("/gate/never"), NSURLErrorTimedOut},
      {withDeadline, server.url("/trickle"), NSURLErrorTimedOut},
      {session, "file:///etc/hostname", NSURLErrorUnsupportedURL},
      {session, "ftp://127.0.0.1/", NSURLErrorUnsupportedURL},
      {session, "image.png", NSURLErrorUnsupportedURL},
      // No host: libcurl would take the server from the path.
      {session, "http:///" + server.url("/nohost.png").substr(7), NSURLErrorUnsupportedURL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    Outcome outcome = fetch(row.session, row.url);
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain, NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code, row.code) << outcome.error->description;
    if (row.code == NSURLErrorDataLengthExceedsMaximum) {
      EXPECT_NE(
          outcome.error->description.find(
              " over " + std::to_string(row.session.configuration().maximumBodyBytes) + " bytes"),
          std::string::npos)
          << outcome.error->description;
    }
  }
  EXPECT_EQ(server.hits("/nohost.png"), 0);
  // A body exactly at the cap is still whole.
  atPng.maximumBodyBytes += 1;
  URLSession atCap(atPng);
  EXPECT_TRUE(fetch(atCap, server.url("/image.png")).body.has_value());
}

// The runner waits for idle before it exits: a task must count until its completion has
// returned, also when that completion starts another task on the same session.
TEST(URLSessionTest, CompletionMayStartATaskAndCountsUntilItReturns) {
  TestServer server;
  Recorder recorder;
  std::promise<void> release;
  std::promise<void> entered;
  URLSession session(kQuick);
  const URL second = urlOf(server.url("/image.gif"));
  session
      .dataTask(urlOf(server.url("/image.png")),
                [&, released = release.get_future().share()](
                    std::optional<Data>, std::optional<HTTPURLResponse>, std::optional<NSError>) {
                  session.dataTask(second, recorder.handler("second"))->resume();
                  entered.set_value();
                  released.wait();
                })
      ->resume();
  entered.get_future().wait();
  EXPECT_FALSE(session.waitUntilIdle(std::chrono::steady_clock::now()));
  release.set_value();
  EXPECT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(1);
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_TRUE(outcomes[0].body.has_value());
  EXPECT_EQ(outcomes[0].body->view(), testing_support::gifBytes());
}

// A raw server on a loopback port: each connection it accepts gets the next answer, or is
// closed unanswered when the answer is empty; it counts what it accepted.
class RawServer {
 public:
  explicit RawServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (const std::string& answer : answers_) {
        const int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) return;  // shut down
        ++accepted_;
        if (!answer.empty()) {
          char request[4096];
          [[maybe_unused]] const ssize_t got = read(connection, request, sizeof request);
          [[maybe_unused]] const ssize_t sent = write(connection, answer.data(), answer.size());
        }
        close(connection);
      }
    });
  }
  ~RawServer() {
    shutdown(listener_, SHUT_RDWR);  // ends a wait for a connection that never comes
    thread_.join();
    close(listener_);
  }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_; }

 private:
  std::vector<std::string> answers_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// A connection that dies before any answer (closed at once, as by a server retiring it) does
// not lose its transfer: it is sent again on another. An answer is not sent again, a proxy's
// refusal of the tunnel among them, whose credentials would go out again each time.
TEST(URLSessionTest, OnlyATransferWhoseConnectionDiedUnansweredIsSentAgain) {
  const std::string gif = testing_support::gifBytes();
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(gif.size()) +
                         "\r\nConnection: close\r\n\r\n" + gif;
  const std::string refused =
      "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n";
  struct Row {
    const char* what;
    std::vector<std::string> answers;
    bool viaProxy;
    int connections;
    bool body;
  } const rows[] = {
      {"closed unanswered, then answered", {"", ok}, false, 2, true},
      {"a proxy that refuses the tunnel", {refused, refused}, true, 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RawServer server(row.answers);
    testing_support::ScopedEnvironment environment;
    environment.set("https_proxy", row.viaProxy ? std::optional(server.address()) : std::nullopt);
    environment.set("no_proxy", std::nullopt);
    Recorder recorder;
    URLSession session(URLSessionConfiguration{});
    const std::string url =
        row.viaProxy ? "https://127.0.0.1:1/x.gif" : server.address() + "/x.gif";
    session.dataTask(urlOf(url), recorder.handler())->resume();
    std::vector<Outcome> outcomes = recorder.waitFor(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].body.has_value(), row.body)
        << (outcomes[0].error ? outcomes[0].error->description : "");
    EXPECT_EQ(server.accepted(), row.connections);
  }
}

// A loopback port that nothing listens on, so that connecting to it is refused.
int refusingPort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  close(probe);
  return ntohs(address.sin_port);
}

// The session's log: every transfer's address without its user information, and its
// connection's event before its last word; a refused connection is no connection at all.
TEST(URLSessionTest, TheLogSaysEachTransferWithoutItsPassword) {
  TestServer server;
  const std::string withPassword = "http://me:secret@" + server.url("/image.png").substr(7);
  const std::string refused = "http://127.0.0.1:" + std::to_string(refusingPort()) + "/x.png";
  testing_support::LogCapture capture(OS_LOG_TYPE_DEBUG);
  {
    URLSession session(kQuick);
    EXPECT_TRUE(fetch(session, withPassword).body.has_value());
    EXPECT_FALSE(fetch(session, refused).body.has_value());
  }
  EXPECT_EQ(capture.text().find("secret"), std::string::npos) << capture.text();
  const std::vector<nlohmann::ordered_json> events = capture.events();
  ASSERT_EQ(events.size(), 4u) << capture.text();
  for (const std::size_t i : {std::size_t{0}, std::size_t{2}}) {
    EXPECT_EQ(events[i]["event"], "transfer.connection");
    EXPECT_EQ(events[i + 1]["event"], "transfer");
  }
  EXPECT_EQ(events[1]["url"], "http://<private>@" + server.url("/image.png").substr(7));
  EXPECT_EQ(events[0]["connection"], "new");
  EXPECT_NE(events[0]["localPort"], nullptr);
  EXPECT_EQ(events[2]["connection"], nullptr);
  EXPECT_EQ(events[2]["localPort"], nullptr);
  EXPECT_NE(events[3]["error"], nullptr);
}

// The host gives up on what is still running when its time is over, and a destroyed session
// does the same: every outstanding task, at the server or queued, is cancelled exactly once.
TEST(URLSessionTest, InvalidateCancelsEveryOutstandingTaskOnceAndRefusesLaterOnes) {
  TestServer server;
  Recorder recorder;
  URLSession session(URLSessionConfiguration{.httpMaximumConnectionsPerHost = 3});
  // Three reach the server and wait there; the other five wait in the session's queue.
  for (int i = 0; i < 8; ++i) {
    session.dataTask(urlOf(server.url("/gate/held")), recorder.handler(std::to_string(i)))
        ->resume();
  }
  ASSERT_TRUE(server.waitForGateArrivals("held", 3));
  EXPECT_EQ(session.outstandingTasks(), 8u);
  session.invalidateAndCancel();
  session.dataTask(urlOf(server.url("/image.png")), recorder.handler("late"))->resume();
  ASSERT_TRUE(session.waitUntilIdle(deadline()));
  std::vector<Outcome> outcomes = recorder.waitFor(9);
  std::set<std::string> seen;
  for (const Outcome& outcome : outcomes) {
    SCOPED_TRACE(outcome.tag);
    seen.insert(outcome.tag);
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, NSURLErrorCancelled);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(outcomes.size(), 9u);
  EXPECT_EQ(seen.size(), 9u);
  EXPECT_EQ(server.hits("/image.png"), 0);
}

}  // namespace
