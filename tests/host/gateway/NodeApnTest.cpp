// @parse/node-apn, the provider library, against the gateway with a clock of the test's: a
// token node-apn made a moment ago is, to the gateway, two hours old. Its pushes with a
// token and with a certificate, shown, are the host's end-to-end tests (EndpointTest).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/Providers.hpp"
#include "tests/host/gateway/TestCredentials.hpp"

namespace host::gateway::testing {
namespace {

using nlohmann::json;

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
      gateway.port(), gateway.authorityFile());
  ASSERT_EQ(result["failed"].size(), 1u) << result.dump();
  EXPECT_EQ(result["failed"][0]["status"], 403);
  EXPECT_EQ(result["failed"][0]["reason"], "ExpiredProviderToken");
  EXPECT_TRUE(sink.taken().empty());
}

}  // namespace
}  // namespace host::gateway::testing
