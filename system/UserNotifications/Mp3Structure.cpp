// MP3: optional ID3v2 tags (a syncsafe size, and a footer when the tag says so), then MPEG
// audio Layer III frames, each header's bitrate, sample rate and padding giving where the
// next one starts, chained to the end of the data; every frame of the first one's version,
// sample rate and channel count. A Xing or Info header in the first frame counts the frames
// that follow; a chain that falls short of it by more than one (encoders differ on whether
// the count includes the header's own frame) was cut at a frame boundary. After the last
// frame, decoders allow a trailer: an ID3v1 tag (whole, 128 bytes), an APE or Lyrics3 tag, an
// appended ID3v2 tag (what follows their signatures is not read), or zero bytes to the end.
// Anything else there means the chain broke. Zero bytes between the ID3v2 tag and the first
// frame are allowed too, as taggers leave them.
#include <optional>

#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

constexpr unsigned kMpeg1 = 3;  // the version bits: 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1

struct Frame {
  unsigned version = 0;
  unsigned rateIndex = 0;
  bool mono = false;
  bool crc = false;
  std::uint32_t bytes = 0;
};

// The Layer III frame whose header is `h`; absent when `h` is not one (free format, whose
// frames have no length to chain by, included).
std::optional<Frame> frameHeader(const std::uint8_t* h) {
  constexpr std::uint32_t kKbpsMpeg1[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                            112, 128, 160, 192, 224, 256, 320, 0};
  constexpr std::uint32_t kKbpsMpeg2[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                            64, 80, 96, 112, 128, 144, 160, 0};
  constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};  // MPEG-1's; halved, quartered
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
  Frame frame;
  frame.version = (h[1] >> 3) & 3u;
  const unsigned layer = (h[1] >> 1) & 3u;
  const unsigned bitrateIndex = h[2] >> 4;
  frame.rateIndex = (h[2] >> 2) & 3u;
  if (frame.version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 ||
      frame.rateIndex == 3 || (h[3] & 3u) == 2) {
    return std::nullopt;
  }
  frame.crc = (h[1] & 1u) == 0;
  frame.mono = (h[3] >> 6) == 3;
  const bool mpeg1 = frame.version == kMpeg1;
  const std::uint32_t rate = kRates[frame.rateIndex] >> (mpeg1 ? 0 : frame.version == 2 ? 1 : 2);
  const std::uint32_t bps = (mpeg1 ? kKbpsMpeg1 : kKbpsMpeg2)[bitrateIndex] * 1000;
  frame.bytes = (mpeg1 ? 144 : 72) * bps / rate + ((h[2] >> 1) & 1u);
  return frame;
}

bool sameStream(const Frame& a, const Frame& b) {
  return a.version == b.version && a.rateIndex == b.rateIndex && a.mono == b.mono;
}

bool startsWith(const std::uint8_t* word, const char* signature, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (word[i] != static_cast<std::uint8_t>(signature[i])) return false;
  }
  return true;
}

std::string truncatedFrame(std::uint64_t at, std::uint32_t bytes, std::uint64_t size) {
  return "truncated MP3: a frame of " + std::to_string(bytes) + " bytes at " + std::to_string(at) +
         " in a file of " + std::to_string(size);
}

// Moves past the ID3v2 tag whose first four bytes are `word`.
Flaw skipId3v2(ByteReader& in, const std::uint8_t* word) {
  const std::uint64_t at = in.position() - 4;
  std::uint8_t h[6];  // revision, flags, syncsafe size
  if (!in.read(h, sizeof h)) return "truncated MP3: the file ends inside its ID3v2 tag header";
  if (word[3] < 2 || word[3] > 4 || h[0] == 0xFF || ((h[2] | h[3] | h[4] | h[5]) & 0x80) != 0) {
    return "MP3 with an ID3v2 tag header that is not sane";
  }
  const std::uint64_t size =
      std::uint64_t{h[2]} << 21 | std::uint64_t{h[3]} << 14 | std::uint64_t{h[4]} << 7 | h[5];
  const bool footer = word[3] == 4 && (h[1] & 0x10) != 0;
  if (!in.skip(size)) {
    return "truncated MP3: an ID3v2 tag of " + std::to_string(10 + size + (footer ? 10 : 0)) +
           " bytes at " + std::to_string(at) + " in a file of " + std::to_string(in.size());
  }
  if (!footer) return std::nullopt;
  std::uint8_t f[10];
  if (!in.read(f, sizeof f)) return "truncated MP3: the file ends inside its ID3v2 tag footer";
  return startsWith(f, "3DI", 3) ? Flaw() : Flaw("MP3 with an ID3v2 footer without its signature");
}

