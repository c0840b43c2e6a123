#include "Foundation/URL.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Foundation/Data.hpp"
#include "tests/support/TempDir.hpp"

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

// The cache store names its file "<md5 hex>.<extension of the address>", so whatever an
// address's extension holds must end up as one file directly in the caches directory.
TEST(URLBuildingTest, CacheFileNamesStayOneFileInsideTheDirectory) {
  testing_support::TempDir temp;
  const std::string directory = temp.file("Caches d\xC3\xA9j\xC3\xA0 %20");
  ASSERT_EQ(mkdir(directory.c_str(), 0777), 0);
  const std::string hex = "900150983cd24fb0d6963f7d28e17f72";
  for (const std::string ext :
       {"jpg?w=100", "jpg#frag", "100%", "%2F", "..", "\xC3\xA9t\xC3\xA9"}) {
    SCOPED_TRACE("extension " + ::testing::PrintToString(ext));
    const std::optional<URL> url =
        URL::fileURLWithPath(directory).appendingPathComponent(hex).appendingPathExtension(ext);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->path(), directory + "/" + hex + "." + ext);
    ASSERT_FALSE(Data("image").write(*url).has_value());
    EXPECT_EQ(testing_support::readFile(directory + "/" + hex + "." + ext), "image");
    ASSERT_EQ(unlink(url->path().c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_empty(directory));
  }
}

}  // namespace
