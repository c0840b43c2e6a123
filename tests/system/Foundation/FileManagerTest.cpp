#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/TempDir.hpp"

namespace {

// The test executable has no Info.plist beside it, so its name stands in for the bundle id.
const std::string kId = "foundation_tests";

// The XDG rules, with the home directory the process must never make: a variable's absolute
// value, else below an existing home; a relative value is ignored, and a home that does not
// exist (Debian's "no home", /nonexistent) or is relative gives none.
TEST(SearchPathTest, UserDirectoriesFollowXdgThenAnExistingHome) {
  testing_support::TempDir home;
  const passwd* entry = getpwuid(getuid());
  const std::string account = entry != nullptr ? entry->pw_dir : "";
  struct stat status {};
  const bool accountHomeExists = ::stat(account.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  using Path = std::optional<std::string>;
  const Path accountCache = accountHomeExists ? Path(account + "/.cache") : std::nullopt;
  const Path accountState = accountHomeExists ? Path(account + "/.local/state") : std::nullopt;
  struct Row {
    Path xdg;  // XDG_CACHE_HOME and XDG_STATE_HOME, with "cache" and "state" after it
    Path home;
    Path cache;  // the user directories; absent: none
    Path state;
  } const rows[] = {
      {"/xdg/", home.path(), "/xdg/cache", "/xdg/state"},
      {std::nullopt, home.path(), home.path() + "/.cache", home.path() + "/.local/state"},
      {"", home.path(), home.path() + "/.cache", home.path() + "/.local/state"},
      {"relative/", home.path(), home.path() + "/.cache", home.path() + "/.local/state"},
      {"/xdg/", "/nonexistent", "/xdg/cache", "/xdg/state"},
      {std::nullopt, "/nonexistent", std::nullopt, std::nullopt},
      // A relative HOME is no home: the account's, when there is one.
      {std::nullopt, "relative", accountCache, accountState},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("XDG_*_HOME=" + row.xdg.value_or("(unset)") +
                 "... HOME=" + row.home.value_or("(unset)"));
    testing_support::ScopedEnvironment environment;
    environment.set("XDG_CACHE_HOME", row.xdg ? Path(*row.xdg + "cache") : std::nullopt);
    environment.set("XDG_STATE_HOME", row.xdg ? Path(*row.xdg + "state") : std::nullopt);
    environment.set("HOME", row.home);
    EXPECT_EQ(foundation::userDirectory(foundation::UserDirectory::cache), row.cache);
    EXPECT_EQ(foundation::userDirectory(foundation::UserDirectory::state), row.state);
    EXPECT_EQ(
        NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true),
        row.cache ? std::vector<std::string>{*row.cache + "/" + kId} : std::vector<std::string>{});
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
