#include "UserNotifications/StopSignal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "Foundation/NSError.hpp"
#include "UserNotifications/HostOutput.hpp"

namespace usernotifications {

namespace {

// Set once, before the handler is installed; read by the handler.
std::atomic<int> writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free atomic");

void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already says all there is to say.
  ssize_t ignored = ::write(writeEnd.load(std::memory_order_relaxed), &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

StopSignal::StopSignal() {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without the pipe the signals keep their default action, which still ends the run.
    printError("cannot set up SIGINT and SIGTERM: pipe2: " + foundation::errorString(errno));
    return;
  }
  readEnd_ = ends[0];
  writeEnd.store(ends[1]);
  struct sigaction action {};
  action.sa_handler = &onStopSignal;
  sigemptyset(&action.sa_mask);
  // Restarted, so that the signal does not break a blocking call in some other thread; the
  // threads that must wake poll the pipe, and poll is never restarted.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

const StopSignal& StopSignal::forProcess() {
  // Never destroyed: see the header.
  static const StopSignal* const instance = new StopSignal();
  return *instance;
}

bool StopSignal::requested() const {
  pollfd ready{readEnd_, POLLIN, 0};
  return readEnd_ >= 0 && poll(&ready, 1, 0) > 0;
}

}  // namespace usernotifications
