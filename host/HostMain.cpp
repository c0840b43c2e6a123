// The process entry of the notification service extension: the host of the extension point.
// NSExtensionMain finds the record at the end of this file in libUserNotifications's
// "nsextension_points" section and hands the process to hostMain, which sets the process up
// (Process.hpp), reads the command line (Options.hpp), makes the caches directory and the
// storage around it (Storage.hpp), connects the desktop with --desktop (Desktop.hpp), then
// runs the input reader (Input.hpp), or with --listen the push service's endpoint in its place
// (Endpoint.hpp, PushIntake.hpp), and the requests (Scheduler.hpp) until the input ends or a
// stop (Stop.hpp) ends the run. Every problem the run goes on without is said on standard error
// through one StandardErrorDiagnostics.
#include <sysexits.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "Foundation/NSBundle.hpp"
#include "Foundation/NSExtensionMain.hpp"
#include "Foundation/URLSession.hpp"
#include "System/os_log.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "host/Clock.hpp"
#include "host/Desktop.hpp"
#include "host/Diagnostics.hpp"
#include "host/Endpoint.hpp"
#include "host/Input.hpp"
#include "host/Options.hpp"
#include "host/Output.hpp"
#include "host/Process.hpp"
#include "host/PushIntake.hpp"
#include "host/Scheduler.hpp"
#include "host/Stop.hpp"
#include "host/StopSignal.hpp"
#include "host/Storage.hpp"

namespace host {

namespace {

// What happens around each line: the storage's bounds, and the desktop with --desktop.
class AroundLines final : public Scheduler::Listener {
 public:
  AroundLines(Storage& storage, Desktop* desktop) : storage_(storage), desktop_(desktop) {}
  void beforeStart() override { storage_.restoreRemoved(); }
  void lineWritten() override { storage_.update(); }
  void shown(const std::string& id, const UNNotificationContent& content,
             const ShownNotification* replaced) override {
    if (desktop_ != nullptr) desktop_->show(id, content, replaced ? &replaced->id : nullptr);
    if (replaced == nullptr) return;
    // Replaced, the notification is off the screen: its attachments go, as a closed one's do.
    if (std::shared_ptr<user_notifications::AttachmentStore> store =
            user_notifications::AttachmentStore::shared()) {
      for (const std::string& file : replaced->files) store->remove(file);
    }
  }

