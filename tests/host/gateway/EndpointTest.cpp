// The host as the push service's endpoint, end to end: the real executable with --listen,
// found through its start line, pushed to by real providers (curl --http2, @parse/node-apn with
// a token and with a certificate, a client of frames for the stop), its lines read as the
// platform reads them.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/gateway/H2Client.hpp"
#include "tests/host/gateway/Providers.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ExtensionRun.hpp"

namespace host::gateway::testing {
namespace {

using nlohmann::json;
using namespace testing_support;

// What the start line on standard error says.
struct StartLine {
  int port = 0;
  std::string deviceToken;
  std::string authentication;
  std::string authorityFile;
  std::string deviceUrl() const {
    return "https://127.0.0.1:" + std::to_string(port) + "/3/device/" + deviceToken;
  }
};

// Waits for the start line of `process` (a minute at most) and reads it.
StartLine awaitStartLine(const ExtensionProcess& process) {
  static const std::regex kLine(
      "HalvicourtNotificationService: listening on 127\\.0\\.0\\.1:(\\d+); device token "
      "([0-9a-f]+); topic com\\.halvicourt\\.app; authentication ([^;]+); authority (\\S+)\\n");
  std::smatch match;
  std::string text;
  EXPECT_TRUE(waitFor([&] { return std::regex_search(text = process.errorSoFar(), match, kLine); }))
      << text;
  if (match.empty()) return {};
  return {std::stoi(match[1]), match[2], match[3], match[4]};
}

// Each field of `expected` is in `line`, objects field by field.
void expectFields(const json& line, const json& expected) {
  for (const auto& [key, value] : expected.items()) {
    if (value.is_object()) {
      expectFields(line[key], value);
    } else {
      EXPECT_EQ(line[key], value) << key;
    }
  }
}

// Every line of `outcome` is for one of `ids`, one line each.
void expectOneLineEach(const Outcome& outcome, const std::vector<std::string>& ids) {
  std::map<std::string, int> lines, expected;
  for (const json& event : outcome.events) ++lines[event.value("id", "")];
  for (const std::string& id : ids) expected[id] = 1;
  EXPECT_EQ(lines, expected);
  expectNoSanitizerReport(outcome.stderrText);
}

using EndpointTest = ExtensionTest;

// A push as curl sends it, shown as a request read from input is, with what its headers
// said; the push types and the collapse ids; a body the host refuses; and standard input,
// which is not read.
TEST_F(EndpointTest, CurlPushesAreShownWithWhatTheirHeadersSaid) {
  const std::string image = server_.url("/image.png");
  ExtensionProcess process(run({"--listen", "0", "--log", "info"},
                               requestLine("from-input", payload(std::nullopt, false))));
  const StartLine endpoint = awaitStartLine(process);
  ASSERT_NE(endpoint.port, 0);
  EXPECT_EQ(endpoint.authentication, "none (loopback only)");
  EXPECT_TRUE(std::filesystem::exists(endpoint.authorityFile)) << endpoint.authorityFile;
  const std::string first = "0a1b2c3d-0000-4000-8000-000000000001";
  const std::string second = "0a1b2c3d-0000-4000-8000-000000000002";
  const std::string woken = "0a1b2c3d-0000-4000-8000-000000000003";
  const struct Row {
    const char* what;
    std::vector<std::string> args;
    int status;
    json line;  // fields of its one line; for a refused push, the answer's body
  } rows[] = {
      {"an image push",
       {"-H", "apns-id: " + first, "-H", "apns-collapse-id: harbour", "-H",
        "apns-expiration: 1900000000", "--data-binary", payload(image).dump()},
       200,
       {{"id", first},
        {"source", "extension"},
        {"shown", true},
        {"push",
         {{"apnsId", first},
          {"topic", "com.halvicourt.app"},
          {"pushType", "alert"},
          {"priority", 10},
          {"expiration", 1900000000},
          {"collapseId", "harbour"}}}}},
      {"a later push under the same collapse id",
       {"-H", "apns-id: " + second, "-H", "apns-collapse-id: harbour", "--data-binary",
        payload(std::nullopt, false).dump()},
       200,
       {{"id", second}, {"source", "original"}, {"shown", true}, {"replaces", first}}},
      {"a background push",
       {"-H", "apns-id: " + woken, "-H", "apns-push-type: background", "-H", "apns-priority: 5",
        "--data-binary", R"({"aps":{"content-available":1}})"},
       200,
       {{"id", woken}, {"source", "app"}, {"shown", false}, {"push", {{"priority", 5}}}}},
      {"a body the host refuses",
       {"--data-binary", R"({"aps":{"badge":"3"}})"},
       400,
       {{"reason", "\"aps.badge\" is not a number"}}},
  };
  std::map<std::string, json> lines;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const CurlAnswer answer = curl(endpoint.deviceUrl(), endpoint.authorityFile, row.args);
    EXPECT_EQ(answer.status, row.status) << answer.printed;
    if (answer.status != 200) {
      EXPECT_EQ(json::parse(answer.body, nullptr, false), row.line);
      continue;
    }
    // Each line before the next push: a collapse replaces what was shown before it.
    const std::optional<std::string> text = process.readLine();
    ASSERT_TRUE(text);
    const json line = json::parse(*text);
    expectFields(line, row.line);
    EXPECT_EQ(line["push"]["uniqueId"].get<std::string>().size(), 36u);
    lines[line["id"]] = line;
  }
  const std::string picture = lines[first]["content"]["attachments"][0]["url"];
  EXPECT_TRUE(inStore(picture, image));
  // Replaced, the first notification is off the screen, and its picture leaves the store.
  EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(picture.substr(7)); })) << picture;

  kill(process.pid(), SIGTERM);
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectOneLineEach(outcome, {first, second, woken});
  EXPECT_NE(outcome.stderrText.find("\"event\":\"listening\",\"address\":\"127.0.0.1:" +
                                    std::to_string(endpoint.port) + "\""),
            std::string::npos)
      << outcome.stderrText;
}

