#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The test executable has no Info.plist beside it, so its name stands in for the bundle id.
const std::string kId = "foundation_tests";

TEST(SearchPathTest, CachesDirectoryFollowsXdgThenHomeThenThePasswordDatabase) {
  const passwd* entry = getpwuid(getuid());
  struct Row {
    const char* xdg;   // null: unset
    const char* home;  // null: unset
    bool expandTilde;
    std::string expected;
  } const rows[] = {
      {"/xdg/cache", "/home/t", false, "/xdg/cache/" + kId},
      {nullptr, "/home/t", true, "/home/t/.cache/" + kId},
      {"", "/home/t", true, "/home/t/.cache/" + kId},
      {"relative/cache", "/home/t", true, "/home/t/.cache/" + kId},
      {nullptr, "/home/t", false, "~/.cache/" + kId},
      {nullptr, nullptr, true, std::string(entry ? entry->pw_dir : "?") + "/.cache/" + kId},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("XDG_CACHE_HOME=") + (row.xdg ? row.xdg : "(unset)") +
                 " HOME=" + (row.home ? row.home : "(unset)") +
                 " expandTilde=" + (row.expandTilde ? "1" : "0"));
    row.xdg != nullptr ? setenv("XDG_CACHE_HOME", row.xdg, 1) : unsetenv("XDG_CACHE_HOME");
    row.home != nullptr ? setenv("HOME", row.home, 1) : unsetenv("HOME");
    EXPECT_EQ(
        NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, row.expandTilde),
        std::vector<std::string>{row.expected});
  }
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(9, NSUserDomainMask, true).empty());
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, 2, true).empty());
}

}  // namespace