 private:
  Storage& storage_;
  Desktop* const desktop_;
};

// The extension's transfers: those of the shared URL session.
class SessionTransfers final : public Scheduler::Transfers {
 public:
  bool waitUntilIdle(std::chrono::steady_clock::time_point deadline) override {
    return URLSession::sharedSession().waitUntilIdle(deadline);
  }
  void cancelAll() override { URLSession::sharedSession().invalidateAndCancel(); }
};

// The directories the platform keeps for the extension: its caches directory, made here as the
// platform makes the container before starting it, and the attachment store's, beside the
// state the platform keeps.
struct Directories {
  std::optional<std::string> caches;
  std::optional<std::string> store;
  std::optional<std::string> gateway;  // the state of --listen: device token, authority
};

Directories makeDirectories(Diagnostics& diagnostics) {
  Directories made;
  const std::vector<std::string> caches =
      NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true);
  const std::optional<std::string> state =
      foundation::userDirectory(foundation::UserDirectory::state);
  if (caches.empty()) {
    diagnostics.report(
        "no home directory for the caches directory or the attachment store; notifications are "
        "shown without their images");
    return made;
  }
  made.caches = caches.front();
  if (foundation::Status status = FileManager::defaultManager().createDirectory(*made.caches, true);
      !status.ok()) {
    diagnostics.report("cannot create the caches directory: " + status.error().description);
  }
  if (!state) {
    diagnostics.report(
        "no home directory for the attachment store; attachments stay where they are");
  } else {
    made.store = *state + "/" + foundation::applicationIdentifier() + "/Attachments";
    made.gateway = *state + "/" + foundation::applicationIdentifier() + "/Gateway";
  }
  return made;
}

int run(Class principalClass, const Options& options, const Directories& directories, Stop& stop,
        Diagnostics& diagnostics, Desktop* desktop) {
  Output output(STDOUT_FILENO, stop);
  Storage storage({.caches = directories.caches,
                   .store = directories.store,
                   .cacheLimit = options.cacheLimit,
                   .attachmentsLimit = options.attachmentsLimit,
                   .timeLimitSeconds = options.timeLimit,
                   .watchForRemoval = options.files.empty()},
                  diagnostics);
  AroundLines around(storage, desktop);
  SteadyClock clock;
  SessionTransfers transfers;
  Scheduler scheduler(principalClass, {.timeLimitSeconds = options.timeLimit}, clock, output,
                      around, diagnostics, transfers, stop);
  // With --listen the endpoint stands where the input would be: pushes are answered at the
  // bound rather than waited for, and the socket is bound before anything is said.
  // A turn of the gateway's loop wakes the host thread once, for every push it took; the next
  // turn waits, for a moment, while the host thread has more than about a turn's pushes (4
  // connections of 100 streams) still to start.
  PushIntake intake(
      [&scheduler](PushRequest request) {
        return scheduler.trySubmit(std::move(request), /*wake=*/false);
      },
      [&scheduler] {
        scheduler.wake();
        scheduler.waitForHostThread(512, std::chrono::milliseconds(20));
      });
  std::unique_ptr<Endpoint> endpoint;
  if (options.listen) {
    if (!directories.gateway) {
      diagnostics.report("--listen: no home directory for the gateway's state directory");
      return 1;
    }
    foundation::Result<std::unique_ptr<Endpoint>> opened =
        Endpoint::open(*options.listen, *directories.gateway,
                       appTopic(foundation::applicationIdentifier()), intake);
    if (!opened.ok()) {
      diagnostics.report("--listen: " + opened.error().description);
      return 1;
    }
    endpoint = std::move(*opened);
    endpoint->announce();
  }
  // Payload files are at hand and are read here before the first request starts, as long as
  // they fit under the scheduler's bound on requests under way; a thread for them put its start
  // and its join on every cold start's path. Standard input, which may trickle in, more files
  // than the bound, and the endpoint get a reader thread of their own; a reader waits for room
  // when the input runs far ahead of what is shown.
  const bool readerThread = endpoint || options.files.empty() ||
                            options.files.size() > Scheduler::Settings().maximumUnderWay;
  Input input(stop, diagnostics, [&scheduler, readerThread](PushRequest request) {
    scheduler.submit(std::move(request), /*waitForRoom=*/readerThread);
  });
  const auto readAll = [&input, &scheduler, &options, &endpoint, &stop] {
    if (endpoint) {
      // Returns once every push it received is answered: those answered 200 are handed over.
      endpoint->run(stop.fd());
    } else if (options.files.empty()) {
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
  if (desktop != nullptr) desktop->finish();
  int status = input.failed() || (desktop != nullptr && desktop->refusedAny()) ? 1 : 0;
  if (const foundation::Status written = output.status(); !written.ok()) {
    diagnostics.report(written.error().description);
    status = 1;
  }
  if (const std::size_t lines = output.unwritten()) {
    diagnostics.report("standard output: " + std::to_string(lines) +
                       (lines == 1 ? " line was" : " lines were") +
                       " not written: its reader took nothing for " +
                       std::to_string(Output::kDrainAfterStop.count()) + " s after the stop");
    status = 1;
  }
  return status;
}

int hostMain(Class principalClass, int argc, char** argv) {
  holdClosedStandardDescriptors();
  StandardErrorDiagnostics diagnostics;
  foundation::Result<Options> options =
      parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.ok()) {
    diagnostics.report(options.error().description + " (see --help)");
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
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
  ignoreSignalsThatLoseRequests();
  // Never destroyed: a signal that comes while the process exits still finds its pipe.
  foundation::Result<std::unique_ptr<Stop>> made = Stop::make();
  if (!made.ok()) {
    diagnostics.report("cannot set up SIGINT, SIGTERM and SIGHUP: " + made.error().description);
    return 1;
  }
  Stop& stop = *made->release();
  if (foundation::Status routed = routeStopSignals(stop); !routed.ok()) {
    diagnostics.report("cannot set up SIGINT, SIGTERM and SIGHUP: " + routed.error().description);
  }
  shareOneMallocArenaForAFewFiles(options->files.size());
  if (options->log != LogLevel::off) {
    system_log::configure(options->log == LogLevel::debug ? OS_LOG_TYPE_DEBUG : OS_LOG_TYPE_INFO);
  }
  const Directories directories = makeDirectories(diagnostics);
  std::unique_ptr<Desktop> desktop;
  if (options->desktop) {
    // Connected before any input is read: without a server, the run would show nothing of what
    // it was asked to show.
    const NSBundle& bundle = NSBundle::mainBundle();
    const std::string appName = bundle.stringForKeyPath("CFBundleDisplayName")
                                    .value_or(bundle.stringForKeyPath("CFBundleName").value_or(""));
    foundation::Result<std::unique_ptr<Desktop>> connected = Desktop::connect(appName, diagnostics);
    if (!connected.ok()) {
      diagnostics.report("--desktop: " + connected.error().description);
      return EX_UNAVAILABLE;
    }
    desktop = std::move(*connected);
  }
  return run(principalClass, *options, directories, stop, diagnostics, desktop.get());
}

constinit const foundation::ExtensionPoint kServiceExtensionPoint = {
    .identifier = user_notifications::kServiceExtensionPoint,
    .requiredSuperclass = "UNNotificationServiceExtension",
    .run = &hostMain,
};
FOUNDATION_EXTENSION_POINT(kServiceExtensionPoint);

}  // namespace

}  // namespace host