// node-apn as a provider runs it, with a provider token made from the key's file (its id from
// the file's name) and with a client certificate, against one endpoint that takes both: the
// push it takes is shown with its picture, and those for another app or device get their
// reasons.
TEST_F(EndpointTest, NodeApnSendsWithATokenAndWithACertificate) {
  TestCredentials credentials;
  const TestCredentials::ClientCertificate certificate = credentials.clientCertificate(kTopic);
  ExtensionProcess process(
      run({"--listen", "127.0.0.1:0", "--provider-key", credentials.signingKeyFile(), "--team-id",
           kTeamId, "--provider-ca", credentials.clientAuthorityFile()}));
  const StartLine endpoint = awaitStartLine(process);
  ASSERT_NE(endpoint.port, 0);
  EXPECT_EQ(endpoint.authentication, std::string("token (key ") + kKeyId + ", team " + kTeamId +
                                         ") or certificate (client authority " +
                                         credentials.clientAuthorityFile() + ")");
  const auto note = [&](const std::string& id, const std::string& topic, const std::string& to) {
    return json{{"id", id},
                {"topic", topic},
                {"deviceToken", to},
                {"payload", payload(server_.url("/image.png"))}};
  };
  const struct {
    json credentials;
    std::string apnsId;
    const char* otherTopicReason;
  } rows[] = {
      {{{"token", {{"key", credentials.signingKeyFile()}, {"keyId", kKeyId}, {"teamId", kTeamId}}}},
       "0a1b2c3d-0000-4000-8000-00000000000a",
       "DeviceTokenNotForTopic"},
      {{{"cert", certificate.certificateFile}, {"key", certificate.keyFile}},
       "0a1b2c3d-0000-4000-8000-00000000000b",
       "TopicDisallowed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.apnsId);
    json request = row.credentials;
    request["notifications"] = {note(row.apnsId, kTopic, endpoint.deviceToken),
                                note(row.apnsId, "com.other.app", endpoint.deviceToken),
                                note(row.apnsId, kTopic, std::string(64, 'f'))};
    const json result = sendWithNodeApn(request, endpoint.port, endpoint.authorityFile);
    ASSERT_TRUE(result.contains("sent"));
    ASSERT_EQ(result["sent"].size(), 1u) << result.dump();
    EXPECT_EQ(result["sent"][0]["apnsId"], row.apnsId);
    ASSERT_EQ(result["failed"].size(), 2u) << result.dump();
    EXPECT_EQ(result["failed"][0]["reason"], row.otherTopicReason);
    EXPECT_EQ(result["failed"][1]["reason"], "BadDeviceToken");
    const std::optional<std::string> text = process.readLine();
    ASSERT_TRUE(text);
    const json line = json::parse(*text);
    EXPECT_EQ(line["id"], row.apnsId);
    EXPECT_TRUE(inStore(line["content"]["attachments"][0]["url"], server_.url("/image.png")));
  }
  kill(process.pid(), SIGTERM);
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectOneLineEach(outcome, {rows[0].apnsId, rows[1].apnsId});
}

// A SIGTERM while a provider streams pushes, half of them waiting on a download that never
// ends: every push answered 200 has its shown line, once, and no other push has a line.
TEST_F(EndpointTest, EveryPushAnswered200IsShownOnceThroughTheStop) {
  ExtensionProcess process(run({"--listen", "0", "--time-limit", "3600"}));
  const StartLine endpoint = awaitStartLine(process);
  ASSERT_NE(endpoint.port, 0);
  std::thread reader([&] {
    while (process.readLine()) {
    }
  });
  std::unique_ptr<H2Client> client =
      H2Client::connect({.port = endpoint.port, .authorityFile = endpoint.authorityFile});
  ASSERT_TRUE(client);
  const std::string bodies[] = {payload(std::nullopt, false).dump(),
                                payload(server_.url("/gate/never")).dump()};
  std::vector<std::int32_t> sent;
  std::size_t answered = 0;  // the first streams of `sent` that have their answer
  bool signalled = false;
  // The provider keeps 64 pushes in flight until the endpoint goes away.
  while (!client->closed() && !client->goawayReceived()) {
    while (sent.size() - answered < 64) {
      sent.push_back(client->push(endpoint.deviceToken, bodies[sent.size() % 2]));
    }
    const std::size_t before = answered;
    client->pumpUntil([&] {
      while (answered < sent.size() && client->responses()[sent[answered]].status != 0) ++answered;
      return answered > before || client->goawayReceived();
    });
    if (!signalled && answered >= 200) {
      kill(process.pid(), SIGTERM);
      signalled = true;
    }
  }
  client->pumpUntil([&] { return client->closed(); });
  std::vector<std::string> answered200;
  for (std::int32_t stream : sent) {
    H2Response& response = client->responses()[stream];
    if (stream <= client->goawayLastStream()) {
      EXPECT_NE(response.status, 0) << "stream " << stream << " was received and not answered";
    }
    if (response.status == 200) answered200.push_back(response.headers["apns-id"]);
  }
  EXPECT_GE(answered200.size(), 200u);
  reader.join();
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectOneLineEach(outcome, answered200);
  for (const json& event : outcome.events) EXPECT_TRUE(event["shown"].get<bool>());
}

}  // namespace
}  // namespace host::gateway::testing
