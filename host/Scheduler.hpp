// Scheduler: the host's side of each request. It makes one fresh instance of the principal
// class per request, sends it "init" and the request message with a content-handler block,
// sends the expiry message when the time limit has passed, shows the original content when
// the extension has not delivered by then, and writes every delivery to its LineSink. Each
// request's work runs under an activity of its own, which the host logs under (Log).
//
// A push (--listen) that is not an alert is handed to the app instead: one line, not shown,
// and no extension runs. The shown line of a push with a collapse id replaces the
// notification shown last under that id (CollapseIds), and says so.
//
// What it runs against is handed to it, so that its rules can be tried in a test without a
// process, real time or real files: the clock it takes the time from and sleeps on, the sink
// its lines go to, a listener for what happens around a shown line (the storage's bounds,
// the desktop), the diagnostics, the transfers the end of the run waits for (the URL
// session's), and the stop.
//
// run() is the host thread: it sends every message to the extensions. submit(), trySubmit()
// and inputEnded() may be called from another thread (the input reader); the content handlers
// are called from whatever thread the extension delivers on. All of them guard themselves.
//
// Requests handed over and not yet shown are held to a bound: beyond it submit() waits for one
// to be shown (so the reader stops reading, and a writer that runs ahead waits on the pipe),
// and trySubmit() refuses. Memory then follows what is under way, not how far the input runs
// ahead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Mutex.hpp"
#include "base/WakeEvent.hpp"
#include "host/Clock.hpp"
#include "host/CollapseIds.hpp"
#include "host/Diagnostics.hpp"
#include "host/LineSink.hpp"
#include "host/Log.hpp"
#include "host/OutputLine.hpp"
#include "host/Payload.hpp"
#include "host/Stop.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"
#include "objc/runtime.hpp"

class UNNotificationContent;

namespace host {

class Scheduler {
 public:
  // What happens around the lines, besides writing them.
  class Listener {
   public:
    // Requests handed over are about to start.
    virtual void beforeStart() = 0;
    // A line was written.
    virtual void lineWritten() = 0;
    // Request `id`'s shown line was written with `content`, in the place of `replaced` (null
    // when it replaced nothing).
    virtual void shown(const std::string& id, const UNNotificationContent& content,
                       const ShownNotification* replaced) = 0;

   protected:
    ~Listener() = default;
  };

  // The transfers the extension started, which the end of the run waits for.
  class Transfers {
   public:
    // Whether none is running, once none is or at `deadline`.
    virtual bool waitUntilIdle(std::chrono::steady_clock::time_point deadline) = 0;
    // Cancels every one still running; their completions are called all the same.
    virtual void cancelAll() = 0;

   protected:
    ~Transfers() = default;
  };

  struct Settings {
    double timeLimitSeconds = 30;  // from the request message to the expiry message
    // Requests handed over and not yet shown, at most: far above what the transfers can
    // serve within a time limit (64 at once), far below what exhausts memory (a few KiB each).
    std::size_t maximumUnderWay = 4096;
  };

  // REQUIRES: everything handed over outlives this object.
  Scheduler(Class principal, Settings settings, Clock& clock, LineSink& output, Listener& listener,
            Diagnostics& diagnostics, Transfers& transfers, Stop& stop);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Hands a request over; with `waitForRoom`, first waits while the bound is reached. The host
  // thread makes the room, so only another thread may wait: a reader that runs beside run().
  void submit(PushRequest request, bool waitForRoom = false) EXCLUDES(mu_);
  // Hands a request over unless the bound is reached; false then, and the request is dropped.
  // Without `wake`, the host thread is not woken for it: a caller that hands over a burst
  // calls wake() after it, rather than waking the host thread for each request.
  bool trySubmit(PushRequest request, bool wake = true) EXCLUDES(mu_);
  // Wakes the host thread for the requests handed over without waking it.
  void wake() EXCLUDES(mu_);
  // Waits, at most `longest`, while more than `most` requests handed over are not yet taken by
  // the host thread. A caller that hands over bursts faster than the host thread starts them
  // is held back, so that the requests wait in its peers' sockets rather than in a queue that
  // grows to the bound: a host thread far behind starts each request from cold memory, and
  // falls further behind. Returns at once while the host thread keeps up.
  void waitForHostThread(std::size_t most, std::chrono::milliseconds longest) EXCLUDES(mu_);
  // No request will be handed over after this.
  void inputEnded() EXCLUDES(mu_);

