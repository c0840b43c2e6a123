#include "UserNotifications/ImageStructure.hpp"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UserNotifications/ByteReader.hpp"
#include "UserNotifications/UNError.hpp"

namespace user_notifications {
namespace {

// Why a walk stopped short of a whole image; absent when the image is whole.
using Flaw = std::optional<std::string>;

std::uint32_t be16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]);
}
std::uint32_t be32(const std::uint8_t* p) { return be16(p) << 16 | be16(p + 2); }
std::uint32_t le16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[0]);
}
std::uint32_t le24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[2]) << 16 | le16(p);
}
std::uint32_t le32(const std::uint8_t* p) { return le16(p + 2) << 16 | le16(p); }

std::string hexByte(unsigned byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {'0', 'x', kDigits[(byte >> 4) & 15], kDigits[byte & 15]};
}

// A four-character code as text; bytes that are not printable would make a poor message.
std::string fourcc(const std::uint8_t* p) {
  std::string text(reinterpret_cast<const char*>(p), 4);
  for (char& c : text) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return text;
}

// ---- PNG: the signature, IHDR first, chunks with lengths and CRCs, IEND last.

bool isLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

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

Flaw checkPngHeader(const std::uint8_t* h) {
  const std::uint32_t width = be32(h);
  const std::uint32_t height = be32(h + 4);
  if (width == 0) return "PNG with zero width";
  if (height == 0) return "PNG with zero height";
  if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return "PNG with a size over 2^31 - 1";
  if (!isPngDepth(h[9], h[8])) {
    return "PNG with bit depth " + std::to_string(h[8]) + " for colour type " +
           std::to_string(h[9]);
  }
  if (h[10] != 0 || h[11] != 0 || h[12] > 1) {
    return "PNG with an unknown compression, filter or interlace method";
  }
  return std::nullopt;
}

Flaw walkPng(ByteReader& in) {
  constexpr const char* kTruncated = "truncated PNG: no IEND chunk";
  in.skip(8);
  unsigned colourType = 0;
  bool first = true;
  bool palette = false;
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
      std::uint8_t header[13];
      if (length != sizeof header)
        return "PNG IHDR of " + std::to_string(length) + " bytes, not 13";
      if (!in.read(header, sizeof header)) return kTruncated;
      crc = crc32(crc, header, sizeof header);
      if (Flaw flaw = checkPngHeader(header)) return flaw;
      colourType = header[9];
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
      if (colourType == 3 && !palette) return "PNG palette image without PLTE before IDAT";
      data = true;
    } else if (type == "IEND") {
      return data ? Flaw() : Flaw("PNG without IDAT");
    }
  }
}

// ---- JPEG: SOI, segments with lengths, a frame header before the first scan, each scan's
// entropy-coded data up to the marker that ends it, EOI.

constexpr const char* kJpegTruncated = "truncated JPEG: no EOI marker";

bool isFrameMarker(int marker) {
  // C4 (DHT), C8 (reserved) and CC (DAC) share the range of the SOFn markers.
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}
bool isRestartMarker(int marker) { return marker >= 0xD0 && marker <= 0xD7; }

// The code of the next marker, or -1 at the end. Fill bytes (0xFF) may precede a marker;
// stray bytes before it are skipped, as decoders skip them with a warning.
int nextMarker(ByteReader& in) {
  for (;;) {
    int byte = in.next();
    if (byte < 0) return -1;
    if (byte != 0xFF) continue;
    do {
      byte = in.next();
    } while (byte == 0xFF);
    if (byte != 0x00) return byte;
  }
}

// Moves past a scan's entropy-coded data, in which 0xFF is followed by a stuffed 0x00 or a
// restart marker; returns the marker that ends the data, or -1 at the end.
int skipEntropyCodedData(ByteReader& in) {
  for (;;) {
    const std::span<const std::uint8_t> some = in.peek();
    if (some.empty()) return -1;
    const void* found = std::memchr(some.data(), 0xFF, some.size());
    if (found == nullptr) {
      in.skip(some.size());
      continue;
    }
    in.skip(static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - some.data()) + 1);
    int byte = in.next();
    while (byte == 0xFF) byte = in.next();
    if (byte < 0) return -1;
    if (byte != 0x00 && !isRestartMarker(byte)) return byte;
  }
}

