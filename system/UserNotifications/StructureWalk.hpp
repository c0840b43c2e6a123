// StructureWalk: what the format walkers of AttachmentType share, inside the library only: a
// walk's verdict (a Flaw), the types walks name, the byte order helpers, the image pixel
// bound, the type a walk has found so far, and the walkers themselves, one file each. A walker
// starts at the reader's position 0, reads each byte at most once and returns the first reason the
// bytes are not one whole file of its format. Plain functions and values; FoundType has one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/ByteReader.hpp"

namespace user_notifications::structure {

// Why a walk stopped short of a whole file; absent when the file is whole.
using Flaw = std::optional<std::string>;

// Every type a walk names.
inline constexpr AttachmentType kJpeg{"public.jpeg", AttachmentKind::image};
inline constexpr AttachmentType kPng{"public.png", AttachmentKind::image};
inline constexpr AttachmentType kGif{"com.compuserve.gif", AttachmentKind::image};
inline constexpr AttachmentType kWebp{"org.webmproject.webp", AttachmentKind::image};
inline constexpr AttachmentType kAiff{"public.aiff-audio", AttachmentKind::audio};
inline constexpr AttachmentType kWave{"com.microsoft.waveform-audio", AttachmentKind::audio};
inline constexpr AttachmentType kMp3{"public.mp3", AttachmentKind::audio};
inline constexpr AttachmentType kMpeg4Audio{"public.mpeg-4-audio", AttachmentKind::audio};
inline constexpr AttachmentType kMpeg{"public.mpeg", AttachmentKind::video};
inline constexpr AttachmentType kMpeg2{"public.mpeg-2-video", AttachmentKind::video};
inline constexpr AttachmentType kMpeg4{"public.mpeg-4", AttachmentKind::video};
inline constexpr AttachmentType kAvi{"public.avi", AttachmentKind::video};
inline constexpr AttachmentType kAttachmentTypes[] = {
    kJpeg, kPng, kGif, kWebp, kAiff, kWave, kMp3, kMpeg4Audio, kMpeg, kMpeg2, kMpeg4, kAvi};

inline std::uint32_t be16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]);
}
inline std::uint32_t be24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 16 | be16(p + 1);
}
inline std::uint32_t be32(const std::uint8_t* p) { return be16(p) << 16 | be16(p + 2); }
inline std::uint64_t be64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4);
}
inline std::uint32_t le16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[0]);
}
inline std::uint32_t le24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[2]) << 16 | le16(p);
}
inline std::uint32_t le32(const std::uint8_t* p) { return le16(p + 2) << 16 | le16(p); }

// "0x3B", for a byte a message names.
std::string hexByte(unsigned byte);
// A four-character code as text; bytes that are not printable would make a poor message.
std::string fourcc(const std::uint8_t* p);
// Whether every byte from the reader's position to its end is zero, reading them all: the
// padding that a writer or a transfer may leave after a stream that has no end marker.
bool onlyZerosRemain(ByteReader& in);

// An image of `width` x `height` pixels, unless that is more than kMaximumImagePixels.
Flaw checkImagePixels(const char* format, std::uint64_t width, std::uint64_t height);

// The type a walk has found so far: the signature's, then what a header tells (an ISO file's
// brands, an MPEG pack header's version). A file over its kind's limit is refused as soon as
// the kind is known, before the rest of it is read.
class FoundType {
 public:
  FoundType(AttachmentType type, std::uint64_t fileBytes) : type_(type), fileBytes_(fileBytes) {}

  // Takes `type` as the file's; false when the file is over its kind's limit, which ends the
  // walk (the flaw the walk returns then is not shown: the size is the reason).
  bool becomes(AttachmentType type) {
    type_ = type;
    return !overLimit();
  }
  AttachmentType type() const { return type_; }
  bool overLimit() const { return fileBytes_ > maximumAttachmentBytes(type_.kind); }

  // Marks the file as one of a kind that notifications do not show (an ISO media file of
  // another brand): its flaw is then an unrecognised type rather than a corrupt file.
  void markUnshownKind() { unshownKind_ = true; }
  bool unshownKind() const { return unshownKind_; }

 private:
  AttachmentType type_;
  std::uint64_t fileBytes_;
  bool unshownKind_ = false;
};

// The walkers, one file each. Image walkers leave the type alone.
Flaw walkJpeg(ByteReader& in, FoundType& type);
Flaw walkPng(ByteReader& in, FoundType& type);
Flaw walkGif(ByteReader& in, FoundType& type);
Flaw walkWebp(ByteReader& in, FoundType& type);
Flaw walkWave(ByteReader& in, FoundType& type);
Flaw walkAvi(ByteReader& in, FoundType& type);
Flaw walkAiff(ByteReader& in, FoundType& type);
Flaw walkMp3(ByteReader& in, FoundType& type);
Flaw walkIsoMedia(ByteReader& in, FoundType& type);
Flaw walkMpegProgramStream(ByteReader& in, FoundType& type);

}  // namespace user_notifications::structure
