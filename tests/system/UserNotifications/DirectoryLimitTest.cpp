#include "UserNotifications/DirectoryLimit.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace {

using namespace std::chrono_literals;
using testing_support::listDirectory;
using testing_support::TempDir;
using Names = std::vector<std::string>;
using user_notifications::DirectoryLimit;

// Writes `count` bytes to `name`, last modified `age` ago.
void writeAged(const TempDir& dir, const std::string& name, std::size_t count,
               std::chrono::seconds age) {
  testing_support::writeFile(dir.file(name), std::string(count, 'x'));
  timespec times[2] = {};
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= static_cast<time_t>(age.count());
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0), 0);
}

std::unique_ptr<DirectoryLimit> openLimit(const TempDir& dir, DirectoryLimit::Options options) {
  foundation::Result<std::unique_ptr<DirectoryLimit>> limit =
      DirectoryLimit::open(dir.path(), options);
  EXPECT_TRUE(limit.ok()) << limit.error().description;
  return limit.ok() ? std::move(*limit) : nullptr;
}

TEST(DirectoryLimit, RemovesTheOldestFirstButNeverHeldOrYoungFilesNorWritesInProgress) {
  TempDir dir;
  writeAged(dir, "a.png", 100, 400s);
  writeAged(dir, "c.png", 100, 200s);
  writeAged(dir, "d.png", 100, 100s);
  // Temporary files of atomic writes: one that a killed process left, one being written.
  writeAged(dir, ".a.png.0123456789ab.tmp", 1000, 120s);
  writeAged(dir, ".tmp.abcdef012345", 1000, 0s);
  std::unique_ptr<DirectoryLimit> limit = openLimit(dir, {.limitBytes = 250, .minimumAge = 60s});
  ASSERT_TRUE(limit);
  EXPECT_EQ(listDirectory(dir.path()), (Names{".tmp.abcdef012345", "c.png", "d.png"}));
  EXPECT_EQ(limit->totalBytes(), 200u);  // temporary files are not counted

  writeAged(dir, "b.png", 100, 500s);
  limit->noteFile("b.png", /*hold=*/true);  // the oldest now, but held
  EXPECT_EQ(listDirectory(dir.path()), (Names{".tmp.abcdef012345", "b.png", "d.png"}));

  // d.png is written again behind the index's back: it is young now, not old.
  writeAged(dir, "d.png", 100, 0s);
  writeAged(dir, "e.png", 300, 0s);
  limit->noteFile("e.png");
  EXPECT_EQ(listDirectory(dir.path()), (Names{".tmp.abcdef012345", "b.png", "d.png", "e.png"}));
  EXPECT_EQ(limit->totalBytes(), 500u);  // over the limit, all of it held or young

  limit->release("b.png");
  EXPECT_EQ(listDirectory(dir.path()), (Names{".tmp.abcdef012345", "d.png", "e.png"}));
  EXPECT_EQ(limit->totalBytes(), 400u);
}

TEST(DirectoryLimit, LearnsOfFilesOthersWriteFromTheKernel) {
  TempDir dir;
  std::unique_ptr<DirectoryLimit> limit = openLimit(dir, {.limitBytes = 250, .watch = true});
  ASSERT_TRUE(limit);
  writeAged(dir, "old.png", 100, 300s);
  writeAged(dir, "mid.png", 100, 200s);
  // Written aside and renamed into place, as Data's atomic write does.
  writeAged(dir, ".new.png.0123456789ab.tmp", 100, 0s);
  ASSERT_EQ(std::rename(dir.file(".new.png.0123456789ab.tmp").c_str(), dir.file("new.png").c_str()),
            0);
  writeAged(dir, ".big.png.0123456789ab.tmp", 1000, 0s);  // still being written
  limit->update();
  EXPECT_EQ(listDirectory(dir.path()), (Names{".big.png.0123456789ab.tmp", "mid.png", "new.png"}));
  EXPECT_EQ(limit->totalBytes(), 200u);
}

}  // namespace
