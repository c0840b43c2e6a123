// RiffChunks: the chunk walk that RIFF files (WebP, WAV, AVI; little-endian sizes) and IFF
// files (AIFF, AIFC; big-endian) share: a container of a size its header gives, holding
// chunks of a four-character code and a size, each padded to an even length. Plain
// functions, inside the library only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {

struct ChunkForm {
  const char* format;  // "WAV", named in messages
  bool bigEndian;      // IFF
};

inline std::string truncatedChunks(const ChunkForm& form) {
  return std::string("truncated ") + form.format + ": the file ends inside its " +
         (form.bigEndian ? "FORM" : "RIFF") + " container";
}

// Reads the container's 12-byte header (signature, size, form type) and returns where the
// container ends, and its form type when asked; a flaw when the end is past the end of the
// file. Bytes after the container are not read: decoders leave them alone.
inline Flaw readContainer(ByteReader& in, const ChunkForm& form, std::uint64_t* end,
                          std::string* formType = nullptr) {
  std::uint8_t head[12];
  if (!in.read(head, sizeof head)) return truncatedChunks(form);
  if (formType != nullptr) *formType = fourcc(head + 8);
  *end = 8 + static_cast<std::uint64_t>(form.bigEndian ? be32(head + 4) : le32(head + 4));
  if (*end < sizeof head)
    return std::string(form.format) + " container too small for its form type";
  if (*end > in.size()) {
    return std::string("truncated ") + form.format + ": a container of " + std::to_string(*end) +
           " bytes in a file of " + std::to_string(in.size());
  }
  return std::nullopt;
}

// Reads the chunks from the reader's position up to `end`, handing each one's code and size
// to `onChunk` at the start of its data; onChunk may read some of the data (or walk it as a
// list, up to the chunk's end).
template <class F>
Flaw walkChunks(ByteReader& in, const ChunkForm& form, std::uint64_t end, F&& onChunk) {
  while (in.position() < end) {
    std::uint8_t head[8];
    if (end - in.position() < sizeof head) {
      return std::string(form.format) + " chunk header past the end of its container";
    }
    if (!in.read(head, sizeof head)) return truncatedChunks(form);
    const std::string code = fourcc(head);
    const std::uint64_t size = form.bigEndian ? be32(head + 4) : le32(head + 4);
    const std::uint64_t dataEnd = in.position() + size;
    if (dataEnd > end) {
      return std::string(form.format) + " " + code + " chunk past the end of its container";
    }
    if (Flaw flaw = onChunk(code, size)) return flaw;
    if (in.position() > dataEnd) {
      return std::string(form.format) + " " + code + " chunk shorter than its contents";
    }
    // Odd-sized data is padded to an even size; a missing pad at the very end is forgiven.
    const std::uint64_t next = std::min(dataEnd + (size & 1), end);
    if (!in.skip(next - in.position())) return truncatedChunks(form);
  }
  return std::nullopt;
}

}  // namespace user_notifications::structure
