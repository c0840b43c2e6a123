// One connection's session as providers meet it: a token connection's one stream until its
// first valid token, and the log of each push under its apns-id.
#include <gtest/gtest.h>

#include <thread>

#include "System/os_log.hpp"
#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/H2Client.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/LogCapture.hpp"

namespace host::gateway::testing {
namespace {

const std::string kBody = R"({"aps":{"alert":"hi"}})";

TEST(SessionTest, ATokenConnectionGetsMoreStreamsOnceItsTokenHolds) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  options.limits.concurrentStreams = 50;
  GatewayRun gateway(std::move(options), sink, state.path());
  std::unique_ptr<H2Client> client = H2Client::connect(gateway.client());
  ASSERT_TRUE(client);
  const H2Response& refused =
      client->awaitResponse(client->push(gateway.deviceToken(), kBody, {{"apns-topic", kTopic}}));
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(client->remoteMaxStreams(), 1u);
  const std::string authorization = "bearer " + credentials.token(nowSeconds());
  const H2Response& taken = client->awaitResponse(client->push(
      gateway.deviceToken(), kBody, {{"apns-topic", kTopic}, {"authorization", authorization}}));
  EXPECT_EQ(taken.status, 200);
  EXPECT_TRUE(client->pumpUntil([&] { return client->remoteMaxStreams() == 50u; }));
}

TEST(SessionTest, LogsEachPushUnderItsApnsId) {
  testing_support::TempDir state;
  RecordingSink sink;
  testing_support::LogCapture log(OS_LOG_TYPE_DEBUG);
  {
    GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
    std::unique_ptr<H2Client> client = H2Client::connect(gateway.client());
    ASSERT_TRUE(client);
    const std::string id = "7a6b5c4d-0000-4000-8000-00000000abcd";
    EXPECT_EQ(
        client->awaitResponse(client->push(gateway.deviceToken(), kBody, {{"apns-id", id}})).status,
        200);
    EXPECT_EQ(
        client->awaitResponse(client->push(gateway.deviceToken(), kBody, {{"apns-priority", "7"}}))
            .status,
        400);
    // The gateway closes first, and the client reads to its end.
    std::thread stopper([&] { gateway.stop(); });
    EXPECT_TRUE(client->pumpUntil([&] { return client->closed(); }));
    stopper.join();
  }
  std::vector<nlohmann::ordered_json> pushes, takes, closes;
  for (auto& event : log.events()) {
    if (event["event"] == "push") pushes.push_back(event);
    if (event["event"] == "sink.take") takes.push_back(event);
    if (event["event"] == "connection.closed") closes.push_back(event);
  }
  ASSERT_EQ(pushes.size(), 2u) << log.text();
  EXPECT_EQ(pushes[0]["id"], "7a6b5c4d-0000-4000-8000-00000000abcd");
  EXPECT_EQ(pushes[0]["apnsId"], pushes[0]["id"]);
  EXPECT_EQ(pushes[0]["status"], 200);
  EXPECT_EQ(pushes[0]["reason"], nullptr);
  EXPECT_EQ(pushes[0]["pushType"], "alert");
  EXPECT_EQ(pushes[0]["topic"], kTopic);
  EXPECT_EQ(pushes[0]["authentication"], "none");
  EXPECT_TRUE(pushes[0]["ms"].is_number());
  EXPECT_EQ(pushes[1]["status"], 400);
  EXPECT_EQ(pushes[1]["reason"], "BadPriority");
  EXPECT_EQ(pushes[1]["topic"], nullptr);
  EXPECT_EQ(pushes[1]["id"], pushes[1]["apnsId"]);
  // What the sink logs while it takes the push carries the push's id too.
  ASSERT_EQ(takes.size(), 1u);
  EXPECT_EQ(takes[0]["id"], pushes[0]["id"]);
  ASSERT_EQ(closes.size(), 1u) << log.text();
  EXPECT_EQ(closes[0]["alpn"], "h2");
  EXPECT_EQ(closes[0]["tls"], "TLSv1.3");
  EXPECT_EQ(closes[0]["streams"], 2);
  EXPECT_EQ(closes[0]["reason"], "the gateway stopped");
}

}  // namespace
}  // namespace host::gateway::testing
