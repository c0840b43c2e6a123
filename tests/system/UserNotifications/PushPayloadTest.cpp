#include "UserNotifications/PushPayload.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;

struct PayloadRow {
  const char* payload;
  // Expected when the payload is accepted.
  const char* title;
  const char* subtitle;
  const char* body;
  const char* badge;  // JSON text
  const char* sound;  // JSON text
  const char* threadIdentifier;
  const char* categoryIdentifier;
  bool mutableContent;
};

TEST(PushPayload, ContentComesFromAps) {
  const PayloadRow rows[] = {
      {R"({"aps":{"alert":"Hello","mutable-content":1}})", "", "", "Hello", "null", "null", "", "",
       true},
      {R"({"aps":{"alert":{"title":"T","subtitle":"S","body":"B"},"badge":3,"sound":"ping",
          "thread-id":"th","category":"cat","mutable-content":1},"image":"http://h/a.png"})",
       "T", "S", "B", "3", R"("ping")", "th", "cat", true},
      // A title alone is enough to let the extension run.
      {R"({"aps":{"alert":{"title":"T"},"mutable-content":1}})", "T", "", "", "null", "null", "",
       "", true},
      // Nothing to show: the extension does not run, whatever mutable-content says.
      {R"({"aps":{"alert":{"subtitle":"S"},"mutable-content":1}})", "", "S", "", "null", "null", "",
       "", false},
      {R"({"aps":{"mutable-content":1}})", "", "", "", "null", "null", "", "", false},
      {R"({"aps":{"alert":"Hi","mutable-content":0}})", "", "", "Hi", "null", "null", "", "",
       false},
      {R"({"aps":{"alert":"Hi","mutable-content":2}})", "", "", "Hi", "null", "null", "", "",
       false},
      {R"({"aps":{"alert":"Hi"}})", "", "", "Hi", "null", "null", "", "", false},
      // A critical sound is an object, kept as it came.
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"name":"a.caf","volume":0.5}}})", "", "", "Hi",
       "null", R"({"critical":1,"name":"a.caf","volume":0.5})", "", "", false},
      {R"({"aps":{"alert":"Hi","badge":0,"alert-extra":null}})", "", "", "Hi", "0", "null", "", "",
       false},
      {R"({"image":"http://h/a.png"})", "", "", "", "null", "null", "", "", false},
      {R"({})", "", "", "", "null", "null", "", "", false},
  };
  for (const PayloadRow& row : rows) {
    SCOPED_TRACE(row.payload);
    const json payload = json::parse(row.payload);
    std::string error;
    std::optional<UNPushRequest> r = UNPushRequestFromPayload("req", payload, &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->request->identifier(), "req");
    const UNNotificationContent& c = *r->request->content();
    EXPECT_EQ(c.title(), row.title);
    EXPECT_EQ(c.subtitle(), row.subtitle);
    EXPECT_EQ(c.body(), row.body);
    EXPECT_EQ(c.badge(), json::parse(row.badge));
    EXPECT_EQ(c.sound(), json::parse(row.sound));
    EXPECT_EQ(c.threadIdentifier(), row.threadIdentifier);
    EXPECT_EQ(c.categoryIdentifier(), row.categoryIdentifier);
    EXPECT_EQ(c.userInfo(), payload);  // the whole payload, aps included
    EXPECT_TRUE(c.attachments().empty());
    EXPECT_EQ(r->mutableContent, row.mutableContent);
  }
}

