// The stop while pushes arrive: nothing the sink took goes unanswered or answered otherwise
// than 200, every stream received before the stop is answered, and clients are told
// GOAWAY {"reason":"Shutdown"}.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/H2Client.hpp"
#include "tests/host/gateway/TestCredentials.hpp"

namespace host::gateway::testing {
namespace {

const std::string kBody = R"({"aps":{"alert":"before the stop"}})";
const std::vector<std::pair<std::string, std::string>> kTopicHeader = {{"apns-topic", kTopic}};

TEST(StopTest, AnswersWhatItReceivedAndSaysShutdown) {
  testing_support::TempDir state;
  RecordingSink sink;
  GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
  std::unique_ptr<H2Client> client = H2Client::connect(gateway.client());
  std::unique_ptr<H2Client> idle = H2Client::connect(gateway.client());
  ASSERT_TRUE(client && idle);
  // The idle connection has had an answer, so the gateway is past its handshake with it.
  const H2Response& idleAnswer =
      idle->awaitResponse(idle->push(gateway.deviceToken(), kBody, kTopicHeader));
  EXPECT_EQ(idleAnswer.status, 200);
  const auto idleId = idleAnswer.headers.find("apns-id");
  ASSERT_NE(idleId, idleAnswer.headers.end());
  // Two requests whose bodies have not ended, then eight whole ones.
  std::vector<std::int32_t> unfinished, whole;
  for (int i = 0; i < 2; ++i)
    unfinished.push_back(client->push(gateway.deviceToken(), "{", kTopicHeader, false));
  for (int i = 0; i < 8; ++i)
    whole.push_back(client->push(gateway.deviceToken(), kBody, kTopicHeader));
  ASSERT_TRUE(sink.waitForTaken(9));

  std::thread stopper([&] { gateway.stop(); });
  EXPECT_TRUE(client->pumpUntil([&] { return client->closed(); }));
  EXPECT_TRUE(idle->pumpUntil([&] { return idle->closed(); }));
  stopper.join();

  for (H2Client* c : {client.get(), idle.get()}) {
    EXPECT_TRUE(c->goawayReceived());
    EXPECT_EQ(c->goawayCode(), 0u);
    EXPECT_EQ(c->goawayData(), R"({"reason":"Shutdown"})");
  }
  std::set<std::string> answered200 = {idleId->second};
  for (std::int32_t id : whole) {
    H2Response& response = client->responses()[id];
    EXPECT_EQ(response.status, 200) << "stream " << id;
    answered200.insert(response.headers["apns-id"]);
  }
  for (std::int32_t id : unfinished) {
    const H2Response& response = client->responses()[id];
    EXPECT_EQ(response.status, 503) << "stream " << id;
    EXPECT_EQ(response.body, R"({"reason":"Shutdown"})");
  }
  std::set<std::string> taken;
  for (const Push& push : sink.taken()) taken.insert(push.apnsId);
  EXPECT_EQ(taken, answered200);
  // The listening socket is gone with the stop.
  EXPECT_FALSE(H2Client::connect(gateway.client()));
}

TEST(StopTest, NothingTakenIsLostWhilePushesStream) {
  testing_support::TempDir state;
  RecordingSink sink;
  GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
  std::unique_ptr<H2Client> client = H2Client::connect(gateway.client());
  ASSERT_TRUE(client);
  std::atomic<bool> sending{true};
  std::vector<std::int32_t> sent;
  // The provider streams pushes, a few in flight at a time, until the gateway goes away.
  std::thread provider([&] {
    while (!client->closed() && !client->goawayReceived()) {
      for (int i = 0; i < 8; ++i)
        sent.push_back(client->push(gateway.deviceToken(), kBody, kTopicHeader));
      client->pumpAvailable();
    }
    client->pumpUntil([&] { return client->closed(); });
    sending = false;
  });
  ASSERT_TRUE(sink.waitForTaken(200));
  gateway.stop();
  provider.join();
  EXPECT_FALSE(sending);

  std::set<std::string> answered200;
  std::size_t received = 0;
  for (std::int32_t id : sent) {
    H2Response& response = client->responses()[id];
    if (id <= client->goawayLastStream()) {
      ++received;
      EXPECT_NE(response.status, 0) << "stream " << id << " was received and not answered";
    } else {
      EXPECT_EQ(response.status, 0) << "stream " << id << " came after the stop";
    }
    if (response.status == 200) answered200.insert(response.headers["apns-id"]);
  }
  std::set<std::string> taken;
  for (const Push& push : sink.taken()) taken.insert(push.apnsId);
  EXPECT_EQ(taken, answered200);
  EXPECT_GE(received, 200u);
  EXPECT_EQ(client->goawayData(), R"({"reason":"Shutdown"})");
}

}  // namespace
}  // namespace host::gateway::testing
