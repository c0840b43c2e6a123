#include "UserNotifications/AttachmentType.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "UserNotifications/StructureWalk.hpp"
#include "UserNotifications/UNError.hpp"

namespace user_notifications {
namespace {

using structure::Flaw;
using structure::FoundType;
using structure::kAiff;
using structure::kAvi;
using structure::kGif;
using structure::kJpeg;
using structure::kMp3;
using structure::kMpeg;
using structure::kMpeg4;
using structure::kPng;
using structure::kWave;
using structure::kWebp;

constexpr std::uint64_t kMiB = 1024 * 1024;

const char* kindName(AttachmentKind kind) {
  switch (kind) {
    case AttachmentKind::audio:
      return "audio";
    case AttachmentKind::image:
      return "image";
    case AttachmentKind::video:
      return "video";
  }
  return "media";
}

// A format recognised by its signature: `lead` at offset 0 and `tag` at `tagOffset`, and
// `also` when the signature has bits that strings do not say.
struct Format {
  std::string_view lead;
  std::size_t tagOffset;
  std::string_view tag;
  AttachmentType type;  // the signature's; the walk may name a narrower one
  Flaw (*walk)(ByteReader&, FoundType&);
  bool (*also)(std::string_view head) = nullptr;
};

// An MPEG audio frame header of Layer III (the two layer bits 01), of a version that exists.
bool isLayer3Sync(std::string_view head) {
  if (head.size() < 2) return false;
  const auto b = static_cast<unsigned char>(head[1]);
  return (b & 0xE0) == 0xE0 && ((b >> 1) & 3) == 1 && ((b >> 3) & 3) != 1;
}

// Where a walk may narrow the type (MPEG-4 to its audio, MPEG-1 to MPEG-2), the signature's
// type is the one of the larger limit, so that no file is refused for its size too early.
const Format kFormats[] = {
    {"\xFF\xD8\xFF", 0, "", kJpeg, structure::walkJpeg},
    {"\x89PNG\r\n\x1A\n", 0, "", kPng, structure::walkPng},
    {"GIF87a", 0, "", kGif, structure::walkGif},
    {"GIF89a", 0, "", kGif, structure::walkGif},
    // RIFF and IFF containers: four bytes of length, then the form type.
    {"RIFF", 8, "WEBP", kWebp, structure::walkWebp},
    {"RIFF", 8, "WAVE", kWave, structure::walkWave},
    {"RIFF", 8, "AVI ", kAvi, structure::walkAvi},
    {"FORM", 8, "AIFF", kAiff, structure::walkAiff},
    {"FORM", 8, "AIFC", kAiff, structure::walkAiff},
    // An ISO base media file: the size of its first box, then that box's type.
    {"", 4, "ftyp", kMpeg4, structure::walkIsoMedia},
    {std::string_view("\0\0\1\xBA", 4), 0, "", kMpeg, structure::walkMpegProgramStream},
    {"ID3", 0, "", kMp3, structure::walkMp3},
    {"\xFF", 0, "", kMp3, structure::walkMp3, isLayer3Sync},
};

// Every signature fits in the first twelve bytes.
constexpr std::size_t kSniffBytes = 12;

bool hasAt(std::string_view head, std::size_t offset, std::string_view bytes) {
  return head.size() >= offset + bytes.size() && head.substr(offset, bytes.size()) == bytes;
}

NSError oversized(AttachmentType type, std::uint64_t size) {
  return NSError{UNErrorDomain, UNErrorCodeAttachmentInvalidFileSize,
                 std::string(kindName(type.kind)) + " file of " + std::to_string(size) +
                     " bytes is over the limit of " +
                     std::to_string(maximumAttachmentBytes(type.kind) / kMiB) + " MiB for " +
                     kindName(type.kind)};
}

foundation::Result<AttachmentType> check(std::span<const std::uint8_t> head, ByteReader& in) {
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  for (const Format& format : kFormats) {
    if (!hasAt(text, 0, format.lead) || !hasAt(text, format.tagOffset, format.tag)) continue;
    if (format.also != nullptr && !format.also(text)) continue;
    FoundType found(format.type, in.size());
    if (found.overLimit()) return oversized(found.type(), in.size());
    Flaw flaw = format.walk(in, found);
    if (found.overLimit()) return oversized(found.type(), in.size());
    if (in.error() != 0) return foundation::posixError("pread", in.error());
    if (flaw) {
      const long code = found.unshownKind() ? UNErrorCodeAttachmentUnrecognizedType
                                            : UNErrorCodeAttachmentCorrupt;
      return NSError{UNErrorDomain, code, std::move(*flaw)};
    }
    return found.type();
  }
  return NSError{UNErrorDomain, UNErrorCodeAttachmentUnrecognizedType,
                 "not an image, audio or video file of a kind notifications show"};
}

// The calling thread's read buffer, kept from file to file: one allocated for each file
// went back to the system when freed and was faulted in again for the next.
std::span<std::uint8_t> readBuffer(std::size_t bytes) {
  bytes = std::max<std::size_t>(bytes, 1);
  thread_local std::vector<std::uint8_t> buffer;
  if (buffer.size() < bytes) buffer.resize(bytes);
  return {buffer.data(), bytes};
}

}  // namespace

std::uint64_t maximumAttachmentBytes(AttachmentKind kind) {
  switch (kind) {
    case AttachmentKind::audio:
      return 5 * kMiB;
    case AttachmentKind::image:
      return 10 * kMiB;
    case AttachmentKind::video:
      return 50 * kMiB;
  }
  return 0;
}

std::optional<AttachmentKind> attachmentKind(std::string_view identifier) {
  for (const AttachmentType& type : structure::kAttachmentTypes) {
    if (identifier == type.identifier) return type.kind;
  }
  return std::nullopt;
}

std::uint64_t largestAttachmentBytes() {
  return std::max({maximumAttachmentBytes(AttachmentKind::audio),
                   maximumAttachmentBytes(AttachmentKind::image),
                   maximumAttachmentBytes(AttachmentKind::video)});
}

foundation::Result<AttachmentType> wholeAttachmentType(std::span<const std::uint8_t> bytes) {
  ByteReader in(bytes);
  return check(bytes.first(std::min(bytes.size(), kSniffBytes)), in);
}

foundation::Result<AttachmentType> wholeAttachmentType(int fd, std::uint64_t size,
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
