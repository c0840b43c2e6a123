// Output: the host's standard output as a LineSink: one JSON line per delivery, each written
// whole, also among the log's lines when standard error is the same file or pipe (2>&1).
//
// A reader that reads slowly makes a write wait, which holds the run back as it should. The
// wait ends at the stop, though: from the moment a stop is requested, the writes wait at most
// kDrainAfterStop for the reader in all, and not at all after a second request; then the
// lines left are given up and counted (unwritten()). A write that fails (the reader went away)
// fails every later line too, and the caller ends the run.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "base/Mutex.hpp"
#include "host/LineSink.hpp"
#include "host/Stop.hpp"

namespace host {

class Output final : public LineSink {
 public:
  // How long, in all, lines wait for the reader once a stop was requested.
  static constexpr std::chrono::seconds kDrainAfterStop{10};

  // Writes to `fd`. REQUIRES: `fd` and `stop` outlive this object.
  Output(int fd, const Stop& stop, std::chrono::milliseconds drain = kDrainAfterStop);

  Written writeLine(std::string line) override EXCLUDES(mu_);
  void close() override EXCLUDES(mu_);

  // Success, or the write that failed: "write(standard output): Broken pipe".
  foundation::Status status() const EXCLUDES(mu_);
  // The lines given up after a stop because the reader did not take them in time.
  std::size_t unwritten() const EXCLUDES(mu_);

 private:
  // Writes `text` as the reader takes it, watching the stop; a write that fails leaves its errno
  // in error_, a line given up counts in unwritten_.
  Written writeWatchingStop(std::string_view text) REQUIRES(mu_);
  // The line given up, and those after it.
  Written giveUp() REQUIRES(mu_);

  const int fd_;
  const Stop& stop_;
  const std::chrono::milliseconds drain_;
  bool besideLog_ = false;  // set once: standard error is the same file or pipe
  bool mayWait_ = false;    // set once: a pipe, socket or terminal, whose writes may block

  mutable base::Mutex mu_;  // guards the members below, and orders the writes
  bool closed_ GUARDED_BY(mu_) = false;
  int error_ GUARDED_BY(mu_) = 0;
  bool givenUp_ GUARDED_BY(mu_) = false;
  std::size_t unwritten_ GUARDED_BY(mu_) = 0;
  // When the writes stop waiting for the reader; set once the stop has been seen.
  std::optional<std::chrono::steady_clock::time_point> drainUntil_ GUARDED_BY(mu_);
};

}  // namespace host
