// PNG: the signature, IHDR first and sane, chunks with their lengths and CRCs, IEND last.
// The image's declared size must be within the pixel limit and within what its IDAT data
// could inflate to. Bytes after IEND are allowed, as decoders allow them.
#include <zlib.h>

#include <algorithm>
#include <string_view>

#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

constexpr const char* kTruncated = "truncated PNG: no IEND chunk";

// No deflate stream inflates to more than 1032 times its size: a length of 258 bytes takes
// at least two bits, one for its code and one for its distance's.
constexpr std::uint64_t kDeflateMaximumRatio = 1032;

bool isLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The samples a pixel has in `colourType`, or 0 for a type that does not exist.
unsigned samplesPerPixel(unsigned colourType) {
  switch (colourType) {
    case 0:
    case 3:
      return 1;
    case 4:
      return 2;
    case 2:
      return 3;
    case 6:
      return 4;
    default:
      return 0;
  }
}

bool isPngDepth(unsigned colourType, unsigned depth) {
  switch (colourType) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

struct Header {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  unsigned bitsPerPixel = 0;
  unsigned colourType = 0;
};

Flaw checkHeader(const std::uint8_t* h, Header* header) {
  header->width = be32(h);
  header->height = be32(h + 4);
  header->colourType = h[9];
  if (header->width == 0) return "PNG with zero width";
  if (header->height == 0) return "PNG with zero height";
  if (header->width > 0x7FFFFFFFu || header->height > 0x7FFFFFFFu) {
    return "PNG with a size over 2^31 - 1";
  }
  if (!isPngDepth(h[9], h[8])) {
    return "PNG with bit depth " + std::to_string(h[8]) + " for colour type " +
           std::to_string(h[9]);
  }
  if (h[10] != 0 || h[11] != 0 || h[12] > 1) {
    return "PNG with an unknown compression, filter or interlace method";
  }
  header->bitsPerPixel = samplesPerPixel(h[9]) * h[8];
  return checkImagePixels("PNG", header->width, header->height);
}

// Whether `idatBytes` of compressed data could hold the image's pixels, filter bytes aside.
Flaw checkDataBound(const Header& header, std::uint64_t idatBytes) {
  // Within the pixel limit, the bits cannot overflow: 2^26 pixels of at most 64 bits.
  const std::uint64_t pixelBytes = (header.width * header.height * header.bitsPerPixel + 7) / 8;
  if (pixelBytes > kDeflateMaximumRatio * idatBytes) {
    return "PNG of " + std::to_string(header.width) + " x " + std::to_string(header.height) +
           " pixels with " + std::to_string(idatBytes) +
           " bytes of IDAT data, which cannot inflate to that many";
  }
  return std::nullopt;
}

}  // namespace

Flaw walkPng(ByteReader& in, FoundType&) {
  in.skip(8);
  Header header;
  bool first = true;
  bool palette = false;
  std::uint64_t idatBytes = 0;
  bool data = false;
  for (;;) {
    std::uint8_t head[8];
    if (!in.read(head, sizeof head)) return kTruncated;
    const std::uint32_t length = be32(head);
    const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
    if (length > 0x7FFFFFFFu) return "PNG chunk with a length over 2^31 - 1";
    if (!std::all_of(head + 4, head + 8, isLetter))
      return "PNG chunk type that is not four letters";
    if (first && type != "IHDR") return "PNG without IHDR first";
    if (!first && type == "IHDR") return "PNG with a second IHDR";
    uLong crc = crc32(0, head + 4, 4);
    if (type == "IHDR") {
      std::uint8_t fields[13];
      if (length != sizeof fields)
        return "PNG IHDR of " + std::to_string(length) + " bytes, not 13";
      if (!in.read(fields, sizeof fields)) return kTruncated;
      crc = crc32(crc, fields, sizeof fields);
      if (Flaw flaw = checkHeader(fields, &header)) return flaw;
    } else if (!in.consume(length, [&crc](std::span<const std::uint8_t> some) {
                 crc = crc32(crc, some.data(), static_cast<uInt>(some.size()));
               })) {
      return kTruncated;
    }
    std::uint8_t stored[4];
    if (!in.read(stored, sizeof stored)) return kTruncated;
    if (be32(stored) != crc) return "PNG " + std::string(type) + " chunk with a bad CRC";
    first = false;
    if (type == "PLTE") {
      palette = true;
    } else if (type == "IDAT") {
      if (header.colourType == 3 && !palette) return "PNG palette image without PLTE before IDAT";
      data = true;
      idatBytes += length;
    } else if (type == "IEND") {
      if (!data) return "PNG without IDAT";
      return checkDataBound(header, idatBytes);
    }
  }
}

}  // namespace user_notifications::structure
