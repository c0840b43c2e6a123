#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/system/UserNotifications/AttachmentVerdict.hpp"

namespace {

using attachment_testing::expectRefused;
using attachment_testing::says;
using attachment_testing::verdict;
using testing_support::readFile;
using testing_support::TempDir;

// Half a second of ffmpeg's test pattern and a tone, in each container.
class VideoStructure : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string clip =
        "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=25:duration=0.5"
        " -f lavfi -i sine=duration=0.5 ";
    ok_ = attachment_testing::encode(
        *dir_, clip + "-c:v mpeg4 -c:a aac clip.mp4" + " && " + clip +
                   "-c:v mpeg4 -c:a aac -movflags +faststart fast.mp4" + " && " + clip +
                   "-c:v mpeg1video -c:a mp2 -f mpeg clip.mpg" + " && " + clip +
                   "-target pal-vcd -t 0.2 vcd.mpg" + " && " + clip +
                   "-c:v mpeg2video -c:a mp2 -f vob clip.vob" + " && " + clip +
                   "-c:v mpeg4 -c:a pcm_s16le clip.avi" + " && " + clip +
                   "-c:v mpeg4 -c:a aac clip.mov");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "needs ffmpeg (scripts/setup.sh)"; }

  static std::string file(const char* name) { return readFile(dir_->file(name)); }

  static TempDir* dir_;
  static bool ok_;
};

TempDir* VideoStructure::dir_ = nullptr;
bool VideoStructure::ok_ = false;

std::uint64_t bigEndianAt(const std::string& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    value = value << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::string withBigEndian(std::string bytes, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) {
    bytes[at + static_cast<std::size_t>(width - 1 - i)] = static_cast<char>(value >> (8 * i));
  }
  return bytes;
}

// ffmpeg writes an 8-byte free box before mdat so that mdat's header can grow to a 64-bit
// size in place; this does that, leaving every offset where it was.
std::string withLargeMediaSize(const std::string& mp4) {
  const std::size_t free = mp4.find("free") - 4;
  const std::string header = withBigEndian(std::string("\0\0\0\1mdat", 8) + std::string(8, '\0'), 8,
                                           bigEndianAt(mp4, free + 8, 4) + 8, 8);
  return mp4.substr(0, free) + header + mp4.substr(free + 16);
}

TEST_F(VideoStructure, AcceptsWhatRealEncodersWriteAndRefusesEachCutShort) {
  struct Row {
    const char* name;
    std::string bytes;
    const char* type;
    const char* truncated;  // what a copy cut short says
  } const rows[] = {
      {"MPEG-4, moov after mdat", file("clip.mp4"), "public.mpeg-4", "truncated MPEG-4"},
      {"MPEG-4, moov first", file("fast.mp4"), "public.mpeg-4", "truncated MPEG-4"},
      {"MPEG-4, a 64-bit mdat size", withLargeMediaSize(file("clip.mp4")), "public.mpeg-4",
       "truncated MPEG-4"},
      {"MPEG-1 system stream", file("clip.mpg"), "public.mpeg", "truncated MPEG program stream"},
      {"MPEG-2 program stream", file("clip.vob"), "public.mpeg-2-video",
       "truncated MPEG program stream"},
      {"AVI", file("clip.avi"), "public.avi", "truncated AVI"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    attachment_testing::expectWholeAndCutShort(*dir_, row.bytes, row.type, row.truncated);
  }
  // Zero bytes before a start code are stuffing, as a VCD's packs end in twenty (so cutting
  // some of the last ones off leaves a whole stream).
  EXPECT_EQ(says(verdict(*dir_, file("vcd.mpg"))), "public.mpeg");
  // A last box of size 0 runs to the end of the file, whatever follows it.
  const std::string fast = file("fast.mp4");
  const std::size_t mdat = fast.rfind("mdat") - 4;
  EXPECT_EQ(says(verdict(*dir_, withBigEndian(fast, mdat, 0, 4) + "and more")), "public.mpeg-4");
}

TEST_F(VideoStructure, RefusesFilesMadeInconsistent) {
  const std::string fast = file("fast.mp4");
  const std::string mpeg = file("clip.mpg");
  const std::string avi = file("clip.avi");
  const std::size_t trak = fast.find("trak") - 4;
  const std::size_t stco = fast.find("stco") - 4;
  const std::size_t video = mpeg.find(std::string("\0\0\1\xE0", 4));
  const std::size_t streams = avi.find("avih") + 8 + 24;  // little-endian
  std::string threeStreams = avi;
  threeStreams[streams] = 3;
  std::string noMovie = avi;
  noMovie.replace(avi.find("movi"), 4, "MOVI");
  noMovie.replace(avi.rfind("idx1"), 4, "IDX1");  // an index would be missing its list first
  struct Row {
    const char* name;
    std::string bytes;
    std::string says;
    long code = UNErrorCodeAttachmentCorrupt;
  } const rows[] = {
      {"MPEG-4 trak past the end of moov", withBigEndian(fast, trak, 0x10000, 4),
       "MPEG-4 trak box past the end of its moov box"},
      {"MPEG-4 stco counting 1,000 chunks", withBigEndian(fast, stco + 12, 1000, 4),
       "for 1000 entries"},
      {"MPEG-4 without its mdat", fast.substr(0, fast.rfind("mdat") - 4), "outside every mdat box"},
      {"QuickTime, an ISO file of another brand", file("clip.mov"),
       "ISO media file of brand 'qt  ', neither MPEG-4 audio nor video",
       UNErrorCodeAttachmentUnrecognizedType},
      {"MPEG-1 packet one byte longer",
       withBigEndian(mpeg, video + 4, bigEndianAt(mpeg, video + 4, 2) + 1, 2),
       "MPEG program stream broken at byte"},
      {"AVI counting three streams", threeStreams,
       "AVI header counts 3 streams, its hdrl list holds 2"},
      {"AVI without its movi list", noMovie, "AVI without a movi list"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectRefused(verdict(*dir_, row.bytes), row.code, row.says);
  }
}

}  // namespace
