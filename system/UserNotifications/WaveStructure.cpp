// WAV: a RIFF container of form WAVE whose size the file holds, its chunks' sizes within it,
// one sane fmt chunk before the data chunk. Bytes after the container are allowed, as
// decoders allow them (tags and other data are appended to WAV files).
#include "UserNotifications/RiffChunks.hpp"

namespace user_notifications::structure {
namespace {

constexpr ChunkForm kWaveChunks{"WAV", false};

constexpr unsigned kPcm = 1;
constexpr unsigned kIeeeFloat = 3;
constexpr unsigned kExtensible = 0xFFFE;

Flaw checkFormat(ByteReader& in, std::uint64_t size) {
  std::uint8_t f[16];  // tag, channels, sample rate, bytes a second, block align, bits
  if (size < sizeof f) return "WAV fmt chunk of " + std::to_string(size) + " bytes";
  if (!in.read(f, sizeof f)) return truncatedChunks(kWaveChunks);
  const unsigned tag = le16(f);
  const unsigned channels = le16(f + 2);
  const unsigned blockAlign = le16(f + 12);
  const unsigned bits = le16(f + 14);
  if (tag == 0) return "WAV of an unknown sample format";
  if (channels == 0) return "WAV without channels";
  if (le32(f + 4) == 0) return "WAV with a sample rate of 0";
  if (blockAlign == 0) return "WAV with a block alignment of 0";
  if (tag == kPcm || tag == kIeeeFloat || tag == kExtensible) {
    if (bits == 0 || bits > 64) return "WAV with " + std::to_string(bits) + " bits a sample";
    if (tag != kExtensible && blockAlign != channels * ((bits + 7) / 8)) {
      return "WAV whose block alignment is not its channels' samples";
    }
  }
  if (tag == kExtensible && size < 40) return "WAV extensible fmt chunk shorter than 40 bytes";
  return std::nullopt;
}

}  // namespace

Flaw walkWave(ByteReader& in, FoundType&) {
  std::uint64_t end = 0;
  if (Flaw flaw = readContainer(in, kWaveChunks, &end)) return flaw;
  bool format = false;
  bool data = false;
  Flaw flaw =
      walkChunks(in, kWaveChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (code == "fmt ") {
          if (format) return "WAV with a second fmt chunk";
          format = true;
          return checkFormat(in, size);
        }
        if (code == "data") {
          if (!format) return "WAV data chunk before its fmt chunk";
          if (data) return "WAV with a second data chunk";
          data = true;
        }
        return std::nullopt;
      });
  if (flaw) return flaw;
  return data ? Flaw() : Flaw("WAV without a data chunk");
}

}  // namespace user_notifications::structure
