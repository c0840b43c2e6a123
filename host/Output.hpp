// Output: the host's standard output as a LineSink: one JSON line per delivery, each written
// whole, also among the log's lines when standard error is the same file or pipe (2>&1).
//
// A reader that reads slowly makes a write wait, which holds the run back as it should. The
// wait ends at the stop, though: from the moment a stop is requested, the writes wait at most
// kDrainAfterStop for the reader in all, and not at all after a second request; then the
// lines left are given up and counted (unwritten()). A write that fails (the reader went away)
// fails every later line too, and the caller ends the run.
//
// The host thread holds its lines while it starts a burst of requests (hold(), flush()), so
// that a burst of pushes is one write; past kHeldBytes they are written at once.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

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

  // Lines held past this many bytes are written at once.
  static constexpr std::size_t kHeldBytes = 64 * 1024;

  Written writeLine(std::string line) override EXCLUDES(mu_);
  // Writes the lines held, then drops every later line.
  void close() override EXCLUDES(mu_);
  void hold() override EXCLUDES(mu_);
  Written flush() override EXCLUDES(mu_);

  // Success, or the write that failed: "write(standard output): Broken pipe".
  foundation::Status status() const EXCLUDES(mu_);
  // The lines given up after a stop because the reader did not take them in time.
  std::size_t unwritten() const EXCLUDES(mu_);

 private:
  // Writes `text` as the reader takes it, watching the stop; a write that fails leaves its errno
  // in error_, a line given up counts in unwritten_.
  Written writeWatchingStop(std::string_view text) REQUIRES(mu_);
  // Writes `text`, whole lines, to the file as it may take it.
  Written writeText(std::string_view text) REQUIRES(mu_);
  // Writes the lines held, if any.
  Written writeHeld() REQUIRES(mu_);
  // The lines of `text` are given up, and those after them.
  Written giveUp(std::string_view text) REQUIRES(mu_);

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
  std::thread::id holder_ GUARDED_BY(mu_);  // the thread whose lines wait in held_; none
  std::string held_ GUARDED_BY(mu_);
  // When the writes stop waiting for the reader; set once the stop has been seen.
  std::optional<std::chrono::steady_clock::time_point> drainUntil_ GUARDED_BY(mu_);
};

}  // namespace host
