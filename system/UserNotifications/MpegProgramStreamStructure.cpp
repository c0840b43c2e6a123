// MPEG program streams: packs, each a pack header and the packets after it (a system header,
// elementary stream packets, padding), every packet's length giving where the next start
// code is, up to the end code 00 00 01 B9 or the end of the file. ffmpeg writes no end code
// (so that streams concatenate), and decoders need none: a stream may end after any whole
// packet. The pack header tells the two apart: an MPEG-1 system stream's begins with the
// bits 0010 and is 12 bytes long (public.mpeg), an MPEG-2 program stream's with 01 and is 14
// bytes and its stuffing (public.mpeg-2-video); every pack of a file must be of the first
// one's kind. Zero bytes may come before any start code, as decoders skip them (ffmpeg's VCD
// packs end in twenty). After the end code anything is allowed, as decoders stop there;
// without one, only zero bytes may follow the last packet.
#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

constexpr unsigned kPack = 0xBA;
constexpr unsigned kEnd = 0xB9;
constexpr unsigned kSystemHeader = 0xBB;  // the first code of a packet with a length

bool isElementaryStream(unsigned code) {
  return code == 0xBD || (code >= 0xC0 && code <= 0xEF);  // private 1, audio, video
}

// The bytes of the pack header after its start code, the first two of which are `b`, or 0
// when they are of neither kind. MPEG-2's stuffing length is in its last byte, read later.
unsigned packHeaderBytes(const std::uint8_t* b, bool* mpeg2) {
  if ((b[0] & 0xF0) == 0x20) {
    *mpeg2 = false;
    return 8;
  }
  if ((b[0] & 0xC0) == 0x40) {
    *mpeg2 = true;
    return 10;
  }
  return 0;
}

std::string truncated(const char* what, std::uint64_t at, std::uint64_t bytes, std::uint64_t size) {
  return std::string("truncated MPEG program stream: ") + what + " of " + std::to_string(bytes) +
         " bytes at " + std::to_string(at) + " in a file of " + std::to_string(size);
}

// Moves past the pack header whose start code has just been read.
Flaw skipPackHeader(ByteReader& in, bool first, bool* mpeg2) {
  const std::uint64_t at = in.position() - 4;
  std::uint8_t h[10];
  if (!in.read(h, 1)) return truncated("a pack header", at, 12, in.size());
  bool isMpeg2 = false;
  const unsigned bytes = packHeaderBytes(h, &isMpeg2);
  if (bytes == 0) return "MPEG pack header at " + std::to_string(at) + " of neither MPEG-1 nor 2";
  if (!first && isMpeg2 != *mpeg2) return "MPEG program stream mixing MPEG-1 and MPEG-2 packs";
  *mpeg2 = isMpeg2;
  if (!in.read(h + 1, bytes - 1)) return truncated("a pack header", at, 4 + bytes, in.size());
  // Marker bits, always 1, that separate the clock reference's fields and the mux rate.
  const bool markers =
      isMpeg2 ? (h[0] & h[2] & h[4] & 0x04) != 0 && (h[5] & 0x01) != 0 && (h[8] & 0x03) == 0x03
              : (h[0] & h[2] & h[4] & h[7] & 0x01) != 0 && (h[5] & 0x80) != 0;
  if (!markers) return "MPEG pack header at " + std::to_string(at) + " without its marker bits";
  const unsigned stuffing = isMpeg2 ? (h[9] & 7u) : 0;
  if (!in.skip(stuffing)) return truncated("a pack header", at, 14 + stuffing, in.size());
  return std::nullopt;
}

}  // namespace

Flaw walkMpegProgramStream(ByteReader& in, FoundType& type) {
  bool mpeg2 = false;
  bool packs = false;
  bool media = false;
  while (in.remaining() > 0) {
    const std::uint64_t at = in.position();
    // Zero bytes may come before a start code's 00 00 01 (a VCD's packs end in twenty), and
    // after the last packet.
    std::uint64_t zeros = 0;
    int byte = in.next();
    for (; byte == 0; byte = in.next()) ++zeros;
    if (byte < 0) break;
    if (zeros < 2 || byte != 1) {
      return "MPEG program stream broken at byte " + std::to_string(at + zeros) + ": no start code";
    }
    const std::uint64_t start = in.position() - 3;
    byte = in.next();
    if (byte < 0) {
      return "truncated MPEG program stream: the file ends inside a start code at " +
             std::to_string(start);
    }
    const std::uint8_t code[4] = {0, 0, 1, static_cast<std::uint8_t>(byte)};
    if (code[3] == kEnd) break;
    if (code[3] == kPack) {
      if (Flaw flaw = skipPackHeader(in, !packs, &mpeg2)) return flaw;
      if (!packs && mpeg2 && !type.becomes(kMpeg2)) return "over the limit";
      packs = true;
      continue;
    }
    if (code[3] < kSystemHeader) {
      return "MPEG program stream broken at byte " + std::to_string(start) + ": start code " +
             hexByte(code[3]) + " outside a packet";
    }
    std::uint8_t length[2];
    if (!in.read(length, sizeof length)) return truncated("a packet", start, 6, in.size());
    if (!in.skip(be16(length))) return truncated("a packet", start, 6 + be16(length), in.size());
    media = media || isElementaryStream(code[3]);
  }
  return media ? Flaw() : Flaw("MPEG program stream without audio or video packets");
}

}  // namespace user_notifications::structure
