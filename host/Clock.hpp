// Clock: where the scheduler takes the time from, and how it waits for something to happen
// (LevelDB's Env::NowMicros, with the wait beside it). SteadyClock is the process's: the
// monotonic clock and ppoll. A test hands the scheduler a clock of its own, whose time moves
// only when the scheduler would otherwise sleep, so that the rules of expiry run in
// microseconds.
//
// Implementations are thread-safe.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <span>

namespace host {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  virtual TimePoint now() = 0;
  // Waits until one of `fds` is ready (their revents say which) or `deadline` has come;
  // without a deadline, until one is ready.
  virtual void wait(std::span<pollfd> fds, std::optional<TimePoint> deadline) = 0;

 protected:
  ~Clock() = default;
};

class SteadyClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void wait(std::span<pollfd> fds, std::optional<TimePoint> deadline) override;
};

}  // namespace host
