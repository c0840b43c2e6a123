// Thousands of mixed requests on standard input in one process against the loopback server:
// every request is shown exactly once, and the process's descriptors and memory stay
// bounded (the URL session caps its connections and queues the rest).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

// The sanitizer builds run every process several times slower and larger: they send fewer
// requests and bound no memory, and keep the exactly-once check.
constexpr int kRequests = HALVICOURT_SANITIZED ? 1000 : 5000;

long descriptorCount(pid_t pid) {
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  auto entries = std::filesystem::directory_iterator(fds, ec);
  return ec ? 0 : std::distance(begin(entries), end(entries));
}

// VmHWM: the most memory the process has held resident so far; 0 once it is gone.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

TEST(LoadTest, ThousandsOfMixedRequestsAreEachShownOnceWithBoundedResources) {
  TestServer server;
  TempDir home;
  const json kinds[] = {
      json(),                                    // an image of its own
      payload(server.url("/pic.jpg")),           // one image that many requests share
      payload(std::nullopt),                     // no image: shown at the time limit
      payload(server.url("/status/404")),        // failing downloads
      payload(server.url("/reset")),             //
      payload(server.url("/image.png"), false),  // shown at once as it arrived
  };
  std::string input;
  std::vector<std::string> ids;
  for (int i = 0; i < kRequests; ++i) {
    ids.push_back("r" + std::to_string(i));
    const json& kind = kinds[i % 6];
    input += requestLine(
        ids.back(), kind.is_null() ? payload(server.url("/images/" + ids.back() + ".png")) : kind);
  }
  ExtensionProcess process(
      {.args = {"--time-limit", "10"}, .input = input, .cacheHome = home.path()});
  // Sampled as the lines arrive, while the process works through the requests.
  long descriptors = 0;
  long resident = 0;
  do {
    descriptors = std::max(descriptors, descriptorCount(process.pid()));
    resident = std::max(resident, peakResidentKiB(process.pid()));
  } while (process.readLine());
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, ids);
  // Far above what the process needs (the session opens at most 64 connections); far below
  // one descriptor per request.
  EXPECT_TRUE(descriptors > 0 && descriptors <= 256) << descriptors << " descriptors";
  EXPECT_TRUE(HALVICOURT_SANITIZED || resident <= 256 * 1024) << resident << " KiB";
  std::printf("[ figures  ] %d requests, peak %ld descriptors, peak resident %ld KiB\n", kRequests,
              descriptors, resident);
}

}  // namespace
