// ISO base media files (MP4, M4A): boxes from the first byte to the end of the file, each of
// the size its header gives (a 32-bit size, 1 for a 64-bit size after the type, 0 for a box
// that runs to the end of the file), nested boxes within their parent. `ftyp` comes first;
// there is one `moov` with a movie header and at least one track, each track with its
// header and a media box down to a sample table that holds the tables every track has
// (stsd, stts, stsc, stsz or stz2, stco or co64), each of the size its entry count gives;
// the chunk offsets point into an `mdat` box. Only zero bytes may follow the last box: a
// file cannot say where its boxes end otherwise.
//
// The brands tell audio from video: the major brand when it is one of ours, otherwise the
// compatible brands. Audio (public.mpeg-4-audio): M4A and M4B (Apple's audio and audiobook
// brands), F4A and F4B (Adobe's). Video (public.mpeg-4): isom and iso2 to iso9 (the ISO base
// media brands), mp41 and mp42 (MPEG-4), avc1, M4V, M4VH and M4VP (Apple's), F4V and F4P
// (Adobe's), dash. Other brands (QuickTime's qt, HEIF's heic, 3GPP's without an MPEG-4
// brand beside them) are kinds that notifications do not show.
#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "UserNotifications/StructureWalk.hpp"

namespace user_notifications::structure {
namespace {

std::optional<AttachmentKind> brandKind(std::string_view brand) {
  for (std::string_view audio : {"M4A ", "M4B ", "F4A ", "F4B "}) {
    if (brand == audio) return AttachmentKind::audio;
  }
  for (std::string_view video :
       {"isom", "mp41", "mp42", "avc1", "M4V ", "M4VH", "M4VP", "F4V ", "F4P ", "dash"}) {
    if (brand == video) return AttachmentKind::video;
  }
  if (brand.starts_with("iso") && brand[3] >= '2' && brand[3] <= '9') return AttachmentKind::video;
  return std::nullopt;
}

struct Box {
  std::string type;  // as fourcc() prints it
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool padding = false;  // eight zero bytes at the top level: no box, the start of padding
};

std::string truncatedBox(const Box& box, std::uint64_t size) {
  return "truncated MPEG-4: a " + box.type + " box of " + std::to_string(box.end - box.start) +
         " bytes at " + std::to_string(box.start) + " in a file of " + std::to_string(size);
}

// Reads the header of the box at the reader's position inside `parent` (null at the top
// level, where the file's end is the parent's). Sizes that do not fit are flaws.
Flaw readBox(ByteReader& in, const Box* parent, Box* box) {
  const std::uint64_t limit = parent != nullptr ? parent->end : in.size();
  box->start = in.position();
  std::uint8_t h[16];
  if (limit - box->start < 8) {
    if (parent != nullptr) return "MPEG-4 box header past the end of its " + parent->type + " box";
    return "truncated MPEG-4: the file ends inside a box header at " + std::to_string(box->start);
  }
  if (!in.read(h, 8)) return "truncated MPEG-4: the file ends inside a box header";
  box->type = fourcc(h + 4);
  box->padding = parent == nullptr && be64(h) == 0;
  std::uint64_t size = be32(h);
  std::uint64_t header = 8;
  if (size == 1) {
    if (!in.read(h + 8, 8)) return "truncated MPEG-4: the file ends inside a box header";
    size = be64(h + 8);
    header = 16;
  } else if (size == 0) {
    if (parent != nullptr) return "MPEG-4 " + box->type + " box of size 0 inside another box";
    size = limit - box->start;
  }
  if (size < header) {
    return "MPEG-4 " + box->type + " box of " + std::to_string(size) +
           " bytes, less than its header";
  }
  if (size > limit - box->start) {
    if (parent != nullptr) {
      return "MPEG-4 " + box->type + " box past the end of its " + parent->type + " box";
    }
    box->end = box->start + size;  // for the message
    return truncatedBox(*box, in.size());
  }
  box->end = box->start + size;
  return std::nullopt;
}

// What the walk of the movie box gathers.
struct Movie {
  bool header = false;
  unsigned tracks = 0;
  std::optional<std::uint64_t> lastChunk;  // the largest chunk offset of any track
};

// A full box holding a table: version and flags, `fields` more bytes, then a count of
// `entryBytes` entries. Reads up to the entries and checks that the box is the size its count
// gives; `*count` is the count.
Flaw readTable(ByteReader& in, const Box& box, std::uint64_t fields, std::uint64_t entryBytes,
               std::uint64_t* count) {
  std::uint8_t h[12];
  const std::uint64_t headerBytes = 8 + fields;  // version and flags, fields, count
  if (box.end - in.position() < headerBytes || !in.read(h, static_cast<std::size_t>(headerBytes))) {
    return "MPEG-4 " + box.type + " box too small for its header";
  }
  *count = be32(h + 4 + fields);
  // An stsz of one size for every sample has no entries.
  if (box.type == "stsz" && be32(h + 4) != 0) entryBytes = 0;
  if (box.end - in.position() != *count * entryBytes) {
    return "MPEG-4 " + box.type + " box of " + std::to_string(box.end - box.start) + " bytes for " +
           std::to_string(*count) + " entries";
  }
  return std::nullopt;
}

// stco (32-bit) or co64 (64-bit): the chunk offsets, the largest of which is kept.
Flaw readChunkOffsets(ByteReader& in, const Box& box, Movie& movie) {
  const std::size_t width = box.type == "co64" ? 8 : 4;
  std::uint64_t count = 0;
  if (Flaw flaw = readTable(in, box, 0, width, &count)) return flaw;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t entry[8];
    if (!in.read(entry, width)) return truncatedBox(box, in.size());
    const std::uint64_t offset = width == 8 ? be64(entry) : be32(entry);
    movie.lastChunk = std::max(movie.lastChunk.value_or(0), offset);
  }
  return std::nullopt;
}

// The boxes inside `parent`, each handed to `onChild` after its header; what onChild does
// not read is skipped.
template <class F>
Flaw walkChildren(ByteReader& in, const Box& parent, F&& onChild) {
  while (in.position() < parent.end) {
    Box box;
    if (Flaw flaw = readBox(in, &parent, &box)) return flaw;
    if (Flaw flaw = onChild(box)) return flaw;
    if (!in.skip(box.end - in.position())) return truncatedBox(box, in.size());
  }
  return std::nullopt;
}

// The sample descriptions: version and flags, a count of at least one, then that many
// boxes, one for each description.
Flaw walkDescriptions(ByteReader& in, const Box& stsd) {
  std::uint8_t h[8];
  if (stsd.end - in.position() < sizeof h || !in.read(h, sizeof h)) {
    return "MPEG-4 stsd box too small for its header";
  }
  Box entries = stsd;
  entries.start = in.position();
  std::uint64_t count = 0;
  if (Flaw flaw = walkChildren(in, entries, [&](const Box&) {
        ++count;
        return Flaw();
      })) {
    return flaw;
  }
  if (count == 0 || count != be32(h + 4)) {
    return "MPEG-4 stsd box counting " + std::to_string(be32(h + 4)) + " descriptions, holding " +
           std::to_string(count);
  }
  return std::nullopt;
}

Flaw walkSampleTable(ByteReader& in, const Box& stbl, Movie& movie) {
  unsigned found = 0;  // one bit for each table every track has
  std::uint64_t count = 0;
  Flaw flaw = walkChildren(in, stbl, [&](const Box& box) -> Flaw {
    if (box.type == "stsd") {
      found |= 1;
      return walkDescriptions(in, box);
    }
    if (box.type == "stts") {
      found |= 2;
      return readTable(in, box, 0, 8, &count);
    }
    if (box.type == "stsc") {
      found |= 4;
      return readTable(in, box, 0, 12, &count);
    }
    if (box.type == "stsz" || box.type == "stz2") {
      found |= 8;
      return box.type == "stsz" ? readTable(in, box, 4, 4, &count) : Flaw();
    }
    if (box.type == "stco" || box.type == "co64") {
      found |= 16;
      return readChunkOffsets(in, box, movie);
    }
    return std::nullopt;
  });
  if (flaw) return flaw;
  return found == 31 ? Flaw() : Flaw("MPEG-4 sample table without stsd, stts, stsc, stsz, stco");
}

// The boxes from a track down to its sample table: trak (tkhd, mdia), mdia (mdhd, hdlr,
// minf), minf (stbl). Each level's required children, then the table.
Flaw walkTrackLevel(ByteReader& in, const Box& parent, Movie& movie) {
  struct Level {
    std::string_view box;
    std::string_view required[3];
    std::string_view inner;  // the child walked as the next level
  };
  static constexpr Level kLevels[] = {
      {"trak", {"tkhd", "mdia"}, "mdia"},
      {"mdia", {"mdhd", "hdlr", "minf"}, "minf"},
      {"minf", {"stbl"}, "stbl"},
  };
  const Level* level = nullptr;
  for (const Level& l : kLevels) {
    if (l.box == parent.type) level = &l;
  }
  unsigned seen = 0;
  Flaw flaw = walkChildren(in, parent, [&](const Box& box) -> Flaw {
    for (unsigned i = 0; i < 3; ++i) {
      if (!level->required[i].empty() && box.type == level->required[i]) seen |= 1u << i;
    }
    if (box.type != level->inner) return std::nullopt;
    return box.type == "stbl" ? walkSampleTable(in, box, movie) : walkTrackLevel(in, box, movie);
  });
  if (flaw) return flaw;
  for (unsigned i = 0; i < 3; ++i) {
    if (!level->required[i].empty() && (seen & (1u << i)) == 0) {
      return "MPEG-4 " + parent.type + " box without " + std::string(level->required[i]);
    }
  }
  return std::nullopt;
}

Flaw walkMovie(ByteReader& in, const Box& moov, Movie& movie) {
  Flaw flaw = walkChildren(in, moov, [&](const Box& box) -> Flaw {
    if (box.type == "mvhd") movie.header = true;
    if (box.type != "trak") return std::nullopt;
    ++movie.tracks;
    return walkTrackLevel(in, box, movie);
  });
  if (flaw) return flaw;
  if (!movie.header) return "MPEG-4 moov box without mvhd";
  return movie.tracks > 0 ? Flaw() : Flaw("MPEG-4 movie without tracks");
}

// The file's type from its ftyp box, read whole.
Flaw readFileType(ByteReader& in, FoundType& type) {
  Box ftyp;
  if (Flaw flaw = readBox(in, nullptr, &ftyp)) return flaw;
  const std::uint64_t size = ftyp.end - ftyp.start;
  if (size < in.position() - ftyp.start + 8 || (ftyp.end - in.position()) % 4 != 0) {
    return "MPEG-4 ftyp box of " + std::to_string(size) + " bytes";
  }
  std::uint8_t brand[8];  // major brand and minor version, then the compatible brands
  if (!in.read(brand, sizeof brand)) return truncatedBox(ftyp, in.size());
  const std::string major(reinterpret_cast<char*>(brand), 4);
  std::optional<AttachmentKind> kind = brandKind(major);
  std::optional<AttachmentKind> compatible;
  while (in.position() < ftyp.end) {
    if (!in.read(brand, 4)) return truncatedBox(ftyp, in.size());
    const std::optional<AttachmentKind> k =
        brandKind(std::string_view(reinterpret_cast<char*>(brand), 4));
    if (k && (!compatible || *k == AttachmentKind::audio)) compatible = k;
  }
  if (!kind) kind = compatible;
  if (!kind) {
    type.markUnshownKind();
    return "ISO media file of brand '" +
           fourcc(reinterpret_cast<const std::uint8_t*>(major.data())) +
           "', neither MPEG-4 audio nor video";
  }
  if (*kind == AttachmentKind::audio && !type.becomes(kMpeg4Audio)) return "over the limit";
  return std::nullopt;
}

}  // namespace

