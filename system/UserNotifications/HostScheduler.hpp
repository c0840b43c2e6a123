// HostScheduler: the host's side of each request. It makes one fresh instance of the principal
// class per request, sends it "init" and the request message with a content-handler block,
// sends the expiry message when the time limit has passed, shows the original content when
// the extension has not delivered by then, and writes every delivery to the output. Each
// request's work runs under an activity of its own, which the host logs under (HostLog).
//
// run() is the host thread: it sends every message to the extensions. submit() and
// inputEnded() may be called from another thread (the input reader); the content handlers
// are called from whatever thread the extension delivers on. All three guard themselves.
//
// A stream of requests is held to kMaximumUnderWay requests handed over and not yet shown:
// beyond that, submit() waits for one to be shown, and so the reader stops reading and a
// writer that runs ahead waits on the pipe. Memory then follows what is under way, not how
// far the input runs ahead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>

#include "UserNotifications/HostLog.hpp"
#include "UserNotifications/HostOutput.hpp"
#include "UserNotifications/HostStorage.hpp"
#include "UserNotifications/PushPayload.hpp"
#include "base/Mutex.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"
#include "objc/runtime.hpp"

namespace usernotifications {

class HostDesktop;

class HostScheduler {
 public:
  using Clock = std::chrono::steady_clock;

  // REQUIRES: `output` and `storage` outlive this object; `stopFd` stays open while run()
  // runs.
  HostScheduler(Class principal, double timeLimitSeconds, HostOutput& output, int stopFd,
                HostStorage& storage);
  ~HostScheduler();
  HostScheduler(const HostScheduler&) = delete;
  HostScheduler& operator=(const HostScheduler&) = delete;

  // Also posts each shown line's content to `desktop`.
  // REQUIRES: called before run(); `desktop` outlives run().
  void showOnDesktop(HostDesktop* desktop) { desktop_ = desktop; }

  // Requests handed over and not yet shown, at most, when submit() is told to wait for room:
  // far above what the transfers can serve within a time limit (64 at once), far below
  // what exhausts memory (a few KiB each).
  static constexpr std::size_t kMaximumUnderWay = 4096;

  // With `waitForRoom`, first waits while kMaximumUnderWay requests are under way. The host
  // thread makes the room, so only another thread may wait: a reader that runs beside run().
  void submit(PushRequest request, bool waitForRoom = false) EXCLUDES(mu_);
  // No request will be submitted after this.
  void inputEnded() EXCLUDES(mu_);

  // Runs the requests until the input has ended and each one has been shown, then waits up
  // to one time limit for the transfers still running, closes the output and cancels what
  // remains. When `stopFd` becomes readable it stops waiting: it takes what the input still
  // hands over, sends every request not yet shown its expiry message at once, shows the
  // original content of those still not delivered, and closes and cancels without waiting.
  // Last, it logs the summary.
  void run() EXCLUDES(mu_);

 private:
  struct Record;
  // One request whose extension instance is running, oldest first.
  struct Active {
    Clock::time_point deadline;
    std::shared_ptr<Record> record;
    Strong<NSObject> instance;
  };

  void start(PushRequest request) EXCLUDES(mu_);
  void expire(Active& active);
  void deliver(Record& record, UNNotificationContent* content) EXCLUDES(mu_);
  void showOriginal(Record& record, const char* reason) EXCLUDES(mu_);
  // After a request's shown line is written, with the content it showed.
  void noteShown(const Record& record, const UNNotificationContent& content) EXCLUDES(mu_);
  void wakeLocked() REQUIRES(mu_);
  // Sleeps until woken, until `deadline` (null: none), or, when `watchStop`, until the stop.
  void sleep(const Clock::time_point* deadline, bool watchStop);
  bool stopRequested() const;
  void waitForTransfers() EXCLUDES(mu_);

  const Class principal_;
  const Clock::duration timeLimit_;
  HostOutput& output_;
  HostLog log_;  // thread-safe itself
  const int stopFd_;
  HostStorage& storage_;       // told of each line written, for the files that came with it
  const int wakeFd_;           // an eventfd that wakeLocked() writes to and sleep() polls
  std::deque<Active> active_;  // host thread only
  // Set before run(); null without --desktop.
  HostDesktop* desktop_ = nullptr;

  base::Mutex mu_;  // guards the hand-over from the input thread and the shown count
  std::deque<PushRequest> incoming_ GUARDED_BY(mu_);
  bool inputDone_ GUARDED_BY(mu_) = false;
  bool sleeping_ GUARDED_BY(mu_) = false;       // the host thread is, or is about to be, asleep
  std::size_t started_ GUARDED_BY(mu_) = 0;     // written by the host thread only
  std::size_t handedOver_ GUARDED_BY(mu_) = 0;  // by submit()
  std::size_t shownCount_ GUARDED_BY(mu_) = 0;
  std::condition_variable roomMade_;  // a request shown while a submit() waits for room
  bool waitingForRoom_ GUARDED_BY(mu_) = false;
  Clock::time_point lastShown_ GUARDED_BY(mu_);
  bool transfersIdle_ GUARDED_BY(mu_) = false;
};

}  // namespace usernotifications
