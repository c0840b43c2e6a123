// ImageStructure: whether bytes hold one whole image of a kind notifications show (JPEG,
// PNG, GIF, WebP), found by walking the format's structure from its signature to its end:
// JPEG markers and every scan's entropy-coded data to EOI; PNG chunks with their lengths and
// CRCs to IEND, after a sane IHDR; GIF blocks to the trailer; the WebP RIFF size and its
// chunks, with a sane VP8, VP8L or VP8X header. Nothing is decoded: a walk reads each byte
// at most once and keeps no more than one read buffer. Bytes after the image's end are
// allowed, as decoders allow them. Plain functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Foundation/NSError.hpp"

namespace user_notifications {

// How much of a file a walk reads at a time: a 64 KiB image in one pread, where 16 KiB took
// four. The buffer is the calling thread's own, kept from image to image. On a cold start
// over http it takes the pages that the downloaded body gave back just before (no more
// faults than 16 KiB); over https, whose allocations fall differently, it costs a dozen.
inline constexpr std::size_t kImageReadBufferBytes = 64 * 1024;

// The uniform type identifier ("public.jpeg", "public.png", "com.compuserve.gif",
// "org.webmproject.webp") of the whole image in `bytes`. Otherwise an error in UNErrorDomain:
// UNErrorCodeAttachmentUnrecognizedType for bytes that start like none of the four kinds,
// UNErrorCodeAttachmentCorrupt with the reason ("truncated PNG: no IEND chunk", "JPEG
// without frame header", ...) for an image that ends early or whose header is not sane.
foundation::Result<const char*> wholeImageType(std::span<const std::uint8_t> bytes);

// The same for the open file `fd` of `size` bytes, read from its start with pread,
// `bufferBytes` at a time; the descriptor's offset is left alone. A failed read is an error
// in NSPOSIXErrorDomain.
foundation::Result<const char*> wholeImageType(int fd, std::uint64_t size,
                                               std::size_t bufferBytes = kImageReadBufferBytes);

}  // namespace user_notifications
