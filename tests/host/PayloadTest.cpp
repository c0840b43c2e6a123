#include "host/Payload.hpp"

#include <gtest/gtest.h>

#include <string>

#include "host/OutputLine.hpp"

namespace {

using nlohmann::json;
using namespace host;

// Every refusal is the platform's error for JSON it cannot use, and says why.
void expectRefusal(const NSError& error, const std::string& says) {
  EXPECT_EQ(error.domain, NSCocoaErrorDomain);
  EXPECT_EQ(error.code, NSPropertyListReadCorruptError);
  EXPECT_NE(error.description.find(says), std::string::npos) << error.description;
}

TEST(Payload, ContentComesFromApsAndWrongShapesAreRefusedNamingTheField) {
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
      // A sound dictionary is a critical alert's sound when "critical" is 1, at full volume
      // unless it says otherwise; without a name it is the default one.
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"name":"a.caf"}}})",
       R"({"body":"Hi","sound":{"critical":true,"name":"a.caf","volume":1}})",
       "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"volume":0.25}}})",
       R"({"body":"Hi","sound":{"critical":true,"name":"default","volume":0.25}})",
       "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","sound":{"critical":0,"name":"a.caf","volume":0.25}}})",
       R"({"body":"Hi","sound":"a.caf"})", "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","sound":""}})", R"({"body":"Hi"})", "mutable-content is not 1"},
      // How the notification is presented. A level it does not know is the default one, and
      // a score outside 0 to 1 the nearer end.
      {R"({"aps":{"alert":"Hi","interruption-level":"time-sensitive","relevance-score":0.5,
          "target-content-id":"gallery","filter-criteria":"work"}})",
       R"({"body":"Hi","interruptionLevel":"timeSensitive","relevanceScore":0.5,
           "targetContentIdentifier":"gallery","filterCriteria":"work"})",
       "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","interruption-level":"passive","relevance-score":7}})",
       R"({"body":"Hi","interruptionLevel":"passive","relevanceScore":1})",
       "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","interruption-level":"critical","relevance-score":-2}})",
       R"({"body":"Hi","interruptionLevel":"critical","relevanceScore":0})",
       "mutable-content is not 1"},
      {R"({"aps":{"alert":"Hi","interruption-level":"urgent"}})", R"({"body":"Hi"})",
       "mutable-content is not 1"},
      // A localized text outside an app is its key, arguments in place; as a body it lets the
      // extension run. It wins over the plain text.
      {R"({"aps":{"alert":{"loc-key":"%@ is here","loc-args":["Ann"],"body":"plain"},
          "mutable-content":1}})",
       R"({"body":"Ann is here"})", nullptr},
      {R"({"aps":{"alert":{"title-loc-key":"T","subtitle-loc-key":"S %@",
          "subtitle-loc-args":["x"]},"mutable-content":1}})",
       R"({"title":"T","subtitle":"S x"})", nullptr},
      {R"({"image":"http://h/a.png"})", "{}", "mutable-content is not 1"},
      // The refusals.
      {R"([1])", nullptr, "payload is not a JSON object"},
      {R"({"aps":"x"})", nullptr, R"("aps" is not an object)"},
      {R"({"aps":{"alert":5}})", nullptr, R"("aps.alert" is neither a string nor an object)"},
      {R"({"aps":{"alert":{"body":["b"]}}})", nullptr, R"("aps.alert.body" is not a string)"},
      {R"({"aps":{"alert":{"title":7}}})", nullptr, R"("aps.alert.title" is not a string)"},
      {R"({"aps":{"alert":"Hi","badge":"3"}})", nullptr, R"("aps.badge" is not a number)"},
      {R"({"aps":{"alert":"Hi","sound":7}})", nullptr,
       R"("aps.sound" is neither a string nor an object)"},
      {R"({"aps":{"alert":"Hi","thread-id":7}})", nullptr, R"("aps.thread-id" is not a string)"},
      {R"({"aps":{"alert":"Hi","category":[]}})", nullptr, R"("aps.category" is not a string)"},
      {R"({"aps":{"alert":{"loc-key":1}}})", nullptr, R"("aps.alert.loc-key" is not a string)"},
      {R"({"aps":{"alert":{"loc-key":"K","loc-args":"Ann"}}})", nullptr,
       R"("aps.alert.loc-args" is not an array)"},
      {R"({"aps":{"alert":{"title-loc-key":"K","title-loc-args":["a",2]}}})", nullptr,
       R"("aps.alert.title-loc-args[1]" is not a string)"},
      {R"({"aps":{"alert":"Hi","sound":{"name":5}}})", nullptr,
       R"("aps.sound.name" is not a string)"},
      {R"({"aps":{"alert":"Hi","sound":{"critical":true}}})", nullptr,
       R"("aps.sound.critical" is not a number)"},
      {R"({"aps":{"alert":"Hi","sound":{"critical":1,"volume":"loud"}}})", nullptr,
       R"("aps.sound.volume" is not a number)"},
      {R"({"aps":{"alert":"Hi","interruption-level":3}})", nullptr,
       R"("aps.interruption-level" is not a string)"},
      {R"({"aps":{"alert":"Hi","relevance-score":"high"}})", nullptr,
       R"("aps.relevance-score" is not a number)"},
      {R"({"aps":{"alert":"Hi","target-content-id":{}}})", nullptr,
       R"("aps.target-content-id" is not a string)"},
      {R"({"aps":{"alert":"Hi","filter-criteria":1}})", nullptr,
       R"("aps.filter-criteria" is not a string)"},
      // The flag is a number; a boolean that merely looks like 1 is a mistake.
      {R"({"aps":{"alert":"Hi","mutable-content":true}})", nullptr,
       R"("aps.mutable-content" is not a number)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload);
    const json payload = json::parse(row.payload);
    foundation::Result<PushRequest> r = requestFromPayload("req", payload);
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
        "threadIdentifier":"","categoryIdentifier":"","interruptionLevel":"active",
        "relevanceScore":0,"targetContentIdentifier":null,"filterCriteria":null,
        "attachments":[]})");
    expected["userInfo"] = payload;
    expected.update(json::parse(row.fields));
    EXPECT_EQ(json::parse(contentText(*r->request->content())), expected);
  }
}

