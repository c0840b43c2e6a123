#include "UserNotifications/PushPayload.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using nlohmann::json;

TEST(PushPayload, ContentComesFromAps) {
  struct Row {
    const char* payload;
    const char* fields;  // what differs from empty text and null badge and sound
    bool mutableContent;
  } const rows[] = {
      {R"({"aps":{"alert":"Hello","mutable-content":1}})", R"({"body":"Hello"})", true},
      {R"({"aps":{"alert":{"title":"T","subtitle":"S","body":"B"},"badge":3,"sound":"ping",
          "thread-id":"th","category":"cat","mutable-content":1},"image":"http://h/a.png"})",
       R"({"title":"T","subtitle":"S","body":"B","badge":3,"sound":"ping",
           "threadIdentifier":"th","categoryIdentifier":"cat"})",
       true},
      // A title alone lets the extension run; a subtitle alone is nothing to show.
      {R"({"aps":{"alert":{"title":"T"},"mutable-content":1}})", R"({"title":"T"})", true},
      {R"({"aps":{"alert":{"subtitle":"S"},"mutable-content":1}})", R"({"subtitle":"S"})", false},
      {R"({"aps":{"alert":"Hi","mutable-content":2}})", R"({"body":"Hi"})", false},
      {R"({"aps":{"alert":"Hi","mutable-content":0}})", R"({"body":"Hi"})", false},
      // A critical sound is an object, kept as it came.
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"name":"a.caf"}}})",
       R"({"body":"Hi","sound":{"critical":1,"name":"a.caf"}})", false},
      {R"({"image":"http://h/a.png"})", "{}", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload);
    const json payload = json::parse(row.payload);
    std::string error;
    std::optional<UNPushRequest> r = UNPushRequestFromPayload("req", payload, &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->request->identifier(), "req");
    EXPECT_EQ(r->mutableContent, row.mutableContent);
    json expected = {{"title", ""},
                     {"subtitle", ""},
                     {"body", ""},
                     {"badge", nullptr},
                     {"sound", nullptr},
                     {"threadIdentifier", ""},
                     {"categoryIdentifier", ""},
                     {"userInfo", payload},
                     {"attachments", json::array()}};
    expected.update(json::parse(row.fields));
    EXPECT_EQ(json::parse(UNNotificationContentJSON(*r->request->content()).dump()), expected);
  }
}

TEST(PushPayload, WrongShapesAreRefusedWithTheReason) {
  struct Row {
    const char* payload;
    const char* says;
  } const rows[] = {
      {R"({"aps":{"alert":5}})", R"("aps.alert" is neither a string nor an object)"},
      {R"({"aps":{"alert":{"body":["b"]}}})", R"(aps.alert."body" is not a string)"},
      {R"({"aps":{"alert":"Hi","badge":"3"}})", R"("aps.badge" is not a number)"},
      {R"({"aps":{"alert":"Hi","thread-id":7}})", R"(aps."thread-id" is not a string)"},
      // The flag is a number; a boolean that merely looks like 1 is a mistake.
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
      {R"(  {"id":"a-1","payload":{"aps":{}}}  )", "a-1", ""},
      {R"({"payload":{"aps":{}}})", "7", ""},  // named by its line number
      {R"({"id":5,"payload":{}})", nullptr, R"("id" is not a string)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string error;
    std::optional<UNInputLine> parsed = UNParseInputLine(row.line, 7, &error);
    ASSERT_EQ(parsed.has_value(), row.identifier != nullptr) << error;
    if (parsed) {
      EXPECT_EQ(parsed->identifier, row.identifier);
      EXPECT_TRUE(parsed->payload.is_object());
    } else {
      EXPECT_NE(error.find(row.says), std::string::npos) << error;
    }
  }
}

}  // namespace
