// ByteReader: reads bytes forward from memory or from an open file, for the attachment
// structure walks. A file is read with pread through one small buffer, so walking a 10 MiB
// file costs that buffer, not 10 MiB of resident pages (a mapping of the file would count every
// page it touched). Borrows the memory, or the descriptor and the buffer; one owner, not
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace user_notifications {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes);
  // REQUIRES: `fd` is open for reading and `size` is its file's size; `buffer` is not empty
  // and outlives the reader. The descriptor's own offset is left alone.
  ByteReader(int fd, std::uint64_t size, std::span<std::uint8_t> buffer);

  std::uint64_t size() const { return size_; }
  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return size_ - position_; }
  // The errno of a failed read, or 0. A failed or short read ends the input where it failed.
  int error() const { return error_; }

  // The bytes available at the position without another read: empty only at the end.
  std::span<const std::uint8_t> peek();
  // Moves past `n` bytes; false (and at the end) when fewer remain.
  bool skip(std::uint64_t n);
  // Copies the next `n` bytes to `out`; false (and at the end) when fewer remain.
  bool read(void* out, std::size_t n);
  // The next byte, or -1 at the end.
  int next();
  // Hands the next `n` bytes to `fn` as consecutive spans; false when fewer remain.
  template <class F>
  bool consume(std::uint64_t n, F&& fn) {
    while (n > 0) {
      std::span<const std::uint8_t> some = peek();
      if (some.empty()) return false;
      if (some.size() > n) some = some.first(static_cast<std::size_t>(n));
      fn(some);
      skip(some.size());
      n -= some.size();
    }
    return true;
  }

 private:
  void endHere(int error);

  const std::uint8_t* memory_ = nullptr;  // the whole input, when it is in memory
  int fd_ = -1;
  std::span<std::uint8_t> buffer_;
  std::span<const std::uint8_t> window_;  // buffered bytes from position_ on
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  int error_ = 0;
};

}  // namespace user_notifications
