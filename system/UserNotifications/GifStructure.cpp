// GIF: header and logical screen, an optional colour table, then image descriptors and
// extensions, each followed by data sub-blocks, up to the trailer. The screen and every image
// must be within the pixel limit, and each image within what its LZW data could decode to.
// Bytes after the trailer are allowed, as decoders allow them.
#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

constexpr const char* kTruncated = "truncated GIF: no trailer";

// No LZW code decodes to more than 4096 pixels: a dictionary of 12-bit codes grows its
// strings by one pixel an entry.
constexpr std::uint64_t kLzwLongestString = 4096;

// Moves past data sub-blocks and their terminator, adding their bytes to `*bytes`.
bool skipSubBlocks(ByteReader& in, std::uint64_t* bytes) {
  for (;;) {
    const int count = in.next();
    if (count <= 0) return count == 0;
    if (!in.skip(static_cast<std::uint64_t>(count))) return false;
    *bytes += static_cast<std::uint64_t>(count);
  }
}

// The colour table that `flags` announces, if any.
bool skipColourTable(ByteReader& in, std::uint8_t flags) {
  return (flags & 0x80) == 0 || in.skip(3u << ((flags & 7u) + 1));
}

// Whether `dataBytes` of LZW codes, the first of them `codeSize` + 1 bits wide, could
// decode to the image's pixels.
Flaw checkDataBound(std::uint64_t width, std::uint64_t height, int codeSize,
                    std::uint64_t dataBytes) {
  const std::uint64_t codes = dataBytes * 8 / static_cast<std::uint64_t>(codeSize + 1);
  if (width * height > codes * kLzwLongestString) {
    return "GIF image of " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels with " + std::to_string(dataBytes) +
           " bytes of LZW data, which cannot decode to that many";
  }
  return std::nullopt;
}

}  // namespace

Flaw walkGif(ByteReader& in, FoundType&) {
  std::uint8_t screen[13];  // signature and logical screen descriptor
  if (!in.read(screen, sizeof screen)) return kTruncated;
  if (le16(screen + 6) == 0) return "GIF with zero width";
  if (le16(screen + 8) == 0) return "GIF with zero height";
  if (Flaw flaw = checkImagePixels("GIF", le16(screen + 6), le16(screen + 8))) return flaw;
  if (!skipColourTable(in, screen[10])) return kTruncated;
  bool image = false;
  for (;;) {
    const int block = in.next();
    if (block < 0) return kTruncated;
    if (block == 0x3B) return image ? Flaw() : Flaw("GIF without an image");
    std::uint64_t dataBytes = 0;
    if (block == 0x2C) {
      std::uint8_t descriptor[9];  // position, size, flags
      if (!in.read(descriptor, sizeof descriptor)) return kTruncated;
      const std::uint64_t width = le16(descriptor + 4);
      const std::uint64_t height = le16(descriptor + 6);
      if (Flaw flaw = checkImagePixels("GIF image", width, height)) return flaw;
      if (!skipColourTable(in, descriptor[8])) return kTruncated;
      const int codeSize = in.next();
      if (codeSize < 0) return kTruncated;
      if (codeSize < 1 || codeSize > 11) {
        return "GIF image with LZW code size " + std::to_string(codeSize);
      }
      if (!skipSubBlocks(in, &dataBytes)) return kTruncated;
      if (Flaw flaw = checkDataBound(width, height, codeSize, dataBytes)) return flaw;
      image = true;
    } else if (block == 0x21) {
      if (in.next() < 0) return kTruncated;  // the extension's label
      if (!skipSubBlocks(in, &dataBytes)) return kTruncated;
    } else {
      return "GIF with an unknown block " + hexByte(static_cast<unsigned>(block));
    }
  }
}

}  // namespace user_notifications::structure
