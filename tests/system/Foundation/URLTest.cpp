#include "Foundation/URL.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/Data.hpp"
#include "Foundation/NSString.hpp"
#include "tests/support/TempDir.hpp"

namespace {

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

TEST(URLFromStringTest, AcceptsOnlyWholeRfc3986References) {
  struct Row {
    std::string text;
    bool valid;
  };
  const Row rows[] = {
      {"http://example.com/pic.jpg", true},
      {"https://example.com:8443/a/b.png?w=100&h=2#top", true},
      {"http://[::1]:8080/x", true},
      {"http://h/%41%7e", true},
      {"foo", true},  // a relative reference is still a URL
      {"file:///tmp/x", true},
      {"", false},
      {"http://exa mple.com/", false},
      {"http://h/pic.jpg ", false},
      {"http://h/\xC3\xA9", false},
      {"http://h/%zz", false},
      {"http://h/%4", false},
      {"http://h/x#a#b", false},
      {"http://h/x\n", false},
      {std::string("http://h/x\0y", 12), false},
      {"http://h/<x>", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.text));
    EXPECT_EQ(URL::fromString(row.text).has_value(), row.valid);
  }
}

TEST(URLFromStringTest, KeepsTheTextAndLowerCasesOnlyTheScheme) {
  const std::string text = "HTTP://Example.COM/%7e/./a?Q=1#F";
  const std::optional<URL> url = URL::fromString(text);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->absoluteString(), text);
  EXPECT_EQ(url->scheme(), "http");
  EXPECT_FALSE(url->isFileURL());
  EXPECT_EQ(url->path(), "");
  EXPECT_EQ(URL::fromString("foo")->scheme(), "");
}

TEST(URLFromStringTest, FileURLsGiveTheirDecodedPath) {
  struct Row {
    const char* text;
    const char* path;
  };
  const Row rows[] = {
      {"file:///tmp/x", "/tmp/x"},
      {"FILE:///tmp/x", "/tmp/x"},
      {"file://localhost/tmp/x", "/tmp/x"},
      {"file:/tmp/x", "/tmp/x"},
      {"file:///tmp/a%20b%3Fc?query#frag", "/tmp/a b?c"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::optional<URL> url = URL::fromString(row.text);
    ASSERT_TRUE(url.has_value());
    EXPECT_TRUE(url->isFileURL());
    EXPECT_EQ(url->path(), row.path);
  }
}

TEST(FileURLWithPathTest, EncodesWhatAPathCannotCarryAndRoundTrips) {
  struct Row {
    std::string path;
    const char* text;  // expected absoluteString, or nullptr to check only the round trip
  };
  const Row rows[] = {
      {"/tmp/plain", "file:///tmp/plain"},
      {"/a b%?#", "file:///a%20b%25%3F%23"},
      {"/keep/-._~!$&'()*+,;=:@", "file:///keep/-._~!$&'()*+,;=:@"},
      {"/caf\xC3\xA9", "file:///caf%C3%A9"},
      {"/ctl\x01\x7F\n", "file:///ctl%01%7F%0A"},
      {"/", "file:///"},
      {"//double//slash/", nullptr},
      {"/100%25 literally", nullptr},
      {"/bad\xFF\xFEutf8", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.path));
    const URL url = URL::fileURLWithPath(row.path);
    if (row.text != nullptr) {
      EXPECT_EQ(url.absoluteString(), row.text);
    }
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.path(), row.path);
    EXPECT_TRUE(URL::fromString(url.absoluteString()).has_value()) << url.absoluteString();
  }
}

TEST(FileURLWithPathTest, TakesRelativePathsAgainstTheWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string base = std::string(cwd) == "/" ? "" : cwd;
  EXPECT_EQ(URL::fileURLWithPath("rel/x y").path(), base + "/rel/x y");
}

TEST(URLBuildingTest, AppendsOneEncodedSegment) {
  struct Row {
    const char* base;
    const char* component;
    const char* text;
  };
  const Row rows[] = {
      {"file:///d", "name", "file:///d/name"},
      {"file:///d/", "name", "file:///d/name"},
      {"file:///d", "a/b?c#d%e f", "file:///d/a%2Fb%3Fc%23d%25e%20f"},
      {"http://h", "x", "http://h/x"},
      {"http://h/a?q=1#f", "b", "http://h/a/b?q=1#f"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.base) + " + " + row.component);
    EXPECT_EQ(URL::fromString(row.base)->appendingPathComponent(row.component).absoluteString(),
              row.text);
  }
}

TEST(URLBuildingTest, AppendsAnExtensionToTheLastSegment) {
  struct Row {
    const char* base;
    std::string ext;
    const char* text;  // nullptr: absent
  };
  const Row rows[] = {
      {"file:///d/f", "jpg", "file:///d/f.jpg"},
      {"file:///d/f", "", "file:///d/f"},
      {"file:///d/f", "jpg?w=100", "file:///d/f.jpg%3Fw=100"},
      {"file:///d/f/", "jpg", "file:///d/f.jpg/"},
      {"http://h/f?q#x", "png", "http://h/f.png?q#x"},
      {"http://h/", "png", "http://h/"},
      {"file:///d/f", "a/b", nullptr},
      {"file:///d/f", std::string("a\0b", 3), nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.base) + " + " + ::testing::PrintToString(row.ext));
    const std::optional<URL> url = URL::fromString(row.base)->appendingPathExtension(row.ext);
    ASSERT_EQ(url.has_value(), row.text != nullptr);
    if (url) {
      EXPECT_EQ(url->absoluteString(), row.text);
    }
  }
}

// The cache store names its file "<md5 hex>" + "." + extension, the extension taken from
// an address, so whatever the address holds must end up as one file directly in the
// caches directory.
TEST(URLBuildingTest, CacheFileNamesStayOneFileInsideTheDirectory) {
  testing_support::TempDir temp;
  const std::string directory = temp.file("Caches d\xC3\xA9j\xC3\xA0 %20");
  ASSERT_EQ(mkdir(directory.c_str(), 0777), 0);
  const std::string hex = "900150983cd24fb0d6963f7d28e17f72";
  const std::string rows[] = {
      "jpg", "jpg?w=100", "jpg#frag",          "100%",        "%2F",
      "..",  "a b",       "\xC3\xA9t\xC3\xA9", "x?a=1&b=2;c", std::string(200, 'x'),
  };
  for (const std::string& ext : rows) {
    SCOPED_TRACE("extension " + ::testing::PrintToString(ext));
    const std::optional<URL> url =
        URL::fileURLWithPath(directory).appendingPathComponent(hex).appendingPathExtension(ext);
    ASSERT_TRUE(url.has_value());
    const std::string name = hex + "." + ext;
    EXPECT_EQ(url->path(), directory + "/" + name);
    EXPECT_TRUE(URL::fromString(url->absoluteString()).has_value()) << url->absoluteString();
    ASSERT_FALSE(Data("image").write(*url).has_value());
    EXPECT_EQ(entries(directory), std::vector<std::string>{name});
    ASSERT_EQ(unlink((directory + "/" + name).c_str()), 0);
  }
}

}  // namespace
