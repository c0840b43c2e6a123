#include "host/StopSignal.hpp"

#include <signal.h>

#include <atomic>
#include <cerrno>

namespace host {

namespace {

// Set once, before the handler is installed; read by the handler.
std::atomic<Stop*> gStop{nullptr};
static_assert(std::atomic<Stop*>::is_always_lock_free, "the handler needs a lock-free atomic");

void onStopSignal(int) { gStop.load(std::memory_order_relaxed)->request(); }

}  // namespace

foundation::Status routeStopSignals(Stop& stop) {
  gStop.store(&stop);
  struct sigaction action {};
  action.sa_handler = &onStopSignal;
  sigemptyset(&action.sa_mask);
  // Restarted, so that the signal does not break a blocking call in some other thread; the
  // threads that must wake poll the stop's pipe, and poll is never restarted.
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(signal, &action, nullptr) != 0) return foundation::posixError("sigaction", errno);
  }
  return {};
}

}  // namespace host
