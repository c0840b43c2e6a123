// @parse/node-apn, the provider library, against the gateway with a clock of the test's: a
// token node-apn made a moment ago is, to the gateway, two hours old. Its pushes with a
// token and with a certificate, shown, are the host's end-to-end tests (EndpointTest).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ChildProcess.hpp"

namespace host::gateway::testing {
namespace {

using nlohmann::json;

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

TEST(NodeApnTest, AnExpiredProviderTokenIsRefused) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  // The gateway's clock two hours ahead: node-apn's fresh token is, to it, two hours old.
  options.clock = [] { return nowSeconds() + 2 * 3600; };
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

}  // namespace
}  // namespace host::gateway::testing
