// Thousands of mixed requests on standard input in one process against the loopback server:
// every request is shown exactly once, and the process's descriptors stay bounded (the URL
// session caps its connections and queues the rest); a stream far ahead of what is shown is
// read only as requests are shown. Memory is measured in bench/.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

// The sanitizer builds run every process several times slower: they send fewer requests.
constexpr int kRequests = HALVICOURT_SANITIZED ? 1000 : 5000;

TEST(LoadTest, ThousandsOfMixedRequestsAreEachShownOnceWithBoundedDescriptors) {
  TestServer server;
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
  // With the log on, at its most verbose: its events come from every thread at once.
  ExtensionProcess process({.args = {"--time-limit", "10", "--log", "debug"}, .input = input});
  // Sampled as the lines arrive, while the process works through the requests.
  const std::string fds = "/proc/" + std::to_string(process.pid()) + "/fd";
  std::size_t descriptors = 0;
  do {
    descriptors = std::max(descriptors, listDirectory(fds).size());
  } while (process.readLine());
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, ids);
  // Far above what the process needs (the session opens at most 64 connections); far below
  // one descriptor per request.
  EXPECT_TRUE(descriptors > 0 && descriptors <= 256) << descriptors << " descriptors";
}

// Both streams on one pipe (2>&1): an output line longer than the pipe holds goes in pieces
// as the reader drains it, and the log's lines, written meanwhile from other threads, wait
// for its end.
TEST(LoadTest, LinesLongerThanThePipeStayWholeWithTheLogOnTheSamePipe) {
  TestServer server;
  std::string input;
  for (int i = 0; i < 200; ++i) {
    json p = payload(server.url("/images/r" + std::to_string(i) + ".png"));
    p["padding"] = std::string(100 * 1024, 'x');
    input += requestLine("r" + std::to_string(i), p);
  }
  const Outcome outcome = runExtension({.args = {"--log", "debug"},
                                        .input = input,
                                        .wrapper = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"}});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_GT(outcome.lines.size(), 200u);
  EXPECT_EQ(outcome.events.size(), outcome.lines.size()) << "a line is not whole";
}

// The host holds at most 4,096 requests under way; the request after them is taken only once
// one has been shown, from standard input as from more payload files than that. Here none is
// shown before its time runs out (no image address, so the extension delivers at expiry), so
// that request comes after a shown one in the log.
TEST(LoadTest, InputFarAheadWaitsForRequestsToBeShown) {
  constexpr int kUnderWay = 4096;
  TempDir files;
  testing_support::Run lines{.args = {"--time-limit", "1", "--log", "info"}};
  testing_support::Run named{.args = lines.args, .workingDirectory = files.path()};
  std::vector<std::string> ids;
  for (int i = 0; i < kUnderWay + 2; ++i) {
    ids.push_back("r" + std::to_string(i));
    lines.input += requestLine(ids.back(), payload(std::nullopt));
    writeFile(files.file(ids.back()), payload(std::nullopt).dump());
    named.args.push_back(ids.back());
  }
  for (const testing_support::Run* run : {&lines, &named}) {
    SCOPED_TRACE(run == &lines ? "standard input" : "payload files");
    const Outcome outcome = runExtension(*run);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText.substr(0, 2000);
    expectEachShownOnce(outcome, ids);
    std::istringstream log(outcome.stderrText);
    std::string line;
    bool shownBefore = false;
    while (std::getline(log, line)) {
      const json e = json::parse(line, nullptr, false);
      if (e.is_discarded()) continue;
      if (e.value("event", "") == "shown") shownBefore = true;
      if (e.value("event", "") == "request" && e.value("id", "") == ids[kUnderWay]) break;
    }
    EXPECT_TRUE(shownBefore) << ids[kUnderWay] << " was taken before any request was shown";
  }
}

}  // namespace
