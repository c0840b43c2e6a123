// WakeEvent: an eventfd through which any thread wakes one that sleeps in poll on it. Signals
// coalesce: however many come before the sleeper looks, it wakes once. Thread-safe; one owner.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "base/FileDescriptor.hpp"

namespace base {

class WakeEvent {
 public:
  WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  // False when no eventfd could be made (the descriptor limit): then nothing wakes, and the
  // sleeper must look again on its own.
  bool valid() const { return fd_.valid(); }
  // Readable from the first signal() until clear().
  int fd() const { return fd_.get(); }

  void signal() noexcept {
    const std::uint64_t one = 1;
    // A full counter already wakes the sleeper, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
  }
  void clear() noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(fd_.get(), &count, sizeof count);
  }

 private:
  FileDescriptor fd_;
};

}  // namespace base
