// StopSignal: SIGINT and SIGTERM turned into something threads can wait on. The handler does
// nothing but write one byte into a pipe; the byte is never read back, so the pipe's read end
// stays readable from the first signal on and every thread that polls it wakes, whenever it
// looks. There is one per process and it is never destroyed, so a signal that comes while the
// process exits still finds its pipe.
//
// Thread-safe.
#pragma once

namespace usernotifications {

class StopSignal {
 public:
  // The process's StopSignal; the first call routes SIGINT and SIGTERM to it.
  static const StopSignal& forProcess();

  // Readable once a stop was requested.
  int fd() const { return readEnd_; }
  bool requested() const;

 private:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  int readEnd_ = -1;
};

}  // namespace usernotifications
