// nghttp2's h2load against the gateway: many pushes on several connections, every one taken
// and answered; then the host's bound, answered 429 past it.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ChildProcess.hpp"

namespace host::gateway::testing {
namespace {

// The sanitizer builds send fewer.
constexpr int kPushes = HALVICOURT_SANITIZED ? 1000 : 5000;

struct Counts {
  int succeeded = -1;
  int status2xx = -1;
  int status4xx = -1;
  std::string printed;
};

Counts h2load(const GatewayRun& gateway, int pushes, const std::string& body) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("payload.json"), body);
  const testing_support::CommandResult run = testing_support::runCommand(
      {"/usr/bin/h2load", "-n", std::to_string(pushes), "-c", "4", "-m", "16", "-d",
       dir.file("payload.json"), "-H", std::string("apns-topic: ") + kTopic, "-H",
       "apns-push-type: alert",
       "https://127.0.0.1:" + std::to_string(gateway.port()) + "/3/device/" +
           gateway.deviceToken()});
  Counts counts;
  counts.printed = run.output;
  std::smatch match;
  if (std::regex_search(
          run.output, match,
          std::regex(R"(requests: \d+ total, \d+ started, \d+ done, (\d+) succeeded)"))) {
    counts.succeeded = std::stoi(match[1]);
  }
  if (std::regex_search(run.output, match,
                        std::regex(R"(status codes: (\d+) 2xx, \d+ 3xx, (\d+) 4xx)"))) {
    counts.status2xx = std::stoi(match[1]);
    counts.status4xx = std::stoi(match[2]);
  }
  EXPECT_EQ(run.status, 0) << run.output;
  return counts;
}

TEST(H2LoadTest, TakesManyPushesOnSeveralConnections) {
  testing_support::TempDir state;
  RecordingSink sink;
  GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
  const Counts counts = h2load(gateway, kPushes, R"({"aps":{"alert":"load"}})");
  EXPECT_EQ(counts.succeeded, kPushes) << counts.printed;
  EXPECT_EQ(counts.status2xx, kPushes) << counts.printed;
  const std::vector<Push> taken = sink.taken();
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kPushes));
  std::set<std::string> ids;
  for (const Push& push : taken) ids.insert(push.apnsId);
  EXPECT_EQ(ids.size(), taken.size()) << "apns-ids made for the pushes must differ";
}

TEST(H2LoadTest, AnswersTooManyRequestsAtTheHostsBound) {
  testing_support::TempDir state;
  RecordingSink sink;
  sink.setBound(300);
  GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
  const Counts counts = h2load(gateway, 1000, R"({"aps":{"alert":"load"}})");
  EXPECT_EQ(counts.status2xx, 300) << counts.printed;
  EXPECT_EQ(counts.status4xx, 700) << counts.printed;
  EXPECT_EQ(sink.taken().size(), 300u);
  EXPECT_EQ(sink.refusedCount(), 700u);
}

}  // namespace
}  // namespace host::gateway::testing
