#include "host/Clock.hpp"

#include <algorithm>
#include <ctime>

namespace host {

void SteadyClock::wait(std::span<pollfd> fds, std::optional<TimePoint> deadline) {
  timespec timeout{};
  if (deadline) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(*deadline - now(), Duration::zero()));
    timeout.tv_sec = static_cast<std::time_t>(ns.count() / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
  }
  // A signal cuts the wait short, which only makes the caller look again.
  ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr);
}

}  // namespace host
