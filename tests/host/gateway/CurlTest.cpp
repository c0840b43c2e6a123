// curl --http2 against the gateway, one request per reason the service answers with: the
// status, the apns-id and the {"reason"} body as a real client reads them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ChildProcess.hpp"

namespace host::gateway::testing {
namespace {

std::int64_t wallSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct CurlAnswer {
  int status = 0;
  std::string headers;  // as curl printed them, lowercase names
  std::string body;
  std::string printed;  // all curl said, for a failure's message
};

// One curl run; `args` come after the common ones. Each --next group is a request of its own
// on the same connection; the answer is the last one's.
CurlAnswer curl(const GatewayRun& gateway, const std::vector<std::string>& args) {
  testing_support::TempDir dir;
  const std::vector<std::string> common = {"--http2",    "-sS",
                                           "--max-time", "60",
                                           "--cacert",   gateway.authorityFile(),
                                           "-D",         dir.file("headers"),
                                           "-o",         dir.file("body"),
                                           "-w",         "%{http_code}"};
  std::vector<std::string> argv = {"/usr/bin/curl"};
  argv.insert(argv.end(), common.begin(), common.end());
  for (const std::string& arg : args) {
    argv.push_back(arg);
    // --next starts a request whose options are its own.
    if (arg == "--next") argv.insert(argv.end(), common.begin(), common.end());
  }
  const testing_support::CommandResult run = testing_support::runCommand(argv);
  CurlAnswer answer;
  answer.headers = testing_support::readFile(dir.file("headers"));
  answer.body = testing_support::readFile(dir.file("body"));
  answer.printed = run.output + "\n" + answer.headers + answer.body;
  const std::string& out = run.output;
  answer.status = out.size() >= 3 ? std::atoi(out.substr(out.size() - 3).c_str()) : 0;
  return answer;
}

struct Row {
  const char* what;
  std::vector<std::string> args;  // beside the URL; {} for a good request
  int status;
  const char* reason;
  std::string path = "";  // "" for the device's own
};

void runRows(const GatewayRun& gateway, RecordingSink& sink, const std::vector<Row>& rows,
             const std::vector<std::string>& common) {
  const std::string base = "https://127.0.0.1:" + std::to_string(gateway.port());
  for (const Row& row : rows) {
    std::vector<std::string> args = common;
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(base + (row.path.empty() ? "/3/device/" + gateway.deviceToken() : row.path));
    if (std::string(row.reason) == "TooManyRequests") sink.setBound(0);
    const CurlAnswer answer = curl(gateway, args);
    sink.setBound(static_cast<std::size_t>(-1));
    EXPECT_EQ(answer.status, row.status) << row.what << ":\n" << answer.printed;
    EXPECT_NE(answer.headers.find("apns-id: "), std::string::npos) << row.what << ":\n"
                                                                   << answer.printed;
    if (row.status == 200) {
      EXPECT_NE(answer.headers.find("apns-unique-id: "), std::string::npos) << row.what;
      EXPECT_EQ(answer.body, "") << row.what;
      continue;
    }
    EXPECT_NE(answer.headers.find("content-type: application/json"), std::string::npos)
        << row.what << ":\n"
        << answer.printed;
    const nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
    EXPECT_EQ(body, nlohmann::json({{"reason", row.reason}})) << row.what << ":\n"
                                                              << answer.printed;
  }
}

const std::vector<std::string> kPayload = {"--data-binary", R"({"aps":{"alert":"hi"}})"};

std::vector<std::string> with(std::vector<std::string> args) {
  args.insert(args.end(), kPayload.begin(), kPayload.end());
  return args;
}

TEST(CurlTest, AnswersEachReasonWithAProviderToken) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.providerToken =
      *ProviderTokenVerifier::fromFile(credentials.publicKeyFile(), kKeyId, kTeamId);
  GatewayRun gateway(std::move(options), sink, state.path());
  const std::int64_t now = wallSeconds();
  const std::string good = "authorization: bearer " + credentials.token(now);
  const std::string topic = std::string("apns-topic: ") + kTopic;
  const std::string base = "https://127.0.0.1:" + std::to_string(gateway.port());
  const std::string device = base + "/3/device/" + gateway.deviceToken();
  const std::vector<Row> rows = {
      {"a good push", with({"-H", good, "-H", topic}), 200, ""},
      {"GET", {"-X", "GET", "-H", good, "-H", topic}, 405, "MethodNotAllowed"},
      {"a path of another service", with({"-H", good, "-H", topic}), 404, "BadPath",
       "/3/devices/x"},
      {"no device token", with({"-H", good, "-H", topic}), 400, "MissingDeviceToken", "/3/device/"},
      {"a token not in hex", with({"-H", good, "-H", topic}), 400, "BadDeviceToken",
       "/3/device/xyz"},
      {"another device", with({"-H", good, "-H", topic}), 400, "BadDeviceToken",
       "/3/device/" + std::string(64, '0')},
      {"no topic", with({"-H", good}), 400, "MissingTopic"},
      {"another app's topic", with({"-H", good, "-H", "apns-topic: com.other.app"}), 400,
       "DeviceTokenNotForTopic"},
      {"voip without .voip", with({"-H", good, "-H", topic, "-H", "apns-push-type: voip"}), 400,
       "DeviceTokenNotForTopic"},
      {"two topics", with({"-H", good, "-H", topic, "-H", topic}), 400, "DuplicateHeaders"},
      {"a bad apns-id", with({"-H", good, "-H", topic, "-H", "apns-id: 42"}), 400, "BadMessageId"},
      {"a bad expiration", with({"-H", good, "-H", topic, "-H", "apns-expiration: soon"}), 400,
       "BadExpirationDate"},
      {"priority 3", with({"-H", good, "-H", topic, "-H", "apns-priority: 3"}), 400, "BadPriority"},
      {"a long collapse id",
       with({"-H", good, "-H", topic, "-H", "apns-collapse-id: " + std::string(65, 'c')}), 400,
       "BadCollapseId"},
      {"an unknown push type", with({"-H", good, "-H", topic, "-H", "apns-push-type: banner"}), 400,
       "InvalidPushType"},
      {"no body", {"-H", good, "-H", topic, "-X", "POST"}, 400, "PayloadEmpty"},
      {"4,097 bytes",
       {"-H", good, "-H", topic, "--data-binary", "{" + std::string(4096, ' ')},
       413,
       "PayloadTooLarge"},
      {"no authorization", with({"-H", topic}), 403, "MissingProviderToken"},
      {"a token signed by another key",
       with({"-H", "authorization: bearer " + credentials.tokenFromAnotherKey(now), "-H", topic}),
       403, "InvalidProviderToken"},
      {"a token made two hours ago",
       with({"-H", "authorization: bearer " + credentials.token(now - 7200), "-H", topic}), 403,
       "ExpiredProviderToken"},
      {"a new token on the connection a moment after the first",
       with({"-H", good, "-H", topic, "--data-binary", "{}", device, "--next", "-H",
             "authorization: bearer " + credentials.token(now - 1), "-H", topic}),
       429, "TooManyProviderTokenUpdates"},
      {"the host at its bound", with({"-H", good, "-H", topic}), 429, "TooManyRequests"},
      {"a body the host refuses",
       {"-H", good, "-H", topic, "--data-binary", "not json"},
       400,
       "BadPayload"},
  };
  runRows(gateway, sink, rows, {});
  EXPECT_EQ(sink.taken().size(), 2u);  // the good push, and the first of the two on one connection
}

TEST(CurlTest, AnswersEachReasonWithAClientCertificate) {
  testing_support::TempDir state;
  TestCredentials credentials;
  RecordingSink sink;
  GatewayOptions options = GatewayRun::defaults();
  options.clientAuthorityFile = credentials.clientAuthorityFile();
  GatewayRun gateway(std::move(options), sink, state.path());
  const TestCredentials::ClientCertificate mine = credentials.clientCertificate(kTopic);
  const TestCredentials::ClientCertificate other = credentials.clientCertificate("com.other.app");
  const std::vector<std::string> cert = {"--cert", mine.certificateFile, "--key", mine.keyFile};
  const auto using_ = [](const TestCredentials::ClientCertificate& c,
                         std::vector<std::string> args) {
    args.insert(args.begin(), {"--cert", c.certificateFile, "--key", c.keyFile});
    return with(args);
  };
  const std::vector<Row> rows = {
      {"the certificate's topic, implied", using_(mine, {}), 200, ""},
      {"its .voip topic",
       using_(mine,
              {"-H", "apns-push-type: voip", "-H", std::string("apns-topic: ") + kTopic + ".voip"}),
       200, ""},
      {"its .complication topic",
       using_(mine, {"-H", "apns-push-type: complication", "-H",
                     std::string("apns-topic: ") + kTopic + ".complication"}),
       200, ""},
      {"another app's topic", using_(mine, {"-H", "apns-topic: com.other.app"}), 400,
       "TopicDisallowed"},
      {"another app's certificate", using_(other, {}), 400, "DeviceTokenNotForTopic"},
      {"another app's certificate, this app's topic",
       using_(other, {"-H", std::string("apns-topic: ") + kTopic}), 400, "TopicDisallowed"},
      {"no certificate and no token", with({}), 403, "MissingProviderToken"},
  };
  runRows(gateway, sink, rows, {});
  ASSERT_EQ(sink.taken().size(), 3u);
  EXPECT_EQ(sink.taken()[0].topic, kTopic);
  EXPECT_EQ(sink.taken()[0].authentication, Authentication::certificate);

  // A certificate from an authority the gateway does not know fails the handshake.
  const TestCredentials::ClientCertificate stranger = credentials.strangerCertificate();
  const CurlAnswer refused =
      curl(gateway, using_(stranger, {"https://127.0.0.1:" + std::to_string(gateway.port()) +
                                      "/3/device/" + gateway.deviceToken()}));
  EXPECT_EQ(refused.status, 0) << refused.printed;
  EXPECT_EQ(sink.taken().size(), 3u);
}

TEST(CurlTest, RefusesHttp11OnThatConnectionAlone) {
  testing_support::TempDir state;
  RecordingSink sink;
  GatewayRun gateway(GatewayRun::defaults(), sink, state.path());
  const std::string url =
      "https://127.0.0.1:" + std::to_string(gateway.port()) + "/3/device/" + gateway.deviceToken();
  const CurlAnswer http11 = curl(gateway, with({"--http1.1", url}));
  EXPECT_EQ(http11.status, 0) << http11.printed;
  EXPECT_NE(http11.printed.find("alert"), std::string::npos) << http11.printed;
  const CurlAnswer h2 = curl(gateway, with({url}));
  EXPECT_EQ(h2.status, 200) << h2.printed;
  EXPECT_EQ(sink.taken().size(), 1u);
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
  const CurlAnswer answer = curl(gateway, with({"https://[::1]:" + std::to_string(gateway.port()) +
                                                "/3/device/" + gateway.deviceToken()}));
  EXPECT_EQ(answer.status, 200) << answer.printed;
}

}  // namespace
}  // namespace host::gateway::testing