Flaw walkIsoMedia(ByteReader& in, FoundType& type) {
  if (Flaw flaw = readFileType(in, type)) return flaw;
  Movie movie;
  bool moov = false;
  // The media data boxes' bytes, merged into the last range past a few (a fragmented file
  // has one for each fragment), so that the walk keeps no more than a fixed amount.
  constexpr std::size_t kRanges = 16;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> media;
  while (in.remaining() > 0) {
    const std::uint64_t at = in.position();
    if (in.remaining() < 8) {
      if (onlyZerosRemain(in)) break;
      return "truncated MPEG-4: the file ends inside a box header at " + std::to_string(at);
    }
    Box box;
    if (Flaw flaw = readBox(in, nullptr, &box)) return flaw;
    if (box.padding) {
      if (onlyZerosRemain(in)) break;
      return "MPEG-4 zero bytes at " + std::to_string(at) + " followed by others";
    }
    if (box.type == "moov") {
      if (moov) return "MPEG-4 with a second moov box";
      moov = true;
      if (Flaw flaw = walkMovie(in, box, movie)) return flaw;
    } else if (box.type == "mdat") {
      if (media.size() < kRanges) {
        media.emplace_back(in.position(), box.end);
      } else {
        media.back().second = box.end;
      }
    }
    if (!in.skip(box.end - in.position())) return truncatedBox(box, in.size());
  }
  if (!moov) return "MPEG-4 without a moov box";
  if (movie.lastChunk) {
    const std::uint64_t chunk = *movie.lastChunk;
    if (std::none_of(media.begin(), media.end(),
                     [&](const auto& r) { return chunk >= r.first && chunk < r.second; })) {
      return "MPEG-4 track data at " + std::to_string(chunk) + " outside every mdat box";
    }
  }
  return std::nullopt;
}

}  // namespace user_notifications::structure
