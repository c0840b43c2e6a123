// Data: an owned byte buffer (a downloaded body, the UTF-8 form of a text). Movable,
// copyable; a Data is not shared between threads while one of them writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"

class URL;

class Data {
 public:
  enum WritingOptions : unsigned {
    none = 0,
    // Writes a temporary file in the same directory and renames it onto the target: a
    // reader sees the old file or the whole new one, a failed write leaves nothing behind,
    // and a symbolic link at the target is replaced rather than written through.
    atomic = 1u << 0,
  };

  Data() = default;
  explicit Data(std::string bytes) : bytes_(std::move(bytes)) {}
  Data(const void* bytes, std::size_t count) : bytes_(static_cast<const char*>(bytes), count) {}

  std::size_t count() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(bytes_.data()); }
  std::string_view view() const { return bytes_; }

  // Calls `fn` once, before returning, with the contiguous bytes.
  template <class F>
  decltype(auto) withUnsafeBytes(F&& fn) const {
    return std::forward<F>(fn)(std::span<const std::uint8_t>(bytes(), count()));
  }

  void append(const void* bytes, std::size_t count) {
    bytes_.append(static_cast<const char*>(bytes), count);
  }
  void reserve(std::size_t count) { bytes_.reserve(count); }

  // Writes the bytes to the file at `url` (a file URL), creating or replacing it with mode
  // 0666 less the umask. Fails with NSPOSIXErrorDomain naming
  // the failing call, or NSCocoaErrorDomain when `url` is not a file URL (518) or names no
  // file (514: a directory path, a NUL byte). Logs a "write" event (subsystem
  // com.halvicourt.Foundation, category Data): the file, the bytes and the error or null.
  FOUNDATION_EXPORT foundation::Status write(const URL& url,
                                             WritingOptions options = none) const noexcept;

  // The whole contents of the file at `path`, or the NSPOSIXErrorDomain error naming the
  // call that failed to open or read it; EFBIG for a file of more than `limitBytes`, which is
  // read no further than that (a FIFO or /dev/zero included).
  FOUNDATION_EXPORT static foundation::Result<Data> contentsOfFile(
      const std::string& path,
      std::size_t limitBytes = std::numeric_limits<std::size_t>::max()) noexcept;

  friend bool operator==(const Data& a, const Data& b) { return a.bytes_ == b.bytes_; }

 private:
  foundation::Status writeFile(const URL& url, WritingOptions options) const;

  std::string bytes_;
};