Flaw checkJpegFrame(ByteReader& in, std::uint32_t payload) {
  std::uint8_t f[6];
  if (payload < sizeof f) return "JPEG frame header of " + std::to_string(payload) + " bytes";
  if (!in.read(f, sizeof f)) return kJpegTruncated;
  const unsigned precision = f[0];
  const unsigned components = f[5];
  if (precision < 2 || precision > 16) {
    return "JPEG with sample precision " + std::to_string(precision);
  }
  if (be16(f + 3) == 0) return "JPEG with zero width";
  // Zero lines would be given later by a DNL segment, which decoders do not support.
  if (be16(f + 1) == 0) return "JPEG with zero height";
  if (components < 1 || components > 4) {
    return "JPEG with " + std::to_string(components) + " components";
  }
  if (payload != sizeof f + 3 * components) return "JPEG frame header of the wrong length";
  for (unsigned i = 0; i < components; ++i) {
    std::uint8_t c[3];
    if (!in.read(c, sizeof c)) return kJpegTruncated;
    const unsigned h = c[1] >> 4;
    const unsigned v = c[1] & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return "JPEG component with bad parameters";
  }
  return std::nullopt;
}

Flaw walkJpeg(ByteReader& in) {
  in.skip(2);
  bool frame = false;
  bool scan = false;
  int marker = nextMarker(in);
  for (;;) {
    if (marker < 0) return kJpegTruncated;
    if (marker == 0xD9) {
      if (!frame) return "JPEG without frame header";
      return scan ? Flaw() : Flaw("JPEG without scan data");
    }
    if (marker == 0xD8) return "JPEG with a second SOI marker";
    if (isRestartMarker(marker) || marker == 0x01) {  // markers without a length
      marker = nextMarker(in);
      continue;
    }
    std::uint8_t lengthBytes[2];
    if (!in.read(lengthBytes, sizeof lengthBytes)) return kJpegTruncated;
    const std::uint32_t length = be16(lengthBytes);
    if (length < 2)
      return "JPEG segment " + hexByte(static_cast<unsigned>(marker)) +
             " shorter than its length field";
    const std::uint32_t payload = length - 2;
    if (isFrameMarker(marker)) {
      if (frame) return "JPEG with a second frame header";
      if (Flaw flaw = checkJpegFrame(in, payload)) return flaw;
      frame = true;
      marker = nextMarker(in);
    } else if (marker == 0xDA) {
      if (!frame) return "JPEG without frame header";
      const int count = in.next();
      if (count < 0) return kJpegTruncated;
      if (count < 1 || count > 4 || payload != 4 + 2 * static_cast<std::uint32_t>(count)) {
        return "JPEG scan header of the wrong length";
      }
      if (!in.skip(payload - 1)) return kJpegTruncated;
      scan = true;
      marker = skipEntropyCodedData(in);
    } else {
      if (!in.skip(payload)) return kJpegTruncated;
      marker = nextMarker(in);
    }
  }
}

// ---- GIF: header and logical screen, an optional colour table, then image descriptors and
// extensions, each followed by data sub-blocks, up to the trailer.

constexpr const char* kGifTruncated = "truncated GIF: no trailer";

bool skipSubBlocks(ByteReader& in) {
  for (;;) {
    const int count = in.next();
    if (count <= 0) return count == 0;
    if (!in.skip(static_cast<std::uint64_t>(count))) return false;
  }
}

// The colour table that `flags` announces, if any.
bool skipColourTable(ByteReader& in, std::uint8_t flags) {
  return (flags & 0x80) == 0 || in.skip(3u << ((flags & 7u) + 1));
}

Flaw walkGif(ByteReader& in) {
  std::uint8_t screen[13];  // signature and logical screen descriptor
  if (!in.read(screen, sizeof screen)) return kGifTruncated;
  if (le16(screen + 6) == 0) return "GIF with zero width";
  if (le16(screen + 8) == 0) return "GIF with zero height";
  if (!skipColourTable(in, screen[10])) return kGifTruncated;
  bool image = false;
  for (;;) {
    const int block = in.next();
    if (block < 0) return kGifTruncated;
    if (block == 0x3B) return image ? Flaw() : Flaw("GIF without an image");
    if (block == 0x2C) {
      std::uint8_t descriptor[9];
      if (!in.read(descriptor, sizeof descriptor)) return kGifTruncated;
      if (!skipColourTable(in, descriptor[8])) return kGifTruncated;
      const int codeSize = in.next();
      if (codeSize < 0) return kGifTruncated;
      if (codeSize < 1 || codeSize > 11)
        return "GIF image with LZW code size " + std::to_string(codeSize);
      image = true;
    } else if (block == 0x21) {
      if (in.next() < 0) return kGifTruncated;  // the extension's label
    } else {
      return "GIF with an unknown block " + hexByte(static_cast<unsigned>(block));
    }
    if (!skipSubBlocks(in)) return kGifTruncated;
  }
}

