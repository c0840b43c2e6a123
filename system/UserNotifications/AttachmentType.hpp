// AttachmentType: which kind of media file the platform shows in a notification, found from
// the bytes alone (the file's name decides nothing) by walking the format's structure from its
// signature to its end: every box, chunk, frame or packet, with the sizes each one gives.
// Nothing is decoded; a walk reads each byte at most once and keeps no more than one read
// buffer.
//
//   kind   formats (type identifiers)                                        largest file
//   audio  AIFF and AIFC (public.aiff-audio), WAV (com.microsoft.waveform-audio),   5 MiB
//          MP3 (public.mp3), MPEG-4 audio (public.mpeg-4-audio)
//   image  JPEG (public.jpeg), PNG (public.png), GIF (com.compuserve.gif),          10 MiB
//          WebP (org.webmproject.webp)
//   video  MPEG-1 system streams (public.mpeg), MPEG-2 program streams              50 MiB
//          (public.mpeg-2-video), MPEG-4 (public.mpeg-4), AVI (public.avi)
//
// Each walker's file says what "whole" means for its format and which bytes after the end it
// allows. Plain functions and constants; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "Foundation/NSError.hpp"
#include "UserNotifications/Export.hpp"

namespace user_notifications {

enum class AttachmentKind { audio, image, video };

struct AttachmentType {
  const char* identifier;  // "public.mp3", "public.png", ...: a string literal
  AttachmentKind kind;
};

// The kind of the type `identifier` names ("public.mp3": audio), or absent for one that is
// none of these.
std::optional<AttachmentKind> attachmentKind(std::string_view identifier);

// The largest file the platform accepts for `kind`.
std::uint64_t maximumAttachmentBytes(AttachmentKind kind);
// The largest of those: what a file may be before its kind is known.
std::uint64_t largestAttachmentBytes();

// The most pixels an image may declare: 2^26 (8192 x 8192, 64 Mpx). That is above the 48 to
// 50 Mpx of the largest photos today's cameras write, which fit in 10 MiB, and it bounds what
// a notification server that decodes the image to 4 bytes a pixel allocates to 256 MiB;
// beyond it a small file could make the server try to allocate gigabytes.
inline constexpr std::uint64_t kMaximumImagePixels = std::uint64_t{1} << 26;

// How much of a file a walk reads at a time: a 64 KiB image in one pread. The buffer is the
// calling thread's own, kept from file to file (docs/benchmarks.md, "Fewer system calls and
// wake-ups per request", for what the size costs a cold start).
inline constexpr std::size_t kAttachmentReadBufferBytes = 64 * 1024;

// The type of the whole file in `bytes`. Otherwise an error in UNErrorDomain:
// UNErrorCodeAttachmentUnrecognizedType for bytes that start like none of the formats (or an
// ISO media file of a brand that is neither MPEG-4 audio nor video),
// UNErrorCodeAttachmentInvalidFileSize for a file over the limit of the kind it turns out to
// be (told as soon as the kind is known, before the rest is read), UNErrorCodeAttachmentCorrupt
// with the reason ("truncated PNG: no IEND chunk", "MP3 frame chain broken at byte 4180",
// ...) for a file that ends early or whose structure is not sane.
foundation::Result<AttachmentType> wholeAttachmentType(std::span<const std::uint8_t> bytes);

// The same for the open file `fd` of `size` bytes, read from its start with pread,
// `bufferBytes` at a time; the descriptor's offset is left alone. A failed read is an error
// in NSPOSIXErrorDomain.
foundation::Result<AttachmentType> wholeAttachmentType(
    int fd, std::uint64_t size, std::size_t bufferBytes = kAttachmentReadBufferBytes);

}  // namespace user_notifications
