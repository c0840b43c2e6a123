// The service's checks of one request, row by row: what each header, path and body gives.
#include "host/gateway/RequestCheck.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace host::gateway {
namespace {

constexpr char kToken[] = "0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f9";
constexpr char kNewId[] = "11111111-2222-4333-8444-555555555555";

const std::string kBody = R"({"aps":{"alert":"hi"}})";
constexpr Authentication kNone = Authentication::none;
constexpr Authentication kTokenAuth = Authentication::token;
constexpr Authentication kCert = Authentication::certificate;

struct Row {
  const char* what;
  int status;
  const char* reason;  // "" for 200
  // Added to a good request, replacing a header of the same name: "<absent>" removes it, a
  // name starting with '+' is added beside it.
  std::vector<Header> headers;
  Authentication authentication = kNone;
  std::string body = kBody;
};

// A row's header changes: one, or several.
std::vector<Header> with(std::string name, std::string value) {
  return {{std::move(name), std::move(value)}};
}
std::vector<Header> with(std::vector<Header> changes) { return changes; }
// A push of `type` to the app's topic with `suffix`.
std::vector<Header> typed(const std::string& type, const std::string& suffix) {
  return {{"apns-push-type", type}, {"apns-topic", "com.halvicourt.app" + suffix}};
}

std::vector<Header> request(const std::vector<Header>& changes) {
  std::vector<Header> headers = {{":method", "POST"},
                                 {":scheme", "https"},
                                 {":path", std::string("/3/device/") + kToken},
                                 {":authority", "localhost"},
                                 {"apns-topic", "com.halvicourt.app"}};
  for (const Header& change : changes) {
    if (change.name.starts_with('+')) {
      headers.push_back({change.name.substr(1), change.value});
      continue;
    }
    bool replaced = false;
    for (Header& header : headers) {
      if (header.name == change.name && !replaced) {
        header.value = change.value;
        replaced = true;
      }
    }
    if (!replaced) headers.push_back(change);
  }
  std::erase_if(headers, [](const Header& h) { return h.value == "<absent>"; });
  return headers;
}

Verdict check(const Row& row, std::optional<Answer> tokenRefusal = std::nullopt) {
  CheckContext context;
  context.deviceToken = kToken;
  context.appTopic = "com.halvicourt.app";
  context.authentication = row.authentication;
  context.certificateTopic = "com.halvicourt.app";
  context.tokenRefusal = std::move(tokenRefusal);
  context.newId = kNewId;
  return checkRequest(request(row.headers), row.body, context);
}

TEST(RequestCheckTest, AnswersEachRequestAsTheServiceDoes) {
  const std::string big(4096, 'x');
  const std::string voipBig(5120, 'x');
  const std::vector<Row> rows = {
      {"a plain alert", 200, "", {}},
      {"an uppercase device token", 200, "",
       with(":path", "/3/device/0A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F9")},
      {"GET", 405, "MethodNotAllowed", with(":method", "GET")},
      {"another path", 404, "BadPath", with(":path", "/3/devices/abc")},
      {"the root", 404, "BadPath", with(":path", "/")},
      {"no token", 400, "MissingDeviceToken", with(":path", "/3/device/")},
      {"no token, no slash", 400, "MissingDeviceToken", with(":path", "/3/device")},
      {"a token not in hex", 400, "BadDeviceToken", with(":path", "/3/device/xyz")},
      {"another device's token", 400, "BadDeviceToken", with(":path", "/3/device/00")},
      {"a longer token with ours as its prefix", 400, "BadDeviceToken",
       with(":path", std::string("/3/device/") + kToken + "00")},
      {"a query after the token", 400, "BadDeviceToken",
       with(":path", std::string("/3/device/") + kToken + "?x=1")},
      {"apns-topic twice", 400, "DuplicateHeaders", with("+apns-topic", "com.halvicourt.app")},
      {"authorization twice", 400, "DuplicateHeaders",
       with({{"+authorization", "bearer a"}, {"+authorization", "bearer b"}})},
      {"an apns-* header the service does not read, twice", 400, "DuplicateHeaders",
       with({{"+apns-request-tag", "a"}, {"+apns-request-tag", "b"}})},
      {"two different apns-* headers", 200, "",
       with({{"apns-priority", "10"}, {"apns-expiration", "0"}})},
      {"apns-id not a UUID", 400, "BadMessageId", with("apns-id", "not-a-uuid")},
      {"apns-id a UUID without dashes", 400, "BadMessageId",
       with("apns-id", "11111111222243338444555555555555")},
      {"an unknown push type", 400, "InvalidPushType", with("apns-push-type", "banner")},
      {"no topic with a token", 400, "MissingTopic", with("apns-topic", "<absent>"), kTokenAuth},
      {"no topic without authentication", 200, "", with("apns-topic", "<absent>")},
      {"no topic with a certificate", 200, "", with("apns-topic", "<absent>"), kCert},
      {"another app's topic", 400, "DeviceTokenNotForTopic", with("apns-topic", "com.other.app")},
      {"a certificate pushing to another app", 400, "TopicDisallowed",
       with("apns-topic", "com.other.app"), kCert},
      {"a certificate pushing voip", 200, "", typed("voip", ".voip"), kCert},
      {"a certificate pushing a live activity", 400, "TopicDisallowed",
       typed("liveactivity", ".push-type.liveactivity"), kCert},
      {"voip without .voip", 400, "DeviceTokenNotForTopic", with("apns-push-type", "voip")},
      {"voip with .voip", 200, "", typed("voip", ".voip")},
      {"an alert to the .voip topic", 400, "DeviceTokenNotForTopic",
       with("apns-topic", "com.halvicourt.app.voip")},
      {"complication", 200, "", typed("complication", ".complication")},
      {"fileprovider", 200, "", typed("fileprovider", ".pushkit.fileprovider")},
      {"liveactivity", 200, "", typed("liveactivity", ".push-type.liveactivity")},
      {"location", 200, "", typed("location", ".location-query")},
      {"pushtotalk", 200, "", typed("pushtotalk", ".voip-ptt")},
      {"pushtotalk without its suffix", 400, "DeviceTokenNotForTopic",
       with("apns-push-type", "pushtotalk")},
      {"mdm: no management profile here", 400, "DeviceTokenNotForTopic",
       with("apns-push-type", "mdm")},
      {"priority 7", 400, "BadPriority", with("apns-priority", "7")},
      {"priority 010", 400, "BadPriority", with("apns-priority", "010")},
      {"priority 1", 200, "", with("apns-priority", "1")},
      {"background at 10", 400, "BadPriority",
       with({{"apns-push-type", "background"}, {"apns-priority", "10"}})},
      {"background at 5", 200, "",
       with({{"apns-push-type", "background"}, {"apns-priority", "5"}})},
      {"expiration in words", 400, "BadExpirationDate", with("apns-expiration", "tomorrow")},
      {"expiration negative", 400, "BadExpirationDate", with("apns-expiration", "-1")},
      {"expiration past 64 bits", 400, "BadExpirationDate",
       with("apns-expiration", "99999999999999999999")},
      {"expiration 0", 200, "", with("apns-expiration", "0")},
      {"collapse id of 64 bytes", 200, "", with("apns-collapse-id", std::string(64, 'c'))},
      {"collapse id of 65 bytes", 400, "BadCollapseId",
       with("apns-collapse-id", std::string(65, 'c'))},
      {"no body", 400, "PayloadEmpty", {}, kNone, ""},
      {"4,096 bytes", 200, "", {}, kNone, big},
      {"4,097 bytes", 413, "PayloadTooLarge", {}, kNone, big + "x"},
      {"voip of 5,120 bytes", 200, "", typed("voip", ".voip"), kNone, voipBig},
      {"voip of 5,121 bytes", 413, "PayloadTooLarge", typed("voip", ".voip"), kNone, voipBig + "x"},
      {"the path before the body", 404, "BadPath", with(":path", "/x"), kNone, ""},
  };
  for (const Row& row : rows) {
    const Verdict verdict = check(row);
    EXPECT_EQ(verdict.answer.status, row.status) << row.what << ": " << verdict.answer.reason;
    EXPECT_EQ(verdict.answer.reason, row.reason) << row.what;
    EXPECT_EQ(verdict.push.has_value(), row.status == 200) << row.what;
  }
}

TEST(RequestCheckTest, TheTokensVerdictComesAfterThePathAndBeforeTheHeaders) {
  const Row badPath{"", 0, "", with(":path", "/x"), kTokenAuth};
  EXPECT_EQ(check(badPath, Answer{403, "InvalidProviderToken"}).answer.reason, "BadPath");
  const Row badPriority{"", 0, "", with("apns-priority", "7"), kTokenAuth};
  EXPECT_EQ(check(badPriority, Answer{403, "ExpiredProviderToken"}).answer.reason,
            "ExpiredProviderToken");
  // A certificate's connection has no token to judge.
  const Row certificate{"", 0, "", {}, kCert};
  EXPECT_EQ(check(certificate, Answer{403, "MissingProviderToken"}).answer.status, 200);
}

TEST(RequestCheckTest, FillsThePushFromItsHeaders) {
  const Row row{"", 0, "",
                with({{"apns-id", "A1B2C3D4-0000-4000-8000-000000000001"},
                      {"apns-push-type", "background"},
                      {"apns-expiration", "1700000000"},
                      {"apns-collapse-id", "harbour"}}),
                kTokenAuth};
  const Verdict verdict = check(row);
  ASSERT_TRUE(verdict.push);
  EXPECT_EQ(verdict.apnsId, "A1B2C3D4-0000-4000-8000-000000000001");
  EXPECT_EQ(verdict.push->apnsId, verdict.apnsId);
  EXPECT_EQ(verdict.push->pushType, "background");
  EXPECT_EQ(verdict.push->priority, 5);  // background's own
  EXPECT_EQ(verdict.push->expiration, 1700000000);
  EXPECT_EQ(verdict.push->collapseId, "harbour");
  EXPECT_EQ(verdict.push->topic, "com.halvicourt.app");
  EXPECT_EQ(verdict.push->authentication, Authentication::token);
  EXPECT_EQ(verdict.push->payload, kBody);

  const Verdict plain = check({"", 0, "", {}});
  ASSERT_TRUE(plain.push);
  EXPECT_EQ(plain.apnsId, kNewId);
  EXPECT_EQ(plain.push->pushType, "alert");
  EXPECT_EQ(plain.push->priority, 10);
  EXPECT_FALSE(plain.push->expiration);
  // A topic left out is implied, with the push type's suffix.
  const Verdict voip =
      check({"", 0, "", with({{"apns-topic", "<absent>"}, {"apns-push-type", "voip"}})});
  ASSERT_TRUE(voip.push);
  EXPECT_EQ(voip.push->topic, "com.halvicourt.app.voip");
  // An apns-id that is not a UUID is not echoed; a new one is.
  EXPECT_EQ(check({"", 0, "", with("apns-id", "x")}).apnsId, kNewId);
}

}  // namespace
}  // namespace host::gateway
