#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace {

// Sets or unsets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The test executable has no Info.plist beside it, so its name stands in for the bundle id.
constexpr const char* kId = "foundation_tests";

std::vector<std::string> cachesSearch(bool expandTilde = true) {
  return NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, expandTilde);
}

TEST(FileManagerTest, FileExistsAtPath) {
  testing_support::TempDir temp;
  testing_support::writeFile(temp.file("f"), "x");
  const FileManager& manager = FileManager::defaultManager();
  EXPECT_TRUE(manager.fileExistsAtPath(temp.file("f")));
  EXPECT_TRUE(manager.fileExistsAtPath(temp.path()));
  EXPECT_FALSE(manager.fileExistsAtPath(temp.file("missing")));
  EXPECT_FALSE(manager.fileExistsAtPath(temp.file("f") + std::string(1, '\0') + "x"));
}

TEST(SearchPathTest, CachesDirectoryFollowsXdgThenHome) {
  struct Row {
    const char* xdg;  // nullptr: unset
    const char* home;
    bool expandTilde;
    std::string expected;
  };
  const Row rows[] = {
      {"/xdg/cache", "/home/tester", true, std::string("/xdg/cache/") + kId},
      {"/xdg/cache", "/home/tester", false, std::string("/xdg/cache/") + kId},
      {nullptr, "/home/tester", true, std::string("/home/tester/.cache/") + kId},
      {"", "/home/tester", true, std::string("/home/tester/.cache/") + kId},
      {"relative/cache", "/home/tester", true, std::string("/home/tester/.cache/") + kId},
      {nullptr, "/home/tester", false, std::string("~/.cache/") + kId},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("XDG_CACHE_HOME=") + (row.xdg ? row.xdg : "(unset)") +
                 " expandTilde=" + (row.expandTilde ? "1" : "0"));
    ScopedEnv xdg("XDG_CACHE_HOME", row.xdg);
    ScopedEnv home("HOME", row.home);
    EXPECT_EQ(cachesSearch(row.expandTilde), std::vector<std::string>{row.expected});
  }
}

TEST(SearchPathTest, UnsetHomeFallsBackToThePasswordDatabase) {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) GTEST_SKIP() << "no password entry for this user";
  const std::string expected = std::string(entry->pw_dir) + "/.cache/" + kId;
  ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
  ScopedEnv home("HOME", nullptr);
  EXPECT_EQ(cachesSearch(), std::vector<std::string>{expected});
}

TEST(SearchPathTest, OtherDirectoriesAndDomainsAreEmpty) {
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(9, NSUserDomainMask, true).empty());
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, 2, true).empty());
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, 0xFFFF, true).size(), 1u);
}

}  // namespace
