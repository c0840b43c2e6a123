// curl --http2 against the gateway, for what only a real client on the wire shows: a push goes
// through as sent, a refusal comes back as status, apns-id, content-type and {"reason"} body,
// the connection keeps the provider token of its first request, and a client certificate
// names the topic. Which header gives which reason is the request check's table
// (RequestCheckTest).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/Providers.hpp"
#include "tests/host/gateway/TestCredentials.hpp"

namespace host::gateway::testing {
namespace {

const std::string kPayload =
    R"({"aps":{"alert":"hi","mutable-content":1},"image":"https://x/a.png"})";

TEST(CurlTest, CarriesAPushAndAnswersBadOnes) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  options.clientAuthorityFile = credentials.clientAuthorityFile();
  GatewayRun gateway(std::move(options), sink, state.path());
  const std::int64_t now = nowSeconds();
  const std::string good = "authorization: bearer " + credentials.token(now);
  const std::string topic = std::string("apns-topic: ") + kTopic;
  // `args`, then `body`; pushing: with the token and the app's topic too.
  const auto with = [](std::vector<std::string> args, const std::string& body = kPayload) {
    args.insert(args.end(), {"--data-binary", body});
    return args;
  };
  const auto pushing = [&](std::vector<std::string> extra, const std::string& body = kPayload) {
    extra.insert(extra.begin(), {"-H", good, "-H", topic});
    return with(extra, body);
  };
  const auto using_ = [&](const TestCredentials::ClientCertificate& c) {
    return with({"--cert", c.certificateFile, "--key", c.keyFile});
  };
  const struct Row {
    const char* what;
    int status;          // 0: the handshake fails
    const char* reason;  // "" for 200
    std::vector<std::string> args;
  } rows[] = {
      {"an image push", 200, "", pushing({})},
      {"the certificate's topic, implied", 200, "", using_(credentials.clientCertificate(kTopic))},
      {"priority 3", 400, "BadPriority", pushing({"-H", "apns-priority: 3"})},
      // Both headers reach the check, not only the last one.
      {"two topics", 400, "DuplicateHeaders", pushing({"-H", topic})},
      // The stream ends with its headers: no DATA frame at all.
      {"no body", 400, "PayloadEmpty", {"-H", good, "-H", topic, "-X", "POST"}},
      {"4,097 bytes", 413, "PayloadTooLarge", pushing({}, "{" + std::string(4096, ' '))},
      {"a token signed by another key", 403, "InvalidProviderToken",
       with({"-H", "authorization: bearer " + credentials.tokenFromAnotherKey(now), "-H", topic})},
      {"neither a token nor a certificate", 403, "MissingProviderToken", with({})},
      {"another app's certificate", 400, "DeviceTokenNotForTopic",
       using_(credentials.clientCertificate("com.other.app"))},
      {"a certificate from an authority the gateway does not know", 0, "",
       using_(credentials.strangerCertificate())},
      // The connection keeps the token of its first request.
      {"a new token on the connection a moment after the first", 429, "TooManyProviderTokenUpdates",
       pushing({"--data-binary", "{}", "--next", "-H",
                "authorization: bearer " + credentials.token(now - 1), "-H", topic})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const CurlAnswer answer = curl(gateway.deviceUrl(), gateway.authorityFile(), row.args);
    EXPECT_EQ(answer.status, row.status) << answer.printed;
    if (row.status == 0) continue;
    EXPECT_NE(answer.headers.find("apns-id: "), std::string::npos) << answer.printed;
    if (row.status == 200) {
      EXPECT_NE(answer.headers.find("apns-unique-id: "), std::string::npos) << answer.printed;
      EXPECT_EQ(answer.body, "");
      continue;
    }
    EXPECT_NE(answer.headers.find("content-type: application/json"), std::string::npos)
        << answer.printed;
    EXPECT_EQ(nlohmann::json::parse(answer.body, nullptr, false),
              nlohmann::json({{"reason", row.reason}}))
        << answer.printed;
  }
  // The two pushes as sent, and the first of the two on one connection.
  const std::vector<Push> taken = sink.taken();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].payload, kPayload);
  EXPECT_EQ(taken[0].authentication, Authentication::token);
  EXPECT_EQ(taken[1].topic, kTopic);
  EXPECT_EQ(taken[1].authentication, Authentication::certificate);
}

TEST(CurlTest, ListensOnTheIpv6Loopback) {
  testing_support::TempDir state;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.listen = *parseListenAddress("[::1]:0");
  // A machine without IPv6 on its loopback cannot bind it; nothing of the gateway's is
  // tested then.
  const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool bound =
      probe >= 0 && bind(probe, reinterpret_cast<const sockaddr*>(&options.listen.address),
                         options.listen.length) == 0;
  if (probe >= 0) close(probe);
  if (!bound) GTEST_SKIP() << "no IPv6 loopback here";
  GatewayRun gateway(std::move(options), sink, state.path());
  const CurlAnswer answer =
      curl(gateway.deviceUrl("[::1]"), gateway.authorityFile(), {"--data-binary", kPayload});
  EXPECT_EQ(answer.status, 200) << answer.printed;
}

}  // namespace
}  // namespace host::gateway::testing
