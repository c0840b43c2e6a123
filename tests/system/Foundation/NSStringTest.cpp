#include "Foundation/NSString.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PathExtensionTest, FollowsTheLastComponentRule) {
  struct Row {
    const char* path;
    const char* extension;
  };
  const Row rows[] = {
      {"http://h/pic.jpg", "jpg"},
      {"http://h/pic.jpg?w=100", "jpg?w=100"},
      {"http://h/img?name=a.png", "png"},
      {"https://example.com", "com"},
      {"http://example.com/", "com"},
      {"http://h/a.b/c", ""},
      {"http://h/a.b/c/", ""},
      {"", ""},
      {"/", ""},
      {"///", ""},
      {"http://h/p.tar.gz", "gz"},
      {"http://h/x.jpg#frag", "jpg#frag"},
      {"http://h/pic.", ""},
      {"a/pic.jpg//", "jpg"},
      {"noslash.txt", "txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("path \"") + row.path + "\"");
    EXPECT_EQ(pathExtension(row.path), row.extension);
  }
}

TEST(LastPathComponentTest, IgnoresTrailingSlashes) {
  struct Row {
    const char* path;
    const char* component;
  };
  const Row rows[] = {
      {"", ""},         {"/", ""},        {"/a/b", "b"},
      {"/a/b///", "b"}, {"name", "name"}, {"http://h/x?y=/z", "z"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("path \"") + row.path + "\"");
    EXPECT_EQ(lastPathComponent(row.path), row.component);
  }
}

TEST(DataUsingUTF8Test, KeepsWellFormedTextByteForByte) {
  const std::string rows[] = {
      "",
      "abc",
      std::string("a\0b", 3),  // U+0000 is a character like any other
      "\xC3\xA9",              // é
      "\xE2\x82\xAC",          // €
      "\xED\x9F\xBF",          // U+D7FF, just below the surrogates
      "\xEE\x80\x80",          // U+E000, just above them
      "\xF0\x9D\x84\x9E",      // U+1D11E, four bytes
      "\xF4\x8F\xBF\xBF",      // U+10FFFF, the last code point
  };
  for (const std::string& text : rows) {
    SCOPED_TRACE(::testing::PrintToString(text));
    const std::optional<Data> data = dataUsingUTF8(text);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->view(), text);
  }
}

TEST(DataUsingUTF8Test, EAcuteIsTwoBytes) {
  const std::optional<Data> data = dataUsingUTF8("\u00e9");
  ASSERT_TRUE(data.has_value());
  ASSERT_EQ(data->count(), 2u);
  EXPECT_EQ(data->bytes()[0], 0xC3);
  EXPECT_EQ(data->bytes()[1], 0xA9);
}

TEST(DataUsingUTF8Test, RejectsMalformedBytes) {
  struct Row {
    std::string bytes;
    const char* why;
  };
  const Row rows[] = {
      {"\xC0\xAF", "overlong two-byte '/'"},
      {"\xC1\xBF", "overlong two-byte"},
      {"\xE0\x80\xAF", "overlong three-byte"},
      {"\xF0\x80\x80\xAF", "overlong four-byte"},
      {"\xED\xA0\x80", "surrogate U+D800"},
      {"\xED\xBF\xBF", "surrogate U+DFFF"},
      {"\xF4\x90\x80\x80", "U+110000"},
      {"\xF8\x88\x80\x80\x80", "five-byte form"},
      {"\x80", "stray continuation byte"},
      {"a\xBF", "continuation after ASCII"},
      {"\xC3", "truncated two-byte"},
      {"\xE2\x82", "truncated three-byte"},
      {"\xF0\x9D\x84", "truncated four-byte"},
      {"\xC3\x41", "lead byte followed by ASCII"},
      {"\xFF", "byte FF"},
      {"ok\xE2\x82\xAC\xE2\x82", "valid prefix, truncated tail"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_FALSE(dataUsingUTF8(row.bytes).has_value());
  }
}

}  // namespace
