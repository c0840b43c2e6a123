// The host of the notification service extension point: it runs the extension process.
// NSExtensionMain finds the record below in this library's "nsextension_points" section and
// hands the process to it. What it sets up here: the standard descriptors, the signals, the
// caches directory and the storage around it (HostStorage), and with --desktop the
// notification server (HostDesktop); then it runs the input reader (HostInput) and the
// requests (HostScheduler) until the input ends, or
// SIGINT or SIGTERM stops the run.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "Foundation/NSBundle.hpp"
#include "Foundation/NSExtensionMain.hpp"
#include "System/os_log.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/HostDesktop.hpp"
#include "UserNotifications/HostInput.hpp"
#include "UserNotifications/HostOptions.hpp"
#include "UserNotifications/HostOutput.hpp"
#include "UserNotifications/HostScheduler.hpp"
#include "UserNotifications/HostStorage.hpp"
#include "UserNotifications/StopSignal.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"

namespace usernotifications {

namespace {

// A standard descriptor the process was started without is taken by /dev/null, opened the
// other way round so that using it still fails. Left free, it would go to the next file or
// socket opened, and the notification lines would be written into that.
void holdClosedStandardDescriptors() {
  const struct {
    int fd;
    int flags;
  } standard[] = {{STDIN_FILENO, O_WRONLY}, {STDOUT_FILENO, O_RDONLY}, {STDERR_FILENO, O_RDONLY}};
  for (const auto& [fd, flags] : standard) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", flags);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

// A run over a handful of payload files shares one malloc arena among its threads. glibc
// gives every thread that allocates an arena of its own, and the URL session's two threads
// each map and fault in a fresh one: about 0.7 ms of a 26 ms cold start. A stream on
// standard input, or many files, keeps them: there three busy threads allocating and
// freeing bodies would contend for the one lock (a third more wall time at 2,000 requests).
// A limit set in the environment still decides.
void shareOneMallocArenaForAFewFiles(const HostOptions& options) {
  constexpr std::size_t kFewFiles = 16;
  if (options.files.empty() || options.files.size() > kFewFiles) return;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr ||
      (tunables != nullptr && std::strstr(tunables, "glibc.malloc.arena_max") != nullptr)) {
    return;
  }
  (void)mallopt(M_ARENA_MAX, 1);
}

// With --desktop, the notification server, connected before any input is read: without one,
// the run would show nothing of what it was asked to show.
foundation::Result<std::unique_ptr<HostDesktop>> connectDesktop(const HostOptions& options) {
  if (!options.desktop) return std::unique_ptr<HostDesktop>();
  return HostDesktop::connect();
}

int run(Class principalClass, const HostOptions& options, HostDesktop* desktop) {
  const int stopFd = StopSignal::forProcess().fd();
  HostOutput output;
  HostStorage storage(options);
  HostScheduler scheduler(principalClass, options.timeLimit, output, stopFd, storage);
  scheduler.showOnDesktop(desktop);
  // Payload files are at hand and are read here before the first request starts, as long
  // as they fit under the scheduler's bound on requests under way; a thread for them put its
  // start and its join on every cold start's path. Standard input, which may trickle in, and
  // more files than the bound get a reader thread of their own, which waits for room when
  // the input runs far ahead of what is shown.
  const bool readerThread =
      options.files.empty() || options.files.size() > HostScheduler::kMaximumUnderWay;
  HostInput input(stopFd, [&scheduler, readerThread](PushRequest request) {
    scheduler.submit(std::move(request), /*waitForRoom=*/readerThread);
  });
  const auto readAll = [&input, &scheduler, &options] {
    if (options.files.empty()) {
      input.readLines(STDIN_FILENO);
    } else {
      input.readFiles(options.files);
    }
    scheduler.inputEnded();
  };
  std::thread reader;
  if (readerThread) {
    reader = std::thread(readAll);
  } else {
    readAll();
  }
  scheduler.run();
  if (reader.joinable()) reader.join();
  const bool desktopRefused = desktop != nullptr && !desktop->finish();
  if (const int err = output.failure()) {
    printError("standard output: " + foundation::errorString(err));
    return 1;
  }
  return input.failed() || desktopRefused ? 1 : 0;
}

int hostMain(Class principalClass, int argc, char** argv) {
  holdClosedStandardDescriptors();
  foundation::Result<HostOptions> options =
      parseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.ok()) {
    printError(options.error().description + " (see --help)");
    return 2;
  }
  if (options->help) {
    std::fputs(kHostUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::printf("HalvicourtNotificationService %s\n",
                NSBundle::mainBundle()
                    .stringForKeyPath("CFBundleShortVersionString")
                    .value_or("?")
                    .c_str());
    return 0;
  }
  // A reader that goes away must not kill the process: the write fails and is reported.
  signal(SIGPIPE, SIG_IGN);
  // Nor must a file-size limit: the cache write fails with EFBIG and the request is still
  // delivered, without the image.
  signal(SIGXFSZ, SIG_IGN);
  // SIGINT and SIGTERM end the run early, but in order.
  (void)StopSignal::forProcess();
  shareOneMallocArenaForAFewFiles(*options);
  if (options->log != LogLevel::off) {
    system_log::configure(options->log == LogLevel::debug ? OS_LOG_TYPE_DEBUG : OS_LOG_TYPE_INFO);
  }
  // The platform makes the extension's container before starting it; so does the host.
  const std::vector<std::string> caches =
      NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true);
  if (caches.empty()) {
    printError(
        "no home directory for the caches directory or the attachment store; "
        "notifications are shown without their images");
  }
  for (const std::string& dir : caches) {
    if (foundation::Status made = FileManager::defaultManager().createDirectory(dir, true);
        !made.ok()) {
      printError("cannot create the caches directory: " + made.error().description);
    }
  }
  foundation::Result<std::unique_ptr<HostDesktop>> desktop = connectDesktop(*options);
  if (!desktop.ok()) {
    printError("--desktop: " + desktop.error().description);
    return EX_UNAVAILABLE;
  }
  return run(principalClass, *options, desktop->get());
}

constinit const NSExtensionPointRecord kServiceExtensionPoint = {
    .identifier = kUNNotificationServiceExtensionPoint,
    .requiredSuperclass = "UNNotificationServiceExtension",
    .run = &hostMain,
};
NSEXTENSION_POINT_ENTRY(kServiceExtensionPoint);

}  // namespace

}  // namespace usernotifications
