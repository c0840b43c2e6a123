// AVI: a RIFF container of form "AVI " whose size the file holds, its chunks and lists within
// it: the hdrl list, with its main header (avih) and one stream list (strl, with strh
// and strf) for each stream the header counts, then the movi list, whose chunks name only
// those streams, after it; an optional idx1 index of whole entries. Bytes after the container are
// allowed: an OpenDML file goes on in AVIX containers, which decoders read or leave alone.
#include "UserNotifications/RiffChunks.hpp"

namespace user_notifications::structure {
namespace {

constexpr ChunkForm kAviChunks{"AVI", false};

// The list type at the start of a LIST chunk's data, or a flaw.
Flaw readListType(ByteReader& in, std::uint64_t size, std::string* type) {
  std::uint8_t code[4];
  if (size < sizeof code) return "AVI LIST chunk too small for its type";
  if (!in.read(code, sizeof code)) return truncatedChunks(kAviChunks);
  *type = fourcc(code);
  return std::nullopt;
}

Flaw walkStreamList(ByteReader& in, std::uint64_t end) {
  bool header = false;
  bool format = false;
  Flaw flaw =
      walkChunks(in, kAviChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (code == "strh") {
          if (size < 48) return "AVI stream header of " + std::to_string(size) + " bytes";
          header = true;
        } else if (code == "strf") {
          if (!header) return "AVI stream format before its stream header";
          format = true;
        }
        return std::nullopt;
      });
  if (flaw) return flaw;
  return header && format ? Flaw() : Flaw("AVI stream list without strh and strf");
}

// The hdrl list: avih first, then the stream lists; `*streams` is the number avih counts.
Flaw walkHeaderList(ByteReader& in, std::uint64_t end, std::uint32_t* streams) {
  bool first = true;
  std::uint32_t lists = 0;
  Flaw flaw =
      walkChunks(in, kAviChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (first) {
          first = false;
          std::uint8_t h[56];
          if (code != "avih") return "AVI hdrl list without avih first";
          if (size < sizeof h) return "AVI main header of " + std::to_string(size) + " bytes";
          if (!in.read(h, sizeof h)) return truncatedChunks(kAviChunks);
          *streams = le32(h + 24);
          if (*streams == 0) return "AVI without streams";
          return std::nullopt;
        }
        std::string type;
        if (code != "LIST") return std::nullopt;
        if (Flaw listFlaw = readListType(in, size, &type)) return listFlaw;
        if (type != "strl") return std::nullopt;
        ++lists;
        return walkStreamList(in, in.position() + size - 4);
      });
  if (flaw) return flaw;
  if (first) return "AVI hdrl list without avih first";
  if (lists != *streams) {
    return "AVI header counts " + std::to_string(*streams) + " streams, its hdrl list holds " +
           std::to_string(lists);
  }
  return std::nullopt;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The movi list's chunks, grouped or not in rec lists (one level deep, so that nested lists
// cannot run the stack out); a data chunk is named by its stream's two digits.
Flaw walkMovieList(ByteReader& in, std::uint64_t end, std::uint32_t streams, bool inRecord) {
  return walkChunks(in, kAviChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
    if (code == "LIST") {
      if (inRecord) return "AVI list inside a rec list";
      std::string type;
      if (Flaw flaw = readListType(in, size, &type)) return flaw;
      return walkMovieList(in, in.position() + size - 4, streams, true);
    }
    if (isDigit(code[0]) && isDigit(code[1]) &&
        static_cast<std::uint32_t>((code[0] - '0') * 10 + (code[1] - '0')) >= streams) {
      return "AVI " + code + " chunk of a stream that its header does not count";
    }
    return std::nullopt;
  });
}

}  // namespace

Flaw walkAvi(ByteReader& in, FoundType&) {
  std::uint64_t end = 0;
  if (Flaw flaw = readContainer(in, kAviChunks, &end)) return flaw;
  bool header = false;
  bool movie = false;
  std::uint32_t streams = 0;
  Flaw flaw =
      walkChunks(in, kAviChunks, end, [&](const std::string& code, std::uint64_t size) -> Flaw {
        if (code == "idx1") {
          if (!movie) return "AVI index before its movi list";
          return size % 16 == 0 ? Flaw() : Flaw("AVI index of partial entries");
        }
        if (code != "LIST") return std::nullopt;
        std::string type;
        if (Flaw listFlaw = readListType(in, size, &type)) return listFlaw;
        const std::uint64_t listEnd = in.position() + size - 4;
        if (type == "hdrl") {
          if (header) return "AVI with a second hdrl list";
          header = true;
          return walkHeaderList(in, listEnd, &streams);
        }
        if (type == "movi") {
          if (!header) return "AVI movi list before its hdrl list";
          if (movie) return "AVI with a second movi list";
          movie = true;
          return walkMovieList(in, listEnd, streams, false);
        }
        return std::nullopt;
      });
  if (flaw) return flaw;
  if (!header) return "AVI without an hdrl list";
  return movie ? Flaw() : Flaw("AVI without a movi list");
}

}  // namespace user_notifications::structure