// The number of frames a Xing or Info header in the frame at the reader's position counts
// (the frame's header read, its other bytes not), reading as far as that count.
std::optional<std::uint32_t> xingFrames(ByteReader& in, const Frame& frame) {
  // The side information comes first; its size depends on the version and channels.
  const std::uint32_t side =
      (frame.version == kMpeg1 ? (frame.mono ? 17u : 32u) : (frame.mono ? 9u : 17u)) +
      (frame.crc ? 2u : 0u);
  std::uint8_t x[12];  // "Xing" or "Info", flags, frames
  if (frame.bytes < 4 + side + sizeof x || !in.skip(side) || !in.read(x, sizeof x)) {
    return std::nullopt;
  }
  if (!startsWith(x, "Xing", 4) && !startsWith(x, "Info", 4)) return std::nullopt;
  if ((x[7] & 1) == 0) return 0;
  return be32(x + 8);
}

// Whether the bytes from `word` (just read) on are a trailer decoders allow after the last
// frame; a flaw when they start one cut short.
std::optional<Flaw> trailer(ByteReader& in, const std::uint8_t* word) {
  if (startsWith(word, "TAG", 3)) {
    if (in.remaining() + 4 < 128) {
      return Flaw("truncated MP3: an ID3v1 tag of " + std::to_string(in.remaining() + 4) +
                  " bytes, not 128");
    }
    return Flaw();
  }
  if (startsWith(word, "APET", 4) || startsWith(word, "LYRI", 4) || startsWith(word, "ID3", 3)) {
    return Flaw();
  }
  if (startsWith(word, "\0\0\0\0", 4) && onlyZerosRemain(in)) return Flaw();
  return std::nullopt;
}

}  // namespace

Flaw walkMp3(ByteReader& in, FoundType&) {
  std::uint8_t word[4];
  if (!in.read(word, sizeof word)) return "truncated MP3: the file ends inside its first header";
  while (startsWith(word, "ID3", 3)) {
    if (Flaw flaw = skipId3v2(in, word)) return flaw;
    if (in.remaining() == 0) return "MP3 without audio frames";
    if (!in.read(word, sizeof word)) return "truncated MP3: the file ends inside its first frame";
  }
  while (word[0] == 0) {
    word[0] = word[1];
    word[1] = word[2];
    word[2] = word[3];
    const int next = in.next();
    if (next < 0) return "MP3 without audio frames";
    word[3] = static_cast<std::uint8_t>(next);
  }
  const std::optional<Frame> first = frameHeader(word);
  if (!first) {
    return "MP3 without an MPEG audio Layer III frame of a known bitrate at " +
           std::to_string(in.position() - 4);
  }
  std::optional<std::uint32_t> declared;
  std::uint64_t frames = 0;
  Frame frame = *first;
  for (bool firstFrame = true;; firstFrame = false) {
    const std::uint64_t at = in.position() - 4;
    const std::uint64_t rest = at + frame.bytes;
    if (firstFrame) declared = xingFrames(in, frame);
    // A Xing or Info header's own frame holds no audio.
    if (!firstFrame || !declared) ++frames;
    if (rest > in.size() || !in.skip(rest - in.position())) {
      return truncatedFrame(at, frame.bytes, in.size());
    }
    if (in.remaining() == 0) break;
    const std::uint64_t next = in.position();
    if (in.remaining() < 4) {
      if (onlyZerosRemain(in)) break;
      return "truncated MP3: the file ends inside a frame header at " + std::to_string(next);
    }
    if (!in.read(word, sizeof word)) return truncatedFrame(next, 4, in.size());
    const std::optional<Frame> header = frameHeader(word);
    if (header && sameStream(*header, *first)) {
      frame = *header;
      continue;
    }
    if (std::optional<Flaw> end = trailer(in, word)) {
      if (*end) return *end;
      break;
    }
    return "MP3 frame chain broken at byte " + std::to_string(next);
  }
  if (frames == 0) return "MP3 without audio frames";
  if (declared && *declared > frames + 1) {
    return "truncated MP3: " + std::to_string(frames) + " frames of the " +
           std::to_string(*declared) + " its Xing header counts";
  }
  return std::nullopt;
}

}  // namespace user_notifications::structure
