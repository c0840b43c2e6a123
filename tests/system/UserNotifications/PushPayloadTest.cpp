#include "UserNotifications/PushPayload.hpp"

#include <gtest/gtest.h>

#include <string>

#include "UserNotifications/HostOutput.hpp"

namespace {

using nlohmann::json;
using namespace usernotifications;

// Every refusal is the platform's error for JSON it cannot use, and says why.
void expectRefusal(const NSError& error, const std::string& says) {
  EXPECT_EQ(error.domain, NSCocoaErrorDomain);
  EXPECT_EQ(error.code, NSPropertyListReadCorruptError);
  EXPECT_NE(error.description.find(says), std::string::npos) << error.description;
}

TEST(PushPayload, ContentComesFromApsAndWrongShapesAreRefusedWithTheReason) {
  struct Row {
    const char* payload;
    const char* fields;  // what differs from empty text and null badge and sound; null: refused
    const char* says;    // why the extension does not run (null when it does), or the refusal
  } const rows[] = {
      {R"({"aps":{"alert":"Hello","mutable-content":1}})", R"({"body":"Hello"})", nullptr},
      {R"({"aps":{"alert":{"title":"T","subtitle":"S","body":"B"},"badge":3,"sound":"ping",
          "thread-id":"th","category":"cat","mutable-content":1},"image":"http://h/a.png"})",
       R"({"title":"T","subtitle":"S","body":"B","badge":3,"sound":"ping",
           "threadIdentifier":"th","categoryIdentifier":"cat"})",
       nullptr},
      // A title alone lets the extension run; a subtitle alone is nothing to show.
      {R"({"aps":{"alert":{"title":"T"},"mutable-content":1}})", R"({"title":"T"})", nullptr},
      {R"({"aps":{"alert":{"subtitle":"S"},"mutable-content":1}})", R"({"subtitle":"S"})",
       "the alert has no title or body"},
      {R"({"aps":{"alert":"Hi","mutable-content":2}})", R"({"body":"Hi"})",
       "mutable-content is not 1"},
      // A critical sound is an object, kept as it came.
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"name":"a.caf"}}})",
       R"({"body":"Hi","sound":{"critical":1,"name":"a.caf"}})", "mutable-content is not 1"},
      {R"({"image":"http://h/a.png"})", "{}", "mutable-content is not 1"},
      // The refusals.
      {R"([1])", nullptr, "payload is not a JSON object"},
      {R"({"aps":"x"})", nullptr, R"("aps" is not an object)"},
      {R"({"aps":{"alert":5}})", nullptr, R"("aps.alert" is neither a string nor an object)"},
      {R"({"aps":{"alert":{"body":["b"]}}})", nullptr, R"(aps.alert."body" is not a string)"},
      {R"({"aps":{"alert":"Hi","badge":"3"}})", nullptr, R"("aps.badge" is not a number)"},
      {R"({"aps":{"alert":"Hi","thread-id":7}})", nullptr, R"(aps."thread-id" is not a string)"},
      // The flag is a number; a boolean that merely looks like 1 is a mistake.
      {R"({"aps":{"alert":"Hi","mutable-content":true}})", nullptr, "mutable-content"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload);
    const json payload = json::parse(row.payload);
    foundation::Result<PushRequest> r = pushRequestFromPayload("req", payload);
    if (row.fields == nullptr) {
      ASSERT_FALSE(r.ok());
      expectRefusal(r.error(), row.says);
      continue;
    }
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(r->request->identifier(), "req");
    EXPECT_EQ(r->mutableContent, row.says == nullptr);
    EXPECT_STREQ(r->notMutableReason, row.says);
    json expected = json::parse(R"({"title":"","subtitle":"","body":"","badge":null,"sound":null,
        "threadIdentifier":"","categoryIdentifier":"","attachments":[]})");
    expected["userInfo"] = payload;
    expected.update(json::parse(row.fields));
    EXPECT_EQ(json::parse(contentJSON(*r->request->content()).dump()), expected);
  }
}

TEST(PushPayload, InputLines) {
  // A 1 MiB line nested half a million levels deep: refused, without exhausting the stack.
  const std::string deep = R"({"id":"deep","payload":{"x":)" + std::string(1 << 19, '[') +
                           std::string(1 << 19, ']') + "}}";
  // A payload `depth` levels deep.
  auto nested = [](int depth) {
    const auto inner = static_cast<std::size_t>(depth - 1);
    return R"({"payload":{"x":)" + std::string(inner, '[') + std::string(inner, ']') + "}}";
  };
  struct Row {
    std::string line;
    const char* identifier;  // null when refused
    const char* says;
  } const rows[] = {
      {R"(  {"id":"a-1","payload":{"aps":{}}}  )", "a-1", ""},
      {R"({"payload":{"aps":{}}})", "7", ""},  // named by its line number
      {nested(kMaximumPayloadDepth), "7", ""},
      {nested(kMaximumPayloadDepth + 1), nullptr, "nested deeper than 512 levels"},
      {deep, nullptr, "nested deeper than 512 levels"},
      {"this is not JSON", nullptr, "not valid JSON"},
      {"{\"id\": \"\xff\xfe\", \"payload\": {}}", nullptr, "not valid JSON"},
      {"[1, 2, 3]", nullptr, "not a JSON object"},
      {R"({"id":5,"payload":{}})", nullptr, R"("id" is not a string)"},
      {R"({"id":"p"})", nullptr, R"(no "payload")"},
      {R"({"id":"p","payload":[1]})", nullptr, R"("payload" is not a JSON object)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 80));
    foundation::Result<InputLine> parsed = parseInputLine(row.line, 7);
    ASSERT_EQ(parsed.ok(), row.identifier != nullptr)
        << (parsed.ok() ? "" : parsed.error().description);
    if (parsed.ok()) {
      EXPECT_EQ(parsed->identifier, row.identifier);
      EXPECT_TRUE(parsed->payload.is_object());
    } else {
      expectRefusal(parsed.error(), row.says);
    }
  }
}

}  // namespace
