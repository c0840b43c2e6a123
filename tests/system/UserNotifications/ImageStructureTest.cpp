#include "UserNotifications/ImageStructure.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::readFile;
using testing_support::TempDir;

// The verdict on `bytes` read from memory and, through a buffer of an odd small size so
// that every structure straddles reads, from a file; the two must agree.
foundation::Result<const char*> verdict(const TempDir& dir, const std::string& bytes) {
  testing_support::writeFile(dir.file("under-test"), bytes);
  const int fd = open(dir.file("under-test").c_str(), O_RDONLY | O_CLOEXEC);
  foundation::Result<const char*> fromFile =
      user_notifications::wholeImageType(fd, bytes.size(), 7);
  close(fd);
  foundation::Result<const char*> fromMemory = user_notifications::wholeImageType(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  const auto says = [](const auto& r) { return r.ok() ? *r : r.error().description; };
  EXPECT_EQ(says(fromFile), says(fromMemory));
  return fromMemory;
}

void expectRefused(const foundation::Result<const char*>& result, long code,
                   const std::string& says) {
  ASSERT_FALSE(result.ok()) << "accepted as " << *result;
  EXPECT_EQ(result.error().domain, UNErrorDomain);
  EXPECT_EQ(result.error().code, code);
  EXPECT_NE(result.error().description.find(says), std::string::npos) << result.error().description;
}

// A real encoder's JPEG with its JFIF segment replaced: by nothing, or by an Exif segment
// that carries a thumbnail (whose own EOI must not end the walk), as cameras write them.
std::string withoutJfif(const std::string& jfif, const std::string& segment) {
  const std::size_t app0 = 4 + (std::size_t{static_cast<std::uint8_t>(jfif[4])} << 8 |
                                static_cast<std::uint8_t>(jfif[5]));
  return jfif.substr(0, 2) + segment + jfif.substr(app0);
}

std::string exifSegment() {
  const std::string thumbnail = testing_support::jpegBytes();
  const std::string payload = std::string("Exif\0\0II*\0\x08\0\0\0\0\0\0\0\0\0", 20) + thumbnail;
  const std::size_t length = payload.size() + 2;
  return std::string("\xFF\xE1") + static_cast<char>(length >> 8) +
         static_cast<char>(length & 0xFF) + payload;
}

TEST(ImageStructure, AcceptsWhatRealEncodersWriteAndRefusesEachKindCutShort) {
  TempDir dir;
  // One ImageMagick run writes every still image; animations and WebP come from their tools.
  const std::string commands =
      "cd '" + dir.path() +
      "' && convert -size 96x64 -seed 7 plasma:fractal -depth 8 -write base.png -write jfif.jpg"
      " -write gif89.gif -write GIF87:gif87.gif"
      " \\( +clone -colors 16 -write PNG8:palette.png +delete \\)"
      " \\( +clone -alpha set -channel A -evaluate set 50% +channel -write PNG32:alpha.png"
      " +delete \\)"
      " \\( +clone -depth 16 -write PNG48:deep.png +delete \\)"
      " -interlace Plane -write progressive.jpg interlaced.png"
      " && convert -delay 10 -size 32x32 xc:red xc:blue xc:lime -loop 0 animated.gif"
      " && cwebp -quiet -q 75 base.png -o lossy.webp"
      " && cwebp -quiet -lossless base.png -o lossless.webp"
      " && cwebp -quiet -q 75 alpha.png -o alpha.webp"
      " && gif2webp -quiet animated.gif -o animated.webp";
  ASSERT_EQ(std::system(commands.c_str()), 0) << "needs imagemagick and webp (scripts/setup.sh)";
  const auto file = [&](const char* name) { return readFile(dir.file(name)); };
  const std::string jfif = file("jfif.jpg");

  struct Row {
    const char* name;
    std::string bytes;
    const char* type;
    const char* truncated;  // what a copy cut short says
  } const rows[] = {
      {"JPEG, JFIF", jfif, "public.jpeg", "truncated JPEG: no EOI marker"},
      {"JPEG, Exif", withoutJfif(jfif, exifSegment()), "public.jpeg", "truncated JPEG"},
      {"JPEG, no application segment", withoutJfif(jfif, ""), "public.jpeg", "truncated JPEG"},
      {"JPEG, progressive", file("progressive.jpg"), "public.jpeg", "truncated JPEG"},
      {"PNG, RGB", file("base.png"), "public.png", "truncated PNG: no IEND chunk"},
      {"PNG, palette", file("palette.png"), "public.png", "truncated PNG"},
      {"PNG, 16-bit", file("deep.png"), "public.png", "truncated PNG"},
      {"PNG, interlaced", file("interlaced.png"), "public.png", "truncated PNG"},
      {"PNG, alpha", file("alpha.png"), "public.png", "truncated PNG"},
      {"GIF87a", file("gif87.gif"), "com.compuserve.gif", "truncated GIF: no trailer"},
      {"GIF89a", file("gif89.gif"), "com.compuserve.gif", "truncated GIF"},
      {"GIF, animated", file("animated.gif"), "com.compuserve.gif", "truncated GIF"},
      {"WebP, lossy", file("lossy.webp"), "org.webmproject.webp", "truncated WebP"},
      {"WebP, lossless", file("lossless.webp"), "org.webmproject.webp", "truncated WebP"},
      {"WebP, alpha", file("alpha.webp"), "org.webmproject.webp", "truncated WebP"},
      {"WebP, animated", file("animated.webp"), "org.webmproject.webp", "truncated WebP"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_GT(row.bytes.size(), 32u);
    foundation::Result<const char*> whole = verdict(dir, row.bytes);
    ASSERT_TRUE(whole.ok()) << whole.error().description;
    EXPECT_STREQ(*whole, row.type);
    // Bytes after the image's end are allowed, as decoders allow them.
    EXPECT_TRUE(verdict(dir, row.bytes + std::string(100, '\0')).ok());
    // Cut in the middle (a body that stopped), and short of the last byte only.
    for (std::size_t keep : {row.bytes.size() / 2, row.bytes.size() - 1}) {
      SCOPED_TRACE(keep);
      expectRefused(verdict(dir, row.bytes.substr(0, keep)), UNErrorCodeAttachmentCorrupt,
                    row.truncated);
    }
  }
}

TEST(ImageStructure, RefusesWhatIsNotOneSaneImage) {
  TempDir dir;
  const std::string png = testing_support::pngBytes();
  const std::string gif = testing_support::gifBytes();
  // The test JPEG without its SOF0 segment (13 bytes with the marker): a scan comes first.
  const std::string jpeg = testing_support::jpegBytes();
  const std::size_t sof = jpeg.find("\xFF\xC0");
  const char* const notAnImage = "not a JPEG, PNG, GIF or WebP image";
  struct Row {
    const char* name;
    std::string bytes;
    const char* says;
    long code = UNErrorCodeAttachmentCorrupt;
  } const rows[] = {
      {"zero-width PNG", png.substr(0, 16) + std::string(4, '\0') + png.substr(20),
       "PNG with zero width"},
      {"PNG, IHDR not first",
       png.substr(0, 8) + std::string("\0\0\0\0tEXt\0\0\0\0", 12) + png.substr(8),
       "PNG without IHDR first"},
      {"zero-width GIF", gif.substr(0, 6) + std::string(2, '\0') + gif.substr(8),
       "GIF with zero width"},
      {"JPEG, scan before frame", jpeg.substr(0, sof) + jpeg.substr(sof + 13),
       "JPEG without frame header"},
      {"HTML", "<!DOCTYPE html><html></html>", notAnImage, UNErrorCodeAttachmentUnrecognizedType},
      {"empty", "", notAnImage, UNErrorCodeAttachmentUnrecognizedType},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectRefused(verdict(dir, row.bytes), row.code, row.says);
  }
}

}  // namespace
