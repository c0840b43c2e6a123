#include "Foundation/URL.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(URLFromStringTest, AcceptsOnlyWholeRfc3986References) {
  struct Row {
    std::string text;
    bool valid;
  } const rows[] = {
      {"https://example.com:8443/a/b.png?w=100&h=2#top", true},
      {"http://[::1]:8080/x", true},
      {"foo", true},  // a relative reference is still a URL
      {"", false},
      {"http://exa mple.com/", false},
      {"http://h/pic.jpg ", false},
      {"http://h/\xC3\xA9", false},
      {"http://h/%zz", false},
      {"http://h/x#a#b", false},
      {std::string("http://h/x\0y", 12), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.text));
    EXPECT_EQ(URL::fromString(row.text).has_value(), row.valid);
  }
  // The text is kept as given; only the scheme is lower-cased.
  const std::optional<URL> url = URL::fromString("HTTP://Example.COM/%7e/./a?Q=1#F");
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->absoluteString(), "HTTP://Example.COM/%7e/./a?Q=1#F");
  EXPECT_EQ(url->scheme(), "http");
  EXPECT_FALSE(url->isFileURL());
}

TEST(FileURLWithPathTest, EncodesWhatAPathCannotCarryAndRoundTrips) {
  struct Row {
    std::string path;
    const char* text;  // null: only the round trip is checked
  } const rows[] = {
      {"/a b%?#", "file:///a%20b%25%3F%23"},
      {"/keep/-._~!$&'()*+,;=:@", "file:///keep/-._~!$&'()*+,;=:@"},
      {"/caf\xC3\xA9", "file:///caf%C3%A9"},
      {"/ctl\x01\x7F\n", "file:///ctl%01%7F%0A"},
      {"//double//slash/", nullptr},
      {"/bad\xFF\xFEutf8", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.path));
    const URL url = URL::fileURLWithPath(row.path);
    if (row.text != nullptr) {
      EXPECT_EQ(url.absoluteString(), row.text);
    }
    EXPECT_EQ(url.path(), row.path);
    EXPECT_TRUE(URL::fromString(url.absoluteString()).has_value()) << url.absoluteString();
  }
}

}  // namespace
