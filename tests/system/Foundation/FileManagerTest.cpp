#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

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

TEST(FileManagerTest, CreateDirectoryMakesParentsOnlyWhenAskedAndRefusesAFileInTheWay) {
  testing_support::TempDir temp;
  testing_support::writeFile(temp.file("file"), "x");
  ::mkdir(temp.file("there").c_str(), 0700);
  struct Row {
    const char* path;
    bool intermediates;
    const char* error;  // null: made, or already there
  } const rows[] = {
      {"a/b/c", true, nullptr}, {"there", true, nullptr},          {"there", false, "mkdir("},
      {"x/y", false, "mkdir("}, {"file", true, "Not a directory"}, {"file/sub", true, "mkdir("},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path) + (row.intermediates ? " with parents" : ""));
    const foundation::Status made =
        FileManager::defaultManager().createDirectory(temp.file(row.path), row.intermediates, 0750);
    if (row.error == nullptr) {
      EXPECT_TRUE(made.ok()) << made.error().description;
      struct stat st {};
      ASSERT_EQ(::stat(temp.file(row.path).c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    } else {
      ASSERT_FALSE(made.ok());
      EXPECT_NE(made.error().description.find(row.error), std::string::npos)
          << made.error().description;
    }
  }
  const mode_t mask = umask(0);  // parents get the permissions asked for, less the umask
  umask(mask);
  struct stat parent {};
  EXPECT_TRUE(::stat(temp.file("a").c_str(), &parent) == 0 &&
              (parent.st_mode & 0777) == (0750 & ~mask));
}

}  // namespace