// ---- WebP: a RIFF container whose size the file holds, with a VP8 (lossy) or VP8L
// (lossless) bitstream, or a VP8X header followed by the image's or animation's chunks.

constexpr const char* kWebpTruncated = "truncated WebP: the file ends inside the RIFF container";

// Reads the chunks from the reader's position up to `end`, handing each one's code and size
// to `onChunk` at the start of its data; onChunk may read part of the data.
template <class F>
Flaw walkChunks(ByteReader& in, std::uint64_t end, F&& onChunk) {
  while (in.position() < end) {
    std::uint8_t head[8];
    if (end - in.position() < sizeof head) return "WebP chunk header past the end of its container";
    if (!in.read(head, sizeof head)) return kWebpTruncated;
    const std::string code = fourcc(head);
    const std::uint64_t size = le32(head + 4);
    const std::uint64_t dataEnd = in.position() + size;
    if (dataEnd > end) return "WebP " + code + " chunk past the end of its container";
    if (Flaw flaw = onChunk(code, size)) return flaw;
    // Odd-sized data is padded to an even size; a missing pad at the very end is forgiven.
    const std::uint64_t next = std::min(dataEnd + (size & 1), end);
    if (!in.skip(next - in.position())) return kWebpTruncated;
  }
  return std::nullopt;
}

Flaw checkVp8(ByteReader& in, std::uint64_t size) {
  std::uint8_t b[10];  // frame tag, start code, width and height
  if (size < sizeof b) return "WebP VP8 chunk too small for a frame header";
  if (!in.read(b, sizeof b)) return kWebpTruncated;
  const std::uint32_t tag = le24(b);
  if ((tag & 1) != 0) return "WebP VP8 data that is not a key frame";
  if (((tag >> 1) & 7) > 3) return "WebP VP8 of an unknown version";
  if (((tag >> 4) & 1) == 0) return "WebP VP8 frame that is not shown";
  if ((tag >> 5) > size - sizeof b) return "WebP VP8 first partition past its chunk";
  if (b[3] != 0x9D || b[4] != 0x01 || b[5] != 0x2A) return "WebP VP8 without its start code";
  if ((le16(b + 6) & 0x3FFF) == 0) return "WebP with zero width";
  if ((le16(b + 8) & 0x3FFF) == 0) return "WebP with zero height";
  return std::nullopt;
}

Flaw checkVp8l(ByteReader& in, std::uint64_t size) {
  std::uint8_t b[5];  // signature, then 14 + 14 bits of size, an alpha bit, 3 bits of version
  if (size < sizeof b) return "WebP VP8L chunk too small for its header";
  if (!in.read(b, sizeof b)) return kWebpTruncated;
  if (b[0] != 0x2F) return "WebP VP8L without its signature";
  if ((le32(b + 1) >> 29) != 0) return "WebP VP8L of an unknown version";
  return std::nullopt;
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
  if (!in.skip(kFrameHeader)) return kWebpTruncated;
  bool image = false;
  if (Flaw flaw = walkChunks(in, in.position() + size - kFrameHeader,
                             [&](const std::string& code, std::uint64_t chunkSize) {
                               return checkBitstream(in, code, chunkSize, &image);
                             })) {
    return flaw;
  }
  return image ? Flaw() : Flaw("WebP animation frame without image data");
}

