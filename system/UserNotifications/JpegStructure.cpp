// JPEG: SOI, segments with their lengths, one sane frame header (within the pixel limit)
// before the first scan, each scan's entropy-coded data up to the marker that ends it, EOI.
// Bytes after EOI are allowed, as decoders allow them.
#include <cstring>

#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

constexpr const char* kTruncated = "truncated JPEG: no EOI marker";

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

Flaw checkFrame(ByteReader& in, std::uint32_t payload) {
  std::uint8_t f[6];
  if (payload < sizeof f) return "JPEG frame header of " + std::to_string(payload) + " bytes";
  if (!in.read(f, sizeof f)) return kTruncated;
  const unsigned precision = f[0];
  const unsigned components = f[5];
  if (precision < 2 || precision > 16) {
    return "JPEG with sample precision " + std::to_string(precision);
  }
  if (be16(f + 3) == 0) return "JPEG with zero width";
  // Zero lines would be given later by a DNL segment, which decoders do not support.
  if (be16(f + 1) == 0) return "JPEG with zero height";
  if (Flaw flaw = checkImagePixels("JPEG", be16(f + 3), be16(f + 1))) return flaw;
  if (components < 1 || components > 4) {
    return "JPEG with " + std::to_string(components) + " components";
  }
  if (payload != sizeof f + 3 * components) return "JPEG frame header of the wrong length";
  for (unsigned i = 0; i < components; ++i) {
    std::uint8_t c[3];
    if (!in.read(c, sizeof c)) return kTruncated;
    const unsigned h = c[1] >> 4;
    const unsigned v = c[1] & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return "JPEG component with bad parameters";
  }
  return std::nullopt;
}

}  // namespace

Flaw walkJpeg(ByteReader& in, FoundType&) {
  in.skip(2);
  bool frame = false;
  bool scan = false;
  int marker = nextMarker(in);
  for (;;) {
    if (marker < 0) return kTruncated;
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
    if (!in.read(lengthBytes, sizeof lengthBytes)) return kTruncated;
    const std::uint32_t length = be16(lengthBytes);
    if (length < 2) {
      return "JPEG segment " + hexByte(static_cast<unsigned>(marker)) +
             " shorter than its length field";
    }
    const std::uint32_t payload = length - 2;
    if (isFrameMarker(marker)) {
      if (frame) return "JPEG with a second frame header";
      if (Flaw flaw = checkFrame(in, payload)) return flaw;
      frame = true;
      marker = nextMarker(in);
    } else if (marker == 0xDA) {
      if (!frame) return "JPEG without frame header";
      const int count = in.next();
      if (count < 0) return kTruncated;
      if (count < 1 || count > 4 || payload != 4 + 2 * static_cast<std::uint32_t>(count)) {
        return "JPEG scan header of the wrong length";
      }
      if (!in.skip(payload - 1)) return kTruncated;
      scan = true;
      marker = skipEntropyCodedData(in);
    } else {
      if (!in.skip(payload)) return kTruncated;
      marker = nextMarker(in);
    }
  }
}

}  // namespace user_notifications::structure
