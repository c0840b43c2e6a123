#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/system/UserNotifications/AttachmentVerdict.hpp"

namespace {

using attachment_testing::expectRefused;
using attachment_testing::verdict;
using testing_support::readFile;
using testing_support::TempDir;

// Short tones from Debian's encoders: sox for AIFF, AIFC and WAV, ffmpeg (libmp3lame, its
// own AAC) for MP3 and MPEG-4 audio.
class AudioStructure : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const char* const tone = "-f lavfi -i sine=frequency=440:duration=0.4";
    ok_ = attachment_testing::encode(
        *dir_, std::string("sox -n -r 8000 -c 1 -b 16 tone.aiff synth 0.3 sine 440") +
                   " && sox -n -r 8000 -c 2 -b 16 tone.aifc synth 0.3 sine 440" +
                   " && sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.3 sine 440" +
                   " && ffmpeg -v error " + tone + " -c:a libmp3lame -b:a 64k id3v2.mp3" +
                   " && ffmpeg -v error " + tone +
                   " -c:a libmp3lame -id3v2_version 3 -write_id3v1 1 -metadata title=Tone"
                   " id3v1.mp3" +
                   " && ffmpeg -v error " + tone +
                   " -c:a libmp3lame -id3v2_version 0 -write_xing 0 bare.mp3" +
                   " && ffmpeg -v error " + tone + " -ar 8000 -ac 1 -c:a libmp3lame low.mp3" +
                   " && ffmpeg -v error " + tone + " -c:a aac tone.m4a");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "needs ffmpeg and sox (scripts/setup.sh)"; }

  static std::string file(const char* name) { return readFile(dir_->file(name)); }

  static TempDir* dir_;
  static bool ok_;
};

TempDir* AudioStructure::dir_ = nullptr;
bool AudioStructure::ok_ = false;

TEST_F(AudioStructure, AcceptsWhatRealEncodersWriteAndRefusesEachCutShort) {
  struct Row {
    const char* name;
    std::string bytes;
    const char* type;
    const char* truncated;  // what a copy cut short says
  } const rows[] = {
      {"AIFF", file("tone.aiff"), "public.aiff-audio", "truncated AIFF"},
      {"AIFC", file("tone.aifc"), "public.aiff-audio", "truncated AIFF"},
      {"WAV", file("tone.wav"), "com.microsoft.waveform-audio", "truncated WAV"},
      {"MP3, ID3v2.4 and a Xing header", file("id3v2.mp3"), "public.mp3", "truncated MP3"},
      {"MP3, ID3v2.3 and ID3v1", file("id3v1.mp3"), "public.mp3", "truncated MP3"},
      {"MP3, frames only", file("bare.mp3"), "public.mp3", "truncated MP3"},
      {"MP3, MPEG-2.5 at 8 kHz", file("low.mp3"), "public.mp3", "truncated MP3"},
      {"MPEG-4 audio", file("tone.m4a"), "public.mpeg-4-audio", "truncated MPEG-4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    attachment_testing::expectWholeAndCutShort(*dir_, row.bytes, row.type, row.truncated);
  }
}

// `bytes` with `size` written at `at`, big- or little-endian.
std::string withSize(std::string bytes, std::size_t at, std::uint32_t size, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + static_cast<std::size_t>(bigEndian ? 3 - i : i)] =
        static_cast<char>(size >> (8 * i));
  }
  return bytes;
}

TEST_F(AudioStructure, RefusesFilesMadeInconsistent) {
  const std::string wav = file("tone.wav");
  const std::string aiff = file("tone.aiff");
  const std::string mp3 = file("bare.mp3");
  const std::string id3 = file("id3v2.mp3");
  const std::size_t data = wav.find("data");
  const std::size_t comm = aiff.find("COMM");
  std::string unnamedFormat = wav;
  unnamedFormat.replace(wav.find("fmt "), 4, "fmtX");
  struct Row {
    const char* name;
    std::string bytes;
    std::string says;
  } const rows[] = {
      {"WAV data chunk past the RIFF end", withSize(wav, data + 4, 0x7FFFFF00, false),
       "WAV data chunk past the end of its container"},
      {"WAV without its fmt chunk", unnamedFormat, "WAV data chunk before its fmt chunk"},
      {"AIFF COMM counting more frames than SSND holds", withSize(aiff, comm + 10, 100000, true),
       "AIFF COMM counts 100000 sample frames, more than its SSND chunk holds"},
      // Bytes in the middle of a frame move its end: the next header is not where it says.
      {"MP3 with four bytes inside a frame",
       mp3.substr(0, mp3.size() / 2) + "JUNK" + mp3.substr(mp3.size() / 2),
       "MP3 frame chain broken at byte"},
      {"MP3 with bytes that are no trailer after its frames", mp3 + "not a tag",
       "MP3 frame chain broken at byte " + std::to_string(mp3.size())},
      {"MP3 whose ID3v2 tag runs past the end", withSize(id3, 6, 0x7F7F7F7F, true),
       "truncated MP3: an ID3v2 tag of 268435465 bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectRefused(verdict(*dir_, row.bytes), UNErrorCodeAttachmentCorrupt, row.says);
  }
}

}  // namespace