TEST(PushPayload, WrongShapesAreRefusedWithTheReason) {
  struct Row {
    const char* payload;
    const char* says;
  } const rows[] = {
      {R"([1,2])", "payload is not a JSON object"},
      {R"("text")", "payload is not a JSON object"},
      {R"({"aps":[]})", R"("aps" is not an object)"},
      {R"({"aps":"alert"})", R"("aps" is not an object)"},
      {R"({"aps":{"alert":5}})", R"("aps.alert" is neither a string nor an object)"},
      {R"({"aps":{"alert":{"title":1}}})", R"(aps.alert."title" is not a string)"},
      {R"({"aps":{"alert":{"body":["b"]}}})", R"(aps.alert."body" is not a string)"},
      {R"({"aps":{"alert":"Hi","badge":"3"}})", R"("aps.badge" is not a number)"},
      {R"({"aps":{"alert":"Hi","thread-id":7}})", R"(aps."thread-id" is not a string)"},
      {R"({"aps":{"alert":"Hi","category":{}}})", R"(aps."category" is not a string)"},
      // The flag is a number; a string or a boolean that merely looks like 1 is a mistake.
      {R"({"aps":{"alert":"Hi","mutable-content":"1"}})", "mutable-content"},
      {R"({"aps":{"alert":"Hi","mutable-content":true}})", "mutable-content"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload);
    std::string error;
    EXPECT_FALSE(UNPushRequestFromPayload("req", json::parse(row.payload), &error));
    EXPECT_NE(error.find(row.says), std::string::npos) << error;
    EXPECT_FALSE(UNPushRequestFromPayload("req", json::parse(row.payload), nullptr));
  }
}

TEST(PushPayload, InputLines) {
  struct Row {
    const char* line;
    const char* identifier;  // null when refused
    const char* says;
  } const rows[] = {
      {R"({"id":"a-1","payload":{"aps":{}}})", "a-1", ""},
      {R"({"payload":{"aps":{}}})", "7", ""},
      {R"(  {"id":"spaced","payload":{}}  )", "spaced", ""},
      {R"({"id":"","payload":{}})", "", ""},
      {R"({"id":5,"payload":{}})", nullptr, R"("id" is not a string)"},
      {R"({"id":null,"payload":{}})", nullptr, R"("id" is not a string)"},
      {R"(not json)", nullptr, "not valid JSON"},
      {R"({"id":"a","payload":{})", nullptr, "not valid JSON"},
      {R"([{"id":"a","payload":{}}])", nullptr, "not a JSON object"},
      {R"({"id":"a"})", nullptr, R"(no "payload")"},
      {R"({"id":"a","payload":[]})", nullptr, R"("payload" is not a JSON object)"},
      {R"({"id":"a","payload":null})", nullptr, R"("payload" is not a JSON object)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string error;
    std::optional<UNInputLine> parsed = UNParseInputLine(row.line, 7, &error);
    if (row.identifier == nullptr) {
      EXPECT_FALSE(parsed);
      EXPECT_NE(error.find(row.says), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->identifier, row.identifier);
    EXPECT_TRUE(parsed->payload.is_object());
  }
}

TEST(PushPayload, ContentJSONHasEveryFieldInOrder) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("a.png"), testing_support::pngBytes());
  const URL fileURL = URL::fileURLWithPath(dir.file("a.png"));
  auto attachment = UNNotificationAttachment::attachmentWithIdentifier("image_downloaded", fileURL,
                                                                       nullptr, nullptr);
  ASSERT_TRUE(attachment);

  const json payload = json::parse(
      R"({"aps":{"alert":{"title":"T","body":"B"},"badge":2,"mutable-content":1},"k":[1]})");
  std::optional<UNPushRequest> r = UNPushRequestFromPayload("id", payload, nullptr);
  ASSERT_TRUE(r);
  auto content = dynamicCast<UNMutableNotificationContent>(r->request->content()->mutableCopy());
  ASSERT_TRUE(content);
  content->setAttachments({attachment});

  const nlohmann::ordered_json expected = nlohmann::ordered_json::parse(R"({
      "title": "T", "subtitle": "", "body": "B", "badge": 2, "sound": null,
      "threadIdentifier": "", "categoryIdentifier": "",
      "userInfo": {"aps":{"alert":{"body":"B","title":"T"},"badge":2,"mutable-content":1},"k":[1]},
      "attachments": [{"identifier": "image_downloaded", "url": ")" + fileURL.absoluteString() +
                                                                        R"(",
                       "type": "public.png"}]})");
  EXPECT_EQ(UNNotificationContentJSON(*content).dump(), expected.dump());
}

}  // namespace
