// Thousands of mixed requests on standard input in one process against the loopback server:
// every request is shown exactly once, and the process's descriptors and memory stay
// bounded (the URL session caps its connections and queues the rest).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/robustness/ExtensionRun.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace robustness {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::ChildOptions;
using testing_support::ChildProcess;
using testing_support::TempDir;
using testing_support::TestServer;

// The sanitizer builds run every process several times slower and several times larger:
// they get fewer requests and no memory bound, and keep the exactly-once check.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kRequests = kSanitized ? 1000 : 5000;
// Far above what the process needs (the session opens at most 64 connections); far below
// one descriptor per request.
constexpr long kMaximumDescriptors = 256;
constexpr long kMaximumResidentKiB = 256 * 1024;

long descriptorCount(pid_t pid) {
  std::error_code ec;
  long count = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

// VmHWM: the most memory the process has held resident so far; 0 once it is gone.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

TEST(LoadTest, ThousandsOfMixedRequestsAreEachShownOnceWithBoundedResources) {
  TestServer server;
  TempDir home;
  std::string input;
  std::vector<std::string> ids;
  for (int i = 0; i < kRequests; ++i) {
    const std::string id = "r" + std::to_string(i);
    json payload;
    switch (i % 6) {
      case 0:
      case 1:  // a different image each
        payload = mutablePayload(server.url("/images/" + std::to_string(i) + ".png"));
        break;
      case 2:  // one image that many requests share
        payload = mutablePayload(server.url("/image.jpg"));
        break;
      case 3:  // no image: shown at the time limit
        payload = mutablePayload(std::nullopt);
        break;
      case 4:  // a failing download
        payload = mutablePayload(server.url(i % 12 == 4 ? "/status/404" : "/reset"));
        break;
      default:  // shown at once as it arrived
        payload = {{"aps", {{"alert", "plain"}}}, {"image", server.url("/image.png")}};
        break;
    }
    input += requestLine(id, payload);
    ids.push_back(id);
  }

  ChildOptions options;
  options.argv = {executablePath(), "--time-limit", "10"};
  options.environment = {{"XDG_CACHE_HOME", home.path()}};
  options.stdinMode = ChildOptions::Stdin::kText;
  options.stdinText = std::move(input);
  ChildProcess child(std::move(options));
  ASSERT_TRUE(child.started()) << child.startError();

  // Sampled as the lines arrive, while the process works through the requests.
  Outcome outcome;
  long descriptors = 0;
  long resident = 0;
  std::vector<pid_t> pids;
  for (;;) {
    if (pids.empty()) pids = childrenNamed("HalvicourtNotificationService");
    for (pid_t pid : pids) {
      descriptors = std::max(descriptors, descriptorCount(pid));
      resident = std::max(resident, peakResidentKiB(pid));
    }
    std::optional<std::string> line = child.readLine(std::chrono::seconds(120));
    if (!line) break;
    outcome.lines.push_back(*line);
    json event = json::parse(*line, nullptr, false);
    if (event.is_object()) outcome.events.push_back(std::move(event));
  }
  EXPECT_FALSE(child.timedOut());
  outcome.status = child.wait(std::chrono::seconds(120));
  outcome.stderrText = child.stderrText();

  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectNoSanitizerReport(outcome.stderrText);
  expectEachShownExactlyOnce(outcome, ids);
  int attached = 0;
  for (const std::string& id : ids) {
    const json shown = shownEvent(outcome, id);
    if (shown.is_object() && !shown["content"]["attachments"].empty()) ++attached;
  }
  EXPECT_FALSE(pids.empty()) << "the process was never seen";
  EXPECT_GT(descriptors, 0);
  EXPECT_LE(descriptors, kMaximumDescriptors);
  if (!kSanitized) {
    EXPECT_LE(resident, kMaximumResidentKiB);
  }
  std::printf(
      "[ figures  ] %d requests, %d shown with an image, peak %ld descriptors, "
      "peak resident %ld KiB\n",
      kRequests, attached, descriptors, resident);
  RecordProperty("requests", kRequests);
  RecordProperty("attached", attached);
  RecordProperty("peakDescriptors", static_cast<int>(descriptors));
  RecordProperty("peakResidentKiB", static_cast<int>(resident));
}

}  // namespace
}  // namespace robustness
