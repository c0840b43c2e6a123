// The payload reader gives what nlohmann's parser gives, on the texts where a reader of its
// own is most likely to part from it: each row is read by both, and must come out the same.
#include "host/JsonReader.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using nlohmann::json;

TEST(JsonReader, ReadsAndRefusesAsTheParserDoes) {
  const char* const texts[] = {
      // Whitespace, a byte order mark (and one cut short), trailing text, nothing at all.
      " \t\r\n{\"a\" : [ 1 , 2 ] }\n", "\xEF\xBB\xBF{}", "\xEF\xBB{}", "{} x", "", "  ",
      // Numbers: signed only when negative, integers past 64 bits as floats, a float past a
      // double refused, one below its smallest read as the parser reads it.
      "[0,-0,7,-7,0.5,-0.0,1E2,1e+2,2.5e-3,12345678901234567890]",
      "[9223372036854775807,-9223372036854775808,-9223372036854775809,18446744073709551616]",
      "1e400", "-1e400", "1e-400", "5e-324", "01", "1.", ".5", "-", "1e", "1e+", "+1", "0x10",
      // Strings: escapes, surrogate pairs and lone halves, control bytes, UTF-8 well formed and
      // not (overlong, a surrogate, past U+10FFFF, cut short).
      R"(["\"\\\/\b\f\n\r\t","\u00e9\u20ac\ud83d\ude00","\u0000"])", R"("\ud800")", R"("\udc00")",
      R"("\ud800\u0041")", R"("\x")", R"("\u12")", "\"a\tb\"", "\"caf\xC3\xA9\"",
      "\"\xF0\x9F\x98\x80\"", "\"\xC0\xAF\"", "\"\xE0\x80\x80\"", "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"", "\"\xC3\"", "\"\x80\"", "\"open",
      // Literals, and objects: the last of a key given twice stands.
      "[true,false,null]", "tru", "nul", "[true false]", R"({"a":1,"a":2})", R"({"a":1,})", "[1,]",
      R"({"a"})", R"({1:2})", "[[[[]]]]", "{\"a\":{\"b\":{}}}"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const json expected = json::parse(text, nullptr, /*allow_exceptions=*/false);
    json read;
    const host::JsonRead verdict = host::readJSON(text, 512, read);
    ASSERT_EQ(verdict, expected.is_discarded() ? host::JsonRead::invalid : host::JsonRead::value);
    if (verdict != host::JsonRead::value) continue;
    EXPECT_EQ(read, expected);
    EXPECT_EQ(read.dump(), expected.dump());  // the same types too: 1 and 1.0 dump apart
  }
}

TEST(JsonReader, StopsWhereObjectsAndArraysOpenPastTheDepth) {
  json read;
  EXPECT_EQ(host::readJSON("[[1]]", 2, read), host::JsonRead::value);
  EXPECT_EQ(host::readJSON("[[[1]]]", 2, read), host::JsonRead::tooDeep);
  EXPECT_EQ(host::readJSON(R"({"a":{"b":{}}})", 2, read), host::JsonRead::tooDeep);
  EXPECT_EQ(host::readJSON("[[1]", 2, read), host::JsonRead::invalid);
  // Half a million levels: refused without building them or exhausting the stack.
  const std::string deep = std::string(1 << 19, '[') + std::string(1 << 19, ']');
  EXPECT_EQ(host::readJSON(deep, 512, read), host::JsonRead::tooDeep);
}

}  // namespace
