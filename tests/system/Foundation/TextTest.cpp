#include "Foundation/Text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// The cache file's name for whole addresses (a query included) is NotificationServiceTest's.
TEST(PathExtensionTest, FollowsTheLastComponentRule) {
  struct Row {
    const char* path;
    const char* extension;
    const char* lastComponent;
  } const rows[] = {
      {"http://h/x?y=/z", "", "z"},  // a slash in the query still splits
      {"https://example.com", "com", "example.com"},
      {"http://h/a.b/c", "", "c"},
      {"http://h/p.tar.gz", "gz", "p.tar.gz"},
      {"http://h/x.jpg#frag", "jpg#frag", "x.jpg#frag"},  // like a query, the fragment stays
      {"http://h/pic.", "", "pic."},
      {"a/pic.jpg//", "jpg", "pic.jpg"},
      {"noslash.txt", "txt", "noslash.txt"},
      {"", "", ""},
      {"///", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("path \"") + row.path + "\"");
    EXPECT_EQ(pathExtension(row.path), row.extension);
    EXPECT_EQ(lastPathComponent(row.path), row.lastComponent);
  }
}

TEST(DataUsingUTF8Test, KeepsWellFormedTextByteForByteAndRefusesTheRest) {
  struct Row {
    std::string bytes;
    bool valid;
    const char* what;
  } const rows[] = {
      {"", true, "empty"},
      {std::string("a\0b", 3), true, "U+0000 is a character like any other"},
      {"\u00e9", true, "\u00e9 as the two bytes C3 A9"},
      {"\xED\x9F\xBF", true, "U+D7FF, just below the surrogates"},
      {"\xEE\x80\x80", true, "U+E000, just above them"},
      {"\xF4\x8F\xBF\xBF", true, "U+10FFFF, the last code point"},
      {"\xC0\xAF", false, "overlong two-byte '/'"},
      {"\xE0\x80\xAF", false, "overlong three-byte"},
      {"\xF0\x80\x80\xAF", false, "overlong four-byte"},
      {"\xED\xA0\x80", false, "surrogate U+D800"},
      {"\xF4\x90\x80\x80", false, "U+110000"},
      {"\xF8\x88\x80\x80\x80", false, "five-byte form"},
      {"a\xBF", false, "stray continuation byte"},
      {"ok\xE2\x82", false, "truncated tail"},
      {"\xC3\x41", false, "lead byte followed by ASCII"},
      {"\xFF", false, "byte FF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::optional<Data> data = dataUsingUTF8(row.bytes);
    ASSERT_EQ(data.has_value(), row.valid);
    if (data) {
      EXPECT_EQ(data->view(), row.bytes);
    }
  }
}

}  // namespace
