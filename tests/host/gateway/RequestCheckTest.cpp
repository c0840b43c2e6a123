// The service's checks of one request, row by row: what each header, path and body gives.
#include "host/gateway/RequestCheck.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace host::gateway {
namespace {

constexpr char kToken[] = "0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f9";
constexpr char kNewId[] = "11111111-2222-4333-8444-555555555555";

struct Row {
  const char* what;
  // Added to a good request, replacing a header of the same name: "<absent>" removes it, a
  // name starting with '+' is added beside it.
  std::vector<Header> headers;
  std::string body;
  Authentication authentication;
  int status;
  const char* reason;  // "" for 200
};

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

const std::string kBody = R"({"aps":{"alert":"hi"}})";
constexpr Authentication kNone = Authentication::none;
constexpr Authentication kTokenAuth = Authentication::token;
constexpr Authentication kCert = Authentication::certificate;

TEST(RequestCheckTest, AnswersEachRequestAsTheServiceDoes) {
  const std::string big(4096, 'x');
  const std::string voipBig(5120, 'x');
  const std::vector<Row> rows = {
      {"a plain alert", {}, kBody, kNone, 200, ""},
      {"an uppercase device token",
       {{":path", "/3/device/0A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F9"}},
       kBody,
       kNone,
       200,
       ""},
      {"GET", {{":method", "GET"}}, kBody, kNone, 405, "MethodNotAllowed"},
      {"another path", {{":path", "/3/devices/abc"}}, kBody, kNone, 404, "BadPath"},
      {"the root", {{":path", "/"}}, kBody, kNone, 404, "BadPath"},
      {"no token", {{":path", "/3/device/"}}, kBody, kNone, 400, "MissingDeviceToken"},
      {"no token, no slash", {{":path", "/3/device"}}, kBody, kNone, 400, "MissingDeviceToken"},
      {"a token not in hex", {{":path", "/3/device/xyz"}}, kBody, kNone, 400, "BadDeviceToken"},
      {"another device's token", {{":path", "/3/device/00"}}, kBody, kNone, 400, "BadDeviceToken"},
      {"a longer token with ours as its prefix",
       {{":path", std::string("/3/device/") + kToken + "00"}},
       kBody,
       kNone,
       400,
       "BadDeviceToken"},
      {"a query after the token",
       {{":path", std::string("/3/device/") + kToken + "?x=1"}},
       kBody,
       kNone,
       400,
       "BadDeviceToken"},
      {"apns-topic twice",
       {{"+apns-topic", "com.halvicourt.app"}},
       kBody,
       kNone,
       400,
       "DuplicateHeaders"},
      {"authorization twice",
       {{"+authorization", "bearer a"}, {"+authorization", "bearer b"}},
       kBody,
       kNone,
       400,
       "DuplicateHeaders"},
      {"two different apns-* headers",
       {{"apns-priority", "10"}, {"apns-expiration", "0"}},
       kBody,
       kNone,
       200,
       ""},
      {"apns-id not a UUID", {{"apns-id", "not-a-uuid"}}, kBody, kNone, 400, "BadMessageId"},
      {"apns-id a UUID without dashes",
       {{"apns-id", "11111111222243338444555555555555"}},
       kBody,
       kNone,
       400,
       "BadMessageId"},
      {"an unknown push type",
       {{"apns-push-type", "banner"}},
       kBody,
       kNone,
       400,
       "InvalidPushType"},
      {"no topic with a token",
       {{"apns-topic", "<absent>"}},
       kBody,
       kTokenAuth,
       400,
       "MissingTopic"},
      {"no topic without authentication", {{"apns-topic", "<absent>"}}, kBody, kNone, 200, ""},
      {"no topic with a certificate", {{"apns-topic", "<absent>"}}, kBody, kCert, 200, ""},
      {"another app's topic",
       {{"apns-topic", "com.other.app"}},
       kBody,
       kNone,
       400,
       "DeviceTokenNotForTopic"},
      {"a certificate pushing to another app",
       {{"apns-topic", "com.other.app"}},
       kBody,
       kCert,
       400,
       "TopicDisallowed"},
      {"a certificate pushing voip",
       {{"apns-topic", "com.halvicourt.app.voip"}, {"apns-push-type", "voip"}},
       kBody,
       kCert,
       200,
       ""},
      {"a certificate pushing a live activity",
       {{"apns-topic", "com.halvicourt.app.push-type.liveactivity"},
        {"apns-push-type", "liveactivity"}},
       kBody,
       kCert,
       400,
       "TopicDisallowed"},
      {"voip without .voip",
       {{"apns-push-type", "voip"}},
       kBody,
       kNone,
       400,
       "DeviceTokenNotForTopic"},
      {"voip with .voip",
       {{"apns-push-type", "voip"}, {"apns-topic", "com.halvicourt.app.voip"}},
       kBody,
       kNone,
       200,
       ""},
      {"an alert to the .voip topic",
       {{"apns-topic", "com.halvicourt.app.voip"}},
       kBody,
       kNone,
       400,
       "DeviceTokenNotForTopic"},
      {"complication",
       {{"apns-push-type", "complication"}, {"apns-topic", "com.halvicourt.app.complication"}},
       kBody,
       kNone,
       200,
       ""},
      {"fileprovider",
       {{"apns-push-type", "fileprovider"},
        {"apns-topic", "com.halvicourt.app.pushkit.fileprovider"}},
       kBody,
       kNone,
       200,
       ""},
      {"liveactivity",
       {{"apns-push-type", "liveactivity"},
        {"apns-topic", "com.halvicourt.app.push-type.liveactivity"}},
       kBody,
       kNone,
       200,
       ""},
      {"location",
       {{"apns-push-type", "location"}, {"apns-topic", "com.halvicourt.app.location-query"}},
       kBody,
       kNone,
       200,
       ""},
      {"pushtotalk",
       {{"apns-push-type", "pushtotalk"}, {"apns-topic", "com.halvicourt.app.voip-ptt"}},
       kBody,
       kNone,
       200,
       ""},
      {"pushtotalk without its suffix",
       {{"apns-push-type", "pushtotalk"}},
       kBody,
       kNone,
       400,
       "DeviceTokenNotForTopic"},
      {"mdm: no management profile here",
       {{"apns-push-type", "mdm"}},
       kBody,
       kNone,
       400,
       "DeviceTokenNotForTopic"},
      {"priority 7", {{"apns-priority", "7"}}, kBody, kNone, 400, "BadPriority"},
      {"priority 010", {{"apns-priority", "010"}}, kBody, kNone, 400, "BadPriority"},
      {"priority 1", {{"apns-priority", "1"}}, kBody, kNone, 200, ""},
      {"background at 10",
       {{"apns-push-type", "background"}, {"apns-priority", "10"}},
       kBody,
       kNone,
       400,
       "BadPriority"},
      {"background at 5",
       {{"apns-push-type", "background"}, {"apns-priority", "5"}},
       kBody,
       kNone,
       200,
       ""},
      {"expiration in words",
       {{"apns-expiration", "tomorrow"}},
       kBody,
       kNone,
       400,
       "BadExpirationDate"},
      {"expiration negative", {{"apns-expiration", "-1"}}, kBody, kNone, 400, "BadExpirationDate"},
      {"expiration past 64 bits",
       {{"apns-expiration", "99999999999999999999"}},
       kBody,
       kNone,
       400,
       "BadExpirationDate"},
      {"expiration 0", {{"apns-expiration", "0"}}, kBody, kNone, 200, ""},
      {"collapse id of 64 bytes",
       {{"apns-collapse-id", std::string(64, 'c')}},
       kBody,
       kNone,
       200,
       ""},
      {"collapse id of 65 bytes",
       {{"apns-collapse-id", std::string(65, 'c')}},
       kBody,
       kNone,
       400,
       "BadCollapseId"},
      {"no body", {}, "", kNone, 400, "PayloadEmpty"},
      {"4,096 bytes", {}, big, kNone, 200, ""},
      {"4,097 bytes", {}, big + "x", kNone, 413, "PayloadTooLarge"},
      {"voip of 5,120 bytes",
       {{"apns-push-type", "voip"}, {"apns-topic", "com.halvicourt.app.voip"}},
       voipBig,
       kNone,
       200,
       ""},
      {"voip of 5,121 bytes",
       {{"apns-push-type", "voip"}, {"apns-topic", "com.halvicourt.app.voip"}},
       voipBig + "x",
       kNone,
       413,
       "PayloadTooLarge"},
      {"the path before the body", {{":path", "/x"}}, "", kNone, 404, "BadPath"},
  };
  for (const Row& row : rows) {
    const Verdict verdict = check(row);
    EXPECT_EQ(verdict.answer.status, row.status) << row.what << ": " << verdict.answer.reason;
    EXPECT_EQ(verdict.answer.reason, row.reason) << row.what;
    EXPECT_EQ(verdict.push.has_value(), row.status == 200) << row.what;
  }
}

TEST(RequestCheckTest, TheTokensVerdictComesAfterThePathAndBeforeTheHeaders) {
  const Row badPath{"", {{":path", "/x"}}, kBody, kTokenAuth, 0, ""};
  EXPECT_EQ(check(badPath, Answer{403, "InvalidProviderToken"}).answer.reason, "BadPath");
  const Row badPriority{"", {{"apns-priority", "7"}}, kBody, kTokenAuth, 0, ""};
  EXPECT_EQ(check(badPriority, Answer{403, "ExpiredProviderToken"}).answer.reason,
            "ExpiredProviderToken");
  // A certificate's connection has no token to judge.
  const Row certificate{"", {}, kBody, kCert, 0, ""};
  EXPECT_EQ(check(certificate, Answer{403, "MissingProviderToken"}).answer.status, 200);
}

TEST(RequestCheckTest, FillsThePushFromItsHeaders) {
  const Row row{"",
                {{"apns-id", "A1B2C3D4-0000-4000-8000-000000000001"},
                 {"apns-push-type", "background"},
                 {"apns-expiration", "1700000000"},
                 {"apns-collapse-id", "harbour"}},
                kBody,
                kTokenAuth,
                0,
                ""};
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

  const Verdict plain = check({"", {}, kBody, kNone, 0, ""});
  ASSERT_TRUE(plain.push);
  EXPECT_EQ(plain.apnsId, kNewId);
  EXPECT_EQ(plain.push->pushType, "alert");
  EXPECT_EQ(plain.push->priority, 10);
  EXPECT_FALSE(plain.push->expiration);
  // A topic left out is implied, with the push type's suffix.
  const Verdict voip =
      check({"", {{"apns-topic", "<absent>"}, {"apns-push-type", "voip"}}, kBody, kNone, 0, ""});
  ASSERT_TRUE(voip.push);
  EXPECT_EQ(voip.push->topic, "com.halvicourt.app.voip");
  // An apns-id that is not a UUID is not echoed; a new one is.
  EXPECT_EQ(check({"", {{"apns-id", "x"}}, kBody, kNone, 0, ""}).apnsId, kNewId);
}

}  // namespace
}  // namespace host::gateway
