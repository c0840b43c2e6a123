// @parse/node-apn, the provider library, against the gateway: with a provider token made from
// a P-256 key of the test's, and with a client certificate from a test authority.
#include <gtest/gtest.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ChildProcess.hpp"

namespace host::gateway::testing {
namespace {

using nlohmann::json;

std::int64_t wallSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Runs send.js with `request` (modules and port filled in); its one line of results.
json sendWithNodeApn(json request, const GatewayRun& gateway) {
  request["modules"] = std::string(HALVICOURT_PROVIDER_DIR) + "/node_modules";
  request["port"] = gateway.port();
  request["ca"] = gateway.authorityFile();
  const testing_support::CommandResult run =
      testing_support::runCommand({HALVICOURT_NODE, HALVICOURT_PROVIDER_SCRIPT, request.dump()});
  const std::string line = run.output.substr(run.output.rfind('{', run.output.rfind("\"sent\"")));
  json result = json::parse(line, nullptr, false);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(result.is_object() && result.contains("sent")) << run.output;
  return result.is_object() ? result : json::object();
}

json note(const std::string& deviceToken, const std::string& topic) {
  return {{"deviceToken", deviceToken},
          {"topic", topic},
          {"payload", {{"aps", {{"alert", "From node-apn"}, {"mutable-content", 1}}}}}};
}

TEST(NodeApnTest, SendsWithAProviderToken) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  GatewayRun gateway(std::move(options), sink, state.path());
  json first = note(gateway.deviceToken(), kTopic);
  first["id"] = "6f1c1a9e-3b2d-4c5e-8f70-112233445566";
  first["collapseId"] = "harbour";
  first["priority"] = 5;
  first["expiry"] = 1900000000;
  const json result = sendWithNodeApn(
      {{"token", {{"key", credentials.signingKeyFile()}, {"keyId", kKeyId}, {"teamId", kTeamId}}},
       {"notifications",
        {first, note(gateway.deviceToken(), "com.other.app"), note(std::string(64, 'f'), kTopic)}}},
      gateway);

  ASSERT_EQ(result["sent"].size(), 1u) << result.dump();
  EXPECT_EQ(result["sent"][0]["apnsId"], "6f1c1a9e-3b2d-4c5e-8f70-112233445566");
  ASSERT_EQ(result["failed"].size(), 2u) << result.dump();
  EXPECT_EQ(result["failed"][0]["status"], 400);
  EXPECT_EQ(result["failed"][0]["reason"], "DeviceTokenNotForTopic");
  EXPECT_EQ(result["failed"][1]["status"], 400);
  EXPECT_EQ(result["failed"][1]["reason"], "BadDeviceToken");

  const std::vector<Push> taken = sink.taken();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].apnsId, "6f1c1a9e-3b2d-4c5e-8f70-112233445566");
  EXPECT_EQ(taken[0].authentication, Authentication::token);
  EXPECT_EQ(taken[0].topic, kTopic);
  EXPECT_EQ(taken[0].pushType, "alert");
  EXPECT_EQ(taken[0].priority, 5);
  EXPECT_EQ(taken[0].expiration, 1900000000);
  EXPECT_EQ(taken[0].collapseId, "harbour");
  EXPECT_EQ(json::parse(taken[0].payload), first["payload"]);
  EXPECT_EQ(taken[0].uniqueId.size(), 36u);
}

TEST(NodeApnTest, AnExpiredProviderTokenIsRefused) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  // The gateway's clock two hours ahead: node-apn's fresh token is, to it, two hours old.
  options.clock = [] { return wallSeconds() + 2 * 3600; };
  GatewayRun gateway(std::move(options), sink, state.path());
  const json result = sendWithNodeApn(
      {{"token", {{"key", credentials.signingKeyFile()}, {"keyId", kKeyId}, {"teamId", kTeamId}}},
       {"notifications", {note(gateway.deviceToken(), kTopic)}}},
      gateway);
  ASSERT_EQ(result["failed"].size(), 1u) << result.dump();
  EXPECT_EQ(result["failed"][0]["status"], 403);
  EXPECT_EQ(result["failed"][0]["reason"], "ExpiredProviderToken");
  EXPECT_TRUE(sink.taken().empty());
}

TEST(NodeApnTest, SendsWithAClientCertificate) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.clientAuthorityFile = credentials.clientAuthorityFile();
  GatewayRun gateway(std::move(options), sink, state.path());
  const TestCredentials::ClientCertificate certificate = credentials.clientCertificate(kTopic);
  json voip = note(gateway.deviceToken(), std::string(kTopic) + ".voip");
  voip["pushType"] = "voip";
  const json result = sendWithNodeApn(
      {{"cert", certificate.certificateFile},
       {"key", certificate.keyFile},
       {"notifications",
        {note(gateway.deviceToken(), kTopic), voip, note(gateway.deviceToken(), "com.other.app")}}},
      gateway);
  EXPECT_EQ(result["sent"].size(), 2u) << result.dump();
  ASSERT_EQ(result["failed"].size(), 1u) << result.dump();
  EXPECT_EQ(result["failed"][0]["status"], 400);
  EXPECT_EQ(result["failed"][0]["reason"], "TopicDisallowed");
  const std::vector<Push> taken = sink.taken();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].authentication, Authentication::certificate);
  EXPECT_EQ(taken[1].topic, std::string(kTopic) + ".voip");
  EXPECT_EQ(taken[1].pushType, "voip");
}

}  // namespace
}  // namespace host::gateway::testing