  // Runs the requests until the input has ended and each one has been shown, then waits up to
  // one time limit for the transfers still running, closes the output and cancels what
  // remains. Once the stop is requested it stops waiting: it takes what the input still hands
  // over, sends every request not yet shown its expiry message at once, shows the original
  // content of those still not delivered, and closes and cancels without waiting. A line that
  // cannot be written requests the stop. Last, it logs the summary.
  void run() EXCLUDES(mu_);

 private:
  struct Record;
  // One request whose extension instance is running, oldest first.
  struct Active {
    Clock::TimePoint deadline;
    std::shared_ptr<Record> record;
    objc::Strong<NSObject> instance;
  };

  void start(PushRequest request) EXCLUDES(mu_);
  void expire(Active& active);
  void deliver(Record& record, UNNotificationContent* content) EXCLUDES(mu_);
  void showOriginal(Record& record, const char* reason) EXCLUDES(mu_);
  void handToApp(Record& record) EXCLUDES(mu_);
  // Writes `line`; true when it was written (or held, on the host thread). A failed write
  // requests the stop.
  bool write(std::string line);
  // A line was written: the listener hears of it, after the flush when it is held.
  void lineWritten();
  // Writes the host thread's held lines; a failed write requests the stop.
  void flushHeld();
  // Writes the line that `make` gives for `record`. The shown line of a push with a collapse
  // id names the notification it replaces, which `*replaced` is then set to.
  bool writeLineOf(const Record& record, bool shown, const UNNotificationContent& content,
                   const std::function<std::string(LineOrigin)>& make,
                   std::optional<ShownNotification>* replaced) EXCLUDES(collapseMu_);
  // After a request's shown line is written, with the content it showed.
  void noteShown(const Record& record, const UNNotificationContent& content,
                 const std::optional<ShownNotification>& replaced) EXCLUDES(mu_);
  // The request's last line is written: it no longer counts as under way.
  void countShown() EXCLUDES(mu_);
  bool hasRoom() const REQUIRES(mu_);
  void wakeLocked() REQUIRES(mu_);
  // Sleeps until woken, until `deadline`, or, when `watchStop`, until the stop.
  void sleep(std::optional<Clock::TimePoint> deadline, bool watchStop);
  void waitForTransfers() EXCLUDES(mu_);

  const Class principal_;
  const Settings settings_;
  const Clock::Duration timeLimit_;
  Clock& clock_;
  LineSink& output_;
  Listener& listener_;
  Diagnostics& diagnostics_;
  Transfers& transfers_;
  Stop& stop_;
  Log log_;                    // thread-safe itself
  base::WakeEvent wake_;       // written by wakeLocked(), polled by sleep()
  std::deque<Active> active_;  // host thread only

  // Guards the record of collapse ids, and orders the shown lines written with it.
  base::Mutex collapseMu_;
  CollapseIds collapse_ GUARDED_BY(collapseMu_);

  base::Mutex mu_;  // guards the hand-over from the input thread and the shown count
  // Handed over and not yet taken by the host thread, which swaps it with `starting_`: the two
  // keep their room, so that a steady stream of requests allocates nothing to queue them.
  std::vector<PushRequest> incoming_ GUARDED_BY(mu_);
  std::vector<PushRequest> starting_;  // host thread only
  bool inputDone_ GUARDED_BY(mu_) = false;
  bool sleeping_ GUARDED_BY(mu_) = false;       // the host thread is, or is about to be, asleep
  std::size_t started_ GUARDED_BY(mu_) = 0;     // written by the host thread only
  std::size_t handedOver_ GUARDED_BY(mu_) = 0;  // by submit()
  std::size_t shownCount_ GUARDED_BY(mu_) = 0;
  std::condition_variable roomMade_;  // a request shown while a submit() waits for room
  std::condition_variable taken_;     // the host thread took what was handed over
  bool waitingForTake_ GUARDED_BY(mu_) = false;
  bool waitingForRoom_ GUARDED_BY(mu_) = false;
  Clock::TimePoint lastShown_ GUARDED_BY(mu_);
  bool transfersIdle_ GUARDED_BY(mu_) = false;
};

}  // namespace host
