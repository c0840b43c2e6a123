// AIFF and AIFC: an IFF container of form AIFF or AIFC whose size the file holds, its chunks'
// sizes within it (big-endian, padded to even lengths), one sane COMM chunk and, unless COMM
// counts no sample frames, one SSND chunk; for uncompressed samples, the sample frames that
// COMM counts must fit in SSND's data. Bytes after the container are allowed, as decoders
// allow them.
#include <optional>

#include "UserNotifications/RiffChunks.hpp"

namespace user_notifications::structure {
namespace {

constexpr ChunkForm kAiffChunks{"AIFF", true};

// The bytes one sample takes in AIFC's `compression`, or 0 for a compressed format whose
// size does not follow from its samples.
unsigned bytesPerSample(const std::string& compression, unsigned bits) {
  if (compression == "NONE" || compression == "twos" || compression == "sowt" ||
      compression == "raw ") {
    return (bits + 7) / 8;
  }
  if (compression == "in24") return 3;
  if (compression == "in32" || compression == "fl32" || compression == "FL32") return 4;
  if (compression == "fl64" || compression == "FL64") return 8;
  if (compression == "ulaw" || compression == "ULAW" || compression == "alaw" ||
      compression == "ALAW") {
    return 1;
  }
  return 0;
}

// Whether an 80-bit extended float holds a sample rate from 1 Hz to 2^32 - 1 Hz.
bool isSaneRate(const std::uint8_t* r) {
  const unsigned signAndExponent = be16(r);
  if ((signAndExponent & 0x8000) != 0 || (r[2] & 0x80) == 0) return false;
  const int exponent = static_cast<int>(signAndExponent) - 16383;
  return exponent >= 0 && exponent <= 31;
}

struct Common {
  std::uint64_t frames = 0;
  unsigned frameBytes = 0;  // 0: compressed
};

Flaw checkCommon(ByteReader& in, std::uint64_t size, bool compressed, Common* common) {
  std::uint8_t c[22];  // channels, sample frames, bits, rate; AIFC's compression type
  const std::uint64_t want = compressed ? 22 : 18;
  if (size < want) return "AIFF COMM chunk of " + std::to_string(size) + " bytes";
  if (!in.read(c, static_cast<std::size_t>(want))) return truncatedChunks(kAiffChunks);
  const unsigned channels = be16(c);
  const unsigned bits = be16(c + 6);
  if (channels == 0) return "AIFF without channels";
  if (bits == 0 || bits > 32) return "AIFF with " + std::to_string(bits) + " bits a sample";
  if (!isSaneRate(c + 8)) return "AIFF with a sample rate that is not from 1 Hz to 2^32 - 1";
  const std::string compression =
      compressed ? std::string(reinterpret_cast<char*>(c + 18), 4) : std::string("NONE");
  common->frames = be32(c + 2);
  common->frameBytes = channels * bytesPerSample(compression, bits);
  return std::nullopt;
}

}  // namespace

Flaw walkAiff(ByteReader& in, FoundType&) {
  std::uint64_t end = 0;
  std::string formType;
  if (Flaw flaw = readContainer(in, kAiffChunks, &end, &formType)) return flaw;
  std::optional<Common> common;
  std::optional<std::uint64_t> soundBytes;  // SSND's sample data, after its offset
  Flaw flaw =
      walkChunks(in, kAiffChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (code == "COMM") {
          if (common) return "AIFF with a second COMM chunk";
          common.emplace();
          return checkCommon(in, size, formType == "AIFC", &*common);
        }
        if (code == "SSND") {
          std::uint8_t s[8];  // offset to the first sample frame, block size
          if (soundBytes) return "AIFF with a second SSND chunk";
          if (size < sizeof s) return "AIFF SSND chunk of " + std::to_string(size) + " bytes";
          if (!in.read(s, sizeof s)) return truncatedChunks(kAiffChunks);
          if (be32(s) > size - sizeof s) return "AIFF SSND offset past the end of its chunk";
          soundBytes = size - sizeof s - be32(s);
        }
        return std::nullopt;
      });
  if (flaw) return flaw;
  if (!common) return "AIFF without a COMM chunk";
  if (common->frames == 0) return std::nullopt;
  if (!soundBytes) return "AIFF without an SSND chunk";
  if (common->frameBytes != 0 && common->frames * common->frameBytes > *soundBytes) {
    return "AIFF COMM counts " + std::to_string(common->frames) +
           " sample frames, more than its SSND chunk holds";
  }
  return std::nullopt;
}

}  // namespace user_notifications::structure
