// Stop: the request that a run end early, as something threads can wait on. Once requested,
// fd() is readable and stays so, so every thread that polls it wakes whenever it looks; a
// second request makes urgentFd() readable too: the end may then not even wait for the reader
// of standard output. Requested by SIGINT, SIGTERM and SIGHUP (StopSignal.hpp), and by the
// host itself when standard output fails.
//
// Thread-safe; request() is async-signal-safe.
#pragma once

#include <atomic>
#include <memory>

#include "Foundation/NSError.hpp"
#include "base/FileDescriptor.hpp"

namespace host {

class Stop {
 public:
  // A stop nobody requested yet: two pipes, read end and write end.
  static foundation::Result<std::unique_ptr<Stop>> make();

  int fd() const { return first_[0].get(); }
  int urgentFd() const { return second_[0].get(); }
  bool requested() const;

  void request() noexcept;

 private:
  Stop() = default;

  base::FileDescriptor first_[2];
  base::FileDescriptor second_[2];
  std::atomic<unsigned> requests_{0};
  static_assert(std::atomic<unsigned>::is_always_lock_free, "request() runs in a signal handler");
};

}  // namespace host
