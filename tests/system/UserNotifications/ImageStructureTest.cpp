#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>

#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"
#include "tests/system/UserNotifications/AttachmentVerdict.hpp"

namespace {

using attachment_testing::expectRefused;
using attachment_testing::verdict;
using testing_support::readFile;
using testing_support::TempDir;

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
      "convert -size 96x64 -seed 7 plasma:fractal -depth 8 -write base.png -write jfif.jpg"
      " -write gif89.gif -write GIF87:gif87.gif"
      " \\( +clone -colors 16 -write PNG8:palette.png +delete \\)"
      " \\( +clone -alpha set -channel A -evaluate set 50% +channel -write PNG32:alpha.png"
      " +delete \\)"
      " \\( +clone -depth 16 -write PNG48:deep.png +delete \\)"
      " -interlace Plane -write progressive.jpg interlaced.png"
      " && convert -size 2048x2048 xc:white -type TrueColor PNG24:white.png"
      " && convert -delay 10 -size 32x32 xc:red xc:blue xc:lime -loop 0 animated.gif"
      " && cwebp -quiet -q 75 base.png -o lossy.webp"
      " && cwebp -quiet -lossless base.png -o lossless.webp"
      " && cwebp -quiet -q 75 alpha.png -o alpha.webp"
      " && gif2webp -quiet animated.gif -o animated.webp";
  ASSERT_TRUE(attachment_testing::encode(dir, commands))
      << "needs imagemagick and webp (scripts/setup.sh)";
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
      // Deflate's best ratio, near the bound the data must meet for its size.
      {"PNG, 2048 x 2048 of one colour", file("white.png"), "public.png", "truncated PNG"},
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
    attachment_testing::expectWholeAndCutShort(dir, row.bytes, row.type, row.truncated);
  }
}

// The test PNG (1 x 1, RGB) declaring `width` x `height`, its IHDR's CRC made right again.
std::string pngDeclaring(std::uint32_t width, std::uint32_t height) {
  std::string png = testing_support::pngBytes();
  for (std::size_t i = 0; i < 4; ++i) {
    png[16 + i] = static_cast<char>(width >> (24 - 8 * i));
    png[20 + i] = static_cast<char>(height >> (24 - 8 * i));
  }
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17);
  for (std::size_t i = 0; i < 4; ++i) png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
  return png;
}

// The test GIF (1 x 1, one image of two bytes of LZW data), its screen and image declaring
// `side` x `side`.
std::string gifDeclaring(std::uint16_t side) {
  std::string gif = testing_support::gifBytes();
  for (std::size_t at : {6u, 8u, 32u, 34u}) {
    gif[at] = static_cast<char>(side & 0xFF);
    gif[at + 1] = static_cast<char>(side >> 8);
  }
  return gif;
}

TEST(ImageStructure, RefusesWhatIsNotOneSaneImage) {
  TempDir dir;
  const std::string png = testing_support::pngBytes();
  const std::string gif = testing_support::gifBytes();
  // The test JPEG without its SOF0 segment (13 bytes with the marker): a scan comes first.
  const std::string jpeg = testing_support::jpegBytes();
  const std::size_t sof = jpeg.find("\xFF\xC0");
  std::string hugeJpeg = jpeg;
  hugeJpeg.replace(sof + 5, 4, "\xFF\xFF\xFF\xFF");  // 65,535 lines of 65,535 samples
  struct Row {
    const char* name;
    std::string bytes;
    const char* says;
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
      // Sizes that a notification server would try to allocate for.
      {"PNG of 100,000 x 100,000 in 69 bytes", pngDeclaring(100000, 100000),
       "PNG of 100000 x 100000 pixels, over the limit of 67108864"},
      {"JPEG of 65,535 x 65,535", hugeJpeg, "JPEG of 65535 x 65535 pixels, over the limit"},
      {"GIF of 65,535 x 65,535", gifDeclaring(65535),
       "GIF of 65535 x 65535 pixels, over the limit"},
      // Within the limit, but more than the data could decode to.
      {"PNG of 8,000 x 8,000 from 12 bytes of IDAT", pngDeclaring(8000, 8000),
       "PNG of 8000 x 8000 pixels with 12 bytes of IDAT data, which cannot inflate"},
      {"GIF of 8,000 x 8,000 from 2 bytes of LZW", gifDeclaring(8000),
       "GIF image of 8000 x 8000 pixels with 2 bytes of LZW data, which cannot decode"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectRefused(verdict(dir, row.bytes), UNErrorCodeAttachmentCorrupt, row.says);
  }
}

}  // namespace
