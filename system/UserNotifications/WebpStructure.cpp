// WebP: a RIFF container whose size the file holds, with a VP8 (lossy) or VP8L (lossless)
// bitstream, or a VP8X header followed by the image's or animation's chunks; the canvas and
// each bitstream within the pixel limit. Bytes after the container are allowed, as decoders
// allow them.
#include "UserNotifications/RiffChunks.hpp"

namespace user_notifications::structure {
namespace {

constexpr ChunkForm kWebpChunks{"WebP", false};

std::string truncated() { return truncatedChunks(kWebpChunks); }

Flaw checkVp8(ByteReader& in, std::uint64_t size) {
  std::uint8_t b[10];  // frame tag, start code, width and height
  if (size < sizeof b) return "WebP VP8 chunk too small for a frame header";
  if (!in.read(b, sizeof b)) return truncated();
  const std::uint32_t tag = le24(b);
  if ((tag & 1) != 0) return "WebP VP8 data that is not a key frame";
  if (((tag >> 1) & 7) > 3) return "WebP VP8 of an unknown version";
  if (((tag >> 4) & 1) == 0) return "WebP VP8 frame that is not shown";
  if ((tag >> 5) > size - sizeof b) return "WebP VP8 first partition past its chunk";
  if (b[3] != 0x9D || b[4] != 0x01 || b[5] != 0x2A) return "WebP VP8 without its start code";
  const std::uint32_t width = le16(b + 6) & 0x3FFF;
  const std::uint32_t height = le16(b + 8) & 0x3FFF;
  if (width == 0) return "WebP with zero width";
  if (height == 0) return "WebP with zero height";
  return checkImagePixels("WebP", width, height);
}

Flaw checkVp8l(ByteReader& in, std::uint64_t size) {
  std::uint8_t b[5];  // signature, then 14 + 14 bits of size - 1, an alpha bit, 3 bits of version
  if (size < sizeof b) return "WebP VP8L chunk too small for its header";
  if (!in.read(b, sizeof b)) return truncated();
  if (b[0] != 0x2F) return "WebP VP8L without its signature";
  const std::uint32_t bits = le32(b + 1);
  if ((bits >> 29) != 0) return "WebP VP8L of an unknown version";
  return checkImagePixels("WebP", (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
}

// A bitstream chunk's header, when `code` names one; `image` says whether it did.
Flaw checkBitstream(ByteReader& in, const std::string& code, std::uint64_t size, bool* image) {
  if (code == "VP8 ") {
    *image = true;
    return checkVp8(in, size);
  }
  if (code == "VP8L") {
    *image = true;
    return checkVp8l(in, size);
  }
  return std::nullopt;
}

Flaw checkAnimationFrame(ByteReader& in, std::uint64_t size) {
  constexpr std::uint64_t kFrameHeader = 16;  // position, size, duration, flags
  if (size < kFrameHeader) return "WebP ANMF chunk too small for a frame header";
  if (!in.skip(kFrameHeader)) return truncated();
  bool image = false;
  if (Flaw flaw = walkChunks(in, kWebpChunks, in.position() + size - kFrameHeader,
                             [&](const std::string& code, std::uint64_t chunkSize) {
                               return checkBitstream(in, code, chunkSize, &image);
                             })) {
    return flaw;
  }
  return image ? Flaw() : Flaw("WebP animation frame without image data");
}

}  // namespace

Flaw walkWebp(ByteReader& in, FoundType&) {
  std::uint64_t end = 0;
  if (Flaw flaw = readContainer(in, kWebpChunks, &end)) return flaw;
  bool first = true;
  bool extended = false;
  bool animated = false;
  bool image = false;
  unsigned frames = 0;
  Flaw flaw =
      walkChunks(in, kWebpChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (first) {
          first = false;
          if (code != "VP8X") {
            if (code != "VP8 " && code != "VP8L")
              return "WebP without a VP8, VP8L or VP8X chunk first";
            return checkBitstream(in, code, size, &image);
          }
          std::uint8_t x[10];  // flags, three reserved bytes, canvas width - 1 and height - 1
          if (size < sizeof x) return "WebP VP8X chunk too small for its header";
          if (!in.read(x, sizeof x)) return truncated();
          extended = true;
          animated = (x[0] & 0x02) != 0;
          return checkImagePixels("WebP canvas", le24(x + 4) + std::uint64_t{1},
                                  le24(x + 7) + std::uint64_t{1});
        }
        if (!extended) return std::nullopt;  // after a simple image's bitstream, nothing matters
        if (animated && code == "ANMF") {
          ++frames;
          return checkAnimationFrame(in, size);
        }
        return checkBitstream(in, code, size, &image);
      });
  if (flaw) return flaw;
  if (first) return "WebP without chunks";
  if (animated) return frames > 0 ? Flaw() : Flaw("animated WebP without frames");
  return image ? Flaw() : Flaw("WebP without image data");
}

}  // namespace user_notifications::structure
