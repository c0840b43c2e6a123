#include "UserNotifications/AttachmentType.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"
#include "tests/system/UserNotifications/AttachmentVerdict.hpp"

namespace {

using attachment_testing::expectRefused;
using attachment_testing::says;
using attachment_testing::verdict;
using testing_support::readFile;
using testing_support::TempDir;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Small files of each kind whose limit the tests try, and kinds that are not shown.
class AttachmentType : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string tone = "ffmpeg -v error -f lavfi -i sine=duration=0.3 ";
    ok_ = attachment_testing::encode(
        *dir_, tone + "-c:a libmp3lame tone.mp3 && " + tone + "-c:a aac tone.m4a && " + tone +
                   "-c:a mp2 -f mp2 tone.mp2 && " + tone + "-c:a flac tone.flac" +
                   " && ffmpeg -v error -f lavfi -i testsrc=size=32x32:duration=0.2 -c:v mpeg4"
                   " clip.mp4");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "needs ffmpeg (scripts/setup.sh)"; }

  static std::string file(const char* name) { return readFile(dir_->file(name)); }

  static TempDir* dir_;
  static bool ok_;
};

TempDir* AttachmentType::dir_ = nullptr;
bool AttachmentType::ok_ = false;

TEST_F(AttachmentType, AppliesTheLimitOfTheKindTheBytesTurnOutToBe) {
  // The attachment factory refuses a file over the largest limit before reading it.
  EXPECT_EQ(user_notifications::largestAttachmentBytes(), 50 * kMiB);
  // Each file is padded with zeros to its size (a sparse file), which every one of these
  // formats allows after its end.
  struct Row {
    const char* name;
    std::string bytes;
    std::uint64_t size;
    const char* says;  // the type, or the reason
  } const rows[] = {
      {"PNG of 10 MiB", testing_support::pngBytes(), 10 * kMiB, "public.png"},
      {"PNG of 10 MiB + 1", testing_support::pngBytes(), 10 * kMiB + 1,
       "image file of 10485761 bytes is over the limit of 10 MiB for image"},
      {"MP3 of 5 MiB", file("tone.mp3"), 5 * kMiB, "public.mp3"},
      {"MP3 of 7 MiB", file("tone.mp3"), 7 * kMiB,
       "audio file of 7340032 bytes is over the limit of 5 MiB for audio"},
      // Its brands say audio: the limit follows, though the signature is MPEG-4's.
      {"MPEG-4 audio of 5 MiB + 1", file("tone.m4a"), 5 * kMiB + 1,
       "audio file of 5242881 bytes is over the limit of 5 MiB for audio"},
      {"MPEG-4 of 7 MiB", file("clip.mp4"), 7 * kMiB, "public.mpeg-4"},
      {"MPEG-4 of 50 MiB + 1", file("clip.mp4"), 50 * kMiB + 1,
       "video file of 52428801 bytes is over the limit of 50 MiB for video"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing_support::writeFile(dir_->file("padded"), row.bytes);
    ASSERT_EQ(truncate(dir_->file("padded").c_str(), static_cast<off_t>(row.size)), 0);
    const int fd = open(dir_->file("padded").c_str(), O_RDONLY | O_CLOEXEC);
    const attachment_testing::Verdict v = user_notifications::wholeAttachmentType(fd, row.size);
    close(fd);
    EXPECT_EQ(says(v), row.says);
    if (!v.ok()) {
      EXPECT_EQ(v.error().code, UNErrorCodeAttachmentInvalidFileSize);
    }
  }
}

// The bytes past the first page of a 7 MiB mapping cannot be read: a check that read them
// before it refused the file for its size would crash.
TEST_F(AttachmentType, RefusesAFileOverItsLimitWithoutReadingPastItsHeader) {
  const std::size_t size = 7 * kMiB;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (const char* name : {"tone.mp3", "tone.m4a"}) {
    SCOPED_TRACE(name);
    const std::string head = file(name).substr(0, page);
    void* mapped = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    ASSERT_EQ(mprotect(mapped, page, PROT_READ | PROT_WRITE), 0);
    std::memcpy(mapped, head.data(), head.size());
    const attachment_testing::Verdict v =
        user_notifications::wholeAttachmentType({static_cast<const std::uint8_t*>(mapped), size});
    munmap(mapped, size);
    expectRefused(v, UNErrorCodeAttachmentInvalidFileSize, "over the limit of 5 MiB for audio");
  }
}

TEST_F(AttachmentType, RefusesWhatIsNoKindNotificationsShow) {
  const char* const notShown = "not an image, audio or video file of a kind notifications show";
  struct Row {
    const char* name;
    std::string bytes;
  } const rows[] = {
      {"HTML", "<!DOCTYPE html><html><body>404</body></html>"},
      {"empty", ""},
      {"MPEG audio Layer II", file("tone.mp2")},
      {"FLAC", file("tone.flac")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectRefused(verdict(*dir_, row.bytes), UNErrorCodeAttachmentUnrecognizedType, notShown);
  }
}

}  // namespace