Flaw walkWebp(ByteReader& in) {
  std::uint8_t riff[12];
  if (!in.read(riff, sizeof riff)) return kWebpTruncated;
  const std::uint64_t end = 8 + static_cast<std::uint64_t>(le32(riff + 4));
  if (end > in.size()) {
    return "truncated WebP: a RIFF container of " + std::to_string(end) + " bytes in a file of " +
           std::to_string(in.size());
  }
  bool first = true;
  bool extended = false;
  bool animated = false;
  bool image = false;
  unsigned frames = 0;
  Flaw flaw = walkChunks(in, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
    if (first) {
      first = false;
      if (code != "VP8X") {
        if (code != "VP8 " && code != "VP8L") return "WebP without a VP8, VP8L or VP8X chunk first";
        return checkBitstream(in, code, size, &image);
      }
      std::uint8_t x[10];  // flags, three reserved bytes, canvas width - 1 and height - 1
      if (size < sizeof x) return "WebP VP8X chunk too small for its header";
      if (!in.read(x, sizeof x)) return kWebpTruncated;
      if ((static_cast<std::uint64_t>(le24(x + 4)) + 1) * (le24(x + 7) + 1) > 0xFFFFFFFFu) {
        return "WebP canvas over 2^32 - 1 pixels";
      }
      extended = true;
      animated = (x[0] & 0x02) != 0;
      return std::nullopt;
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

// ---- Recognition by signature, then the kind's walk.

struct Kind {
  std::string_view lead;  // at offset 0
  std::size_t tagOffset;  // where `tag` must follow, when there is one
  std::string_view tag;
  const char* typeIdentifier;
  Flaw (*walk)(ByteReader&);
};

constexpr Kind kKinds[] = {
    {"\xFF\xD8\xFF", 0, "", "public.jpeg", walkJpeg},
    {"\x89PNG\r\n\x1A\n", 0, "", "public.png", walkPng},
    {"GIF87a", 0, "", "com.compuserve.gif", walkGif},
    {"GIF89a", 0, "", "com.compuserve.gif", walkGif},
    // A RIFF container, four bytes of length, then the form type.
    {"RIFF", 8, "WEBP", "org.webmproject.webp", walkWebp},
};

// Every signature fits in the first twelve bytes.
constexpr std::size_t kSniffBytes = 12;

bool hasAt(std::string_view head, std::size_t offset, std::string_view bytes) {
  return head.size() >= offset + bytes.size() && head.substr(offset, bytes.size()) == bytes;
}

foundation::Result<const char*> check(std::span<const std::uint8_t> head, ByteReader& in) {
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  for (const Kind& kind : kKinds) {
    if (!hasAt(text, 0, kind.lead) || !hasAt(text, kind.tagOffset, kind.tag)) continue;
    Flaw flaw = kind.walk(in);
    if (in.error() != 0) return foundation::posixError("pread", in.error());
    if (flaw) return NSError{UNErrorDomain, UNErrorCodeAttachmentCorrupt, std::move(*flaw)};
    return kind.typeIdentifier;
  }
  return NSError{UNErrorDomain, UNErrorCodeAttachmentUnrecognizedType,
                 "not a JPEG, PNG, GIF or WebP image"};
}

// The calling thread's read buffer, kept from image to image: one allocated for each image
// went back to the system when freed and was faulted in again for the next.
std::span<std::uint8_t> readBuffer(std::size_t bytes) {
  bytes = std::max<std::size_t>(bytes, 1);
  thread_local std::vector<std::uint8_t> buffer;
  if (buffer.size() < bytes) buffer.resize(bytes);
  return {buffer.data(), bytes};
}

}  // namespace

foundation::Result<const char*> wholeImageType(std::span<const std::uint8_t> bytes) {
  ByteReader in(bytes);
  return check(bytes.first(std::min(bytes.size(), kSniffBytes)), in);
}

foundation::Result<const char*> wholeImageType(int fd, std::uint64_t size,
                                               std::size_t bufferBytes) {
  ByteReader in(fd, size, readBuffer(bufferBytes));
  // The first read holds the signature, and the walk goes on from the same bytes.
  std::span<const std::uint8_t> head = in.peek();
  if (in.error() != 0) return foundation::posixError("pread", in.error());
  std::uint8_t sniffed[kSniffBytes];
  if (head.size() < kSniffBytes && head.size() < size) {
    // A buffer shorter than the longest signature: that is read on its own.
    ssize_t got = 0;
    do {
      got = ::pread(fd, sniffed, sizeof sniffed, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return foundation::posixError("pread", errno);
    head = std::span<const std::uint8_t>(sniffed, static_cast<std::size_t>(got));
  }
  return check(head.first(std::min(head.size(), kSniffBytes)), in);
}

}  // namespace user_notifications