// Lines and payload files are read the same way: the payload alone counts for the nesting,
// and bytes that are not JSON (a NUL between two objects among them) refuse the whole input.
TEST(Payload, LinesAndFilesAreJSONOfTheSameRules) {
  // A 1 MiB line nested half a million levels deep: refused, without exhausting the stack.
  const std::string deep = std::string(1 << 19, '[') + std::string(1 << 19, ']');
  // A payload `depth` levels deep.
  auto nested = [](int depth) {
    const auto inner = static_cast<std::size_t>(depth - 1);
    return R"({"x":)" + std::string(inner, '[') + std::string(inner, ']') + "}";
  };
  struct Row {
    std::string payload;
    const char* says;  // null when accepted
  } const rows[] = {
      {R"({"aps":{}})", nullptr},
      {nested(kMaximumPayloadDepth), nullptr},
      {nested(kMaximumPayloadDepth + 1), "nested deeper than 512 levels"},
      {R"({"x":)" + deep + "}", "nested deeper than 512 levels"},
      {"this is not JSON", "not valid JSON"},
      {std::string(R"({"aps":{}})") + '\0' + R"({"aps":{}})", "not valid JSON: a NUL byte at byte"},
      {"{\"x\": \"\xff\xfe\"}", "not valid JSON"},
      {"[1, 2, 3]", "is not a JSON object"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload.substr(0, 80));
    const foundation::Result<PushRequest> file = requestFromPayloadText("file.json", row.payload);
    const foundation::Result<PushRequest> line =
        requestFromLine(R"({"id":"a","payload":)" + row.payload + "}", 7);
    for (const foundation::Result<PushRequest>* r : {&file, &line}) {
      ASSERT_EQ(r->ok(), row.says == nullptr) << (r->ok() ? "" : r->error().description);
      if (!r->ok()) expectRefusal(r->error(), row.says);
    }
  }
}

TEST(Payload, TheLineAroundThePayload) {
  struct Row {
    std::string line;
    const char* identifier;  // null when refused
    const char* says;
  } const rows[] = {
      {R"(  {"id":"a-1","payload":{"aps":{}}}  )", "a-1", ""},
      {R"({"payload":{"aps":{}}})", "7", ""},  // named by its line number
      {"[1, 2, 3]", nullptr, "not a JSON object"},
      {R"({"id":5,"payload":{}})", nullptr, R"("id" is not a string)"},
      {R"({"id":"p"})", nullptr, R"(no "payload")"},
      {R"({"id":"p","payload":[1]})", nullptr, R"("payload" is not a JSON object)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    foundation::Result<PushRequest> parsed = requestFromLine(row.line, 7);
    ASSERT_EQ(parsed.ok(), row.identifier != nullptr)
        << (parsed.ok() ? "" : parsed.error().description);
    if (parsed.ok()) {
      EXPECT_EQ(parsed->request->identifier(), row.identifier);
    } else {
      expectRefusal(parsed.error(), row.says);
    }
  }
}

// The content is written as text rather than dumped: its userInfo must come out byte for byte
// as the serializer writes it, escapes, numbers and all.
TEST(Payload, TheContentsUserInfoIsWrittenAsTheSerializerWritesIt) {
  const char* const payloads[] = {
      R"({"aps":{},"s":"plain","e":"quote \" slash \\ tab \t nul \u0000 del \u007f",)"
      R"("u":"caf\u00e9 \ud83d\ude00 \u2028","k\u00e9y":1})",
      R"({"i":[0,-1,9223372036854775807,-9223372036854775808,18446744073709551615],)"
      R"("f":[0.1,-0.0,1e300,2.5e-8,1.0,12345678.9],"b":[true,false,null],"o":{},"a":[[],[{}]]})",
  };
  for (const char* payload : payloads) {
    SCOPED_TRACE(payload);
    foundation::Result<PushRequest> r = requestFromPayloadText("req", payload);
    ASSERT_TRUE(r.ok()) << r.error().description;
    const std::string text = contentText(*r->request->content());
    const std::string userInfo = r->request->content()->userInfo().dump();
    EXPECT_NE(text.find(R"("userInfo":)" + userInfo + R"(,"attachments")"), std::string::npos)
        << text;
  }
}

}  // namespace
