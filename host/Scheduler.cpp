#include "host/Scheduler.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "System/Block.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "host/OutputLine.hpp"

namespace host {

namespace {

// Set on the host thread while it holds its lines (Scheduler::run): the listener hears of its
// lines once they are written together, rather than after each.
thread_local bool tHolding = false;
thread_local bool tWroteWhileHolding = false;

// Requests the hand-over keeps room for between bursts.
constexpr std::size_t kKeptRoom = 1024;

}  // namespace

// What the host knows of one request; shared by the host thread and whichever thread calls
// the request's content handler.
struct Scheduler::Record {
  Record(std::string identifier, objc::Strong<UNNotificationContent> content,
         std::optional<PushHeaders> headers, os_activity_t given)
      : id(std::move(identifier)),
        original(std::move(content)),
        push(std::move(headers)),
        activity(given ? std::move(given) : Log::activityFor(id)) {}

  const std::string id;
  const objc::Strong<UNNotificationContent> original;
  const std::optional<PushHeaders> push;
  const os_activity_t activity;
  Clock::TimePoint requested;  // set by the host thread before the record is shared

  base::Mutex mu;  // guards the delivery record below, and orders this request's lines
  int calls GUARDED_BY(mu) = 0;
  bool expired GUARDED_BY(mu) = false;
  bool shown GUARDED_BY(mu) = false;
};

Scheduler::Scheduler(Class principal, Settings settings, Clock& clock, LineSink& output,
                     Listener& listener, Diagnostics& diagnostics, Transfers& transfers, Stop& stop)
    : principal_(principal),
      settings_(settings),
      timeLimit_(std::chrono::duration_cast<Clock::Duration>(
          std::chrono::duration<double>(settings.timeLimitSeconds))),
      clock_(clock),
      output_(output),
      listener_(listener),
      diagnostics_(diagnostics),
      transfers_(transfers),
      stop_(stop) {
  if (!wake_.valid()) {
    diagnostics_.report("eventfd: " + foundation::errorString(errno) +
                        "; the host looks for work every 10 ms instead");
  }
}

Scheduler::~Scheduler() = default;

void Scheduler::wakeLocked() {
  if (!sleeping_) return;
  sleeping_ = false;
  wake_.signal();
}

void Scheduler::sleep(std::optional<Clock::TimePoint> deadline, bool watchStop) {
  std::array<pollfd, 2> fds = {pollfd{wake_.fd(), POLLIN, 0},
                               pollfd{watchStop ? stop_.fd() : -1, POLLIN, 0}};
  // Without its eventfd the host looks again every 10 ms.
  if (!wake_.valid()) {
    const Clock::TimePoint soon = clock_.now() + std::chrono::milliseconds(10);
    deadline = deadline ? std::min(*deadline, soon) : soon;
  }
  clock_.wait(fds, deadline);
  wake_.clear();
  base::MutexLock lock(mu_);
  sleeping_ = false;
}

bool Scheduler::hasRoom() const {
  // Counted when handed over: the host thread may hold some taken from incoming_ and not yet
  // started.
  return handedOver_ - shownCount_ < settings_.maximumUnderWay;
}

void Scheduler::submit(PushRequest request, bool waitForRoom) {
  base::MutexLock lock(mu_);
  while (waitForRoom && !hasRoom()) {
    waitingForRoom_ = true;
    lock.wait(roomMade_);
  }
  ++handedOver_;
  incoming_.push_back(std::move(request));
  wakeLocked();
}

bool Scheduler::trySubmit(PushRequest request, bool wake) {
  base::MutexLock lock(mu_);
  if (!hasRoom()) return false;
  ++handedOver_;
  incoming_.push_back(std::move(request));
  if (wake) wakeLocked();
  return true;
}

void Scheduler::wake() {
  base::MutexLock lock(mu_);
  if (!incoming_.empty()) wakeLocked();
}

void Scheduler::waitForHostThread(std::size_t most, std::chrono::milliseconds longest) {
  const auto deadline = std::chrono::steady_clock::now() + longest;
  base::MutexLock lock(mu_);
  while (incoming_.size() > most && !inputDone_) {
    waitingForTake_ = true;
    if (!lock.waitUntil(taken_, deadline)) break;
  }
}

void Scheduler::inputEnded() {
  base::MutexLock lock(mu_);
  inputDone_ = true;
  wakeLocked();
}

bool Scheduler::write(std::string line) {
  switch (output_.writeLine(std::move(line))) {
    case LineSink::Written::yes:
      return true;
    case LineSink::Written::closed:
      return false;
    case LineSink::Written::failed:
      // Nobody reads what is shown any more: the run ends as at SIGTERM.
      stop_.request();
      return false;
  }
  return false;
}

void Scheduler::lineWritten() {
  if (tHolding) {
    tWroteWhileHolding = true;
    return;
  }
  listener_.lineWritten();
}

void Scheduler::flushHeld() {
  tHolding = false;
  const bool wrote = std::exchange(tWroteWhileHolding, false);
  if (output_.flush() == LineSink::Written::failed) stop_.request();
  if (wrote) listener_.lineWritten();
}

bool Scheduler::writeLineOf(const Record& record, bool shown, const UNNotificationContent& content,
                            const std::function<std::string(LineOrigin)>& make,
                            std::optional<ShownNotification>* replaced) {
  LineOrigin origin{.push = record.push ? &*record.push : nullptr, .replaces = nullptr};
  if (!shown || !record.push || record.push->collapseId.empty()) return write(make(origin));
  base::MutexLock lock(collapseMu_);
  if (const ShownNotification* earlier = collapse_.find(record.push->collapseId)) {
    origin.replaces = &earlier->id;
  }
  if (!write(make(origin))) return false;
  *replaced = collapse_.put(record.push->collapseId, {record.id, attachmentFiles(content)});
  return true;
}

void Scheduler::noteShown(const Record& record, const UNNotificationContent& content,
                          const std::optional<ShownNotification>& replaced) {
  // Told before the request counts as shown: once the last one does, the run may end and the
  // desktop be finished.
  listener_.shown(record.id, content, replaced ? &*replaced : nullptr);
  countShown();
}

void Scheduler::countShown() {
  base::MutexLock lock(mu_);
  ++shownCount_;
  lastShown_ = clock_.now();
  if (waitingForRoom_) {
    waitingForRoom_ = false;
    roomMade_.notify_one();
  }
  // Only the last request shown gives the host something to do; waking it for every one cost
  // a context switch per request. Shown requests leave its queue when it next wakes.
  if (inputDone_ && shownCount_ == started_) wakeLocked();
}

void Scheduler::showOriginal(Record& record, const char* reason) {
  bool written = false;
  std::optional<ShownNotification> replaced;
  {
    base::MutexLock lock(record.mu);
    if (record.shown) return;
    record.shown = true;
    written = writeLineOf(
        record, true, *record.original,
        [&](LineOrigin origin) {
          return originalLine(record.id, reason, *record.original, origin);
        },
        &replaced);
    if (written) {
      log_.shown(record.activity, reason, record.expired, record.original->attachments().size());
    }
  }
  if (written) lineWritten();
  noteShown(record, *record.original, replaced);
}

void Scheduler::handToApp(Record& record) {
  bool written = false;
  {
    base::MutexLock lock(record.mu);
    record.shown = true;
    written = write(appLine(record.id, *record.original, *record.push));
    if (written) log_.handed(record.activity, record.push->pushType);
  }
  if (written) lineWritten();
  // Nothing is on screen: neither the desktop nor the collapse ids hear of it.
  countShown();
}

void Scheduler::deliver(Record& record, UNNotificationContent* delivered) {
  bool first = false;
  bool written = false;
  std::optional<ShownNotification> replaced;
  // The content as this call delivered it: the extension may change the same object again
  // (a late download attaches its image) before the desktop reads what went on screen.
  const objc::Strong<UNNotificationContent> copy =
      delivered != nullptr ? objc::dynamicCast<UNNotificationContent>(delivered->mutableCopy())
                           : nullptr;
  const UNNotificationContent* content = copy.get();
  // A delivery of nothing leaves the original on screen.
  const UNNotificationContent& onScreen = content != nullptr ? *content : *record.original;
  {
    base::MutexLock lock(record.mu);
    first = !record.shown;
    record.shown = true;
    ++record.calls;
    // After the run's end, what a cancelled transfer's completion delivers is dropped, from the
    // log as from the output.
    const int call = record.calls;
    const bool expired = record.expired;
    written = writeLineOf(
        record, first, onScreen,
        [&](LineOrigin origin) {
          return extensionLine(record.id, call, expired, first, content, origin);
        },
        &replaced);
    if (written) {
      const std::size_t attachments = content != nullptr ? content->attachments().size() : 0;
      log_.delivery(record.activity, record.calls, record.expired, attachments, record.requested,
                    clock_.now());
      if (first) log_.shown(record.activity, nullptr, record.expired, attachments);
    }
  }
  if (written) lineWritten();
  if (first) noteShown(record, onScreen, replaced);
}

void Scheduler::start(PushRequest request) {
  {
    base::MutexLock lock(mu_);
    ++started_;
  }
  // A push of any type but alert is for the app, which the platform wakes in the background:
  // no notification, so no extension.
  const bool forApp = request.push && request.push->pushType != "alert";
  if (forApp) {
    request.mutableContent = false;
    request.notMutableReason = "the push type is not alert";
  }
  auto record = std::make_shared<Record>(request.request->identifier(), request.request->content(),
                                         std::move(request.push), std::move(request.activity));
  // What the extension starts from here on (its transfers, their completions) carries the
  // request's activity, though the extension never hands it on.
  system_log::ActivityScope scope(record->activity);
  log_.request(record->activity, request);
  if (forApp) {
    handToApp(*record);
    return;
  }
  if (!request.mutableContent) {
    showOriginal(*record, "not-mutable");
    return;
  }
  auto instance = objc::Strong<NSObject>::adopt(class_createInstance(principal_));
  if (!instance || objc_msgSend<id>(instance.get(), "init") != instance.get()) {
    diagnostics_.report(record->id + ": the principal class could not be initialised");
    showOriginal(*record, "no-delivery");
    return;
  }
  auto block = blocks::makeBlock<void(UNNotificationContent*)>(
      [this, record](UNNotificationContent* content) { deliver(*record, content); });
  record->requested = clock_.now();
  objc_msgSend<void>(instance.get(), user_notifications::kDidReceiveNotificationRequestSelector,
                     request.request.get(), block.get());
  active_.push_back(Active{clock_.now() + timeLimit_, std::move(record), std::move(instance)});
}

void Scheduler::expire(Active& active) {
  Record& record = *active.record;
  {
    base::MutexLock lock(record.mu);
    // Once the extension has delivered, the platform is done with it: no expiry is sent.
    if (record.shown) return;
    record.expired = true;
  }
  system_log::ActivityScope scope(record.activity);
  objc_msgSend<void>(active.instance.get(),
                     user_notifications::kServiceExtensionTimeWillExpireSelector);
  showOriginal(record, "no-delivery");
}

void Scheduler::run() {
  bool stopping = false;
  for (;;) {
    bool wait = false;
    {
      base::MutexLock lock(mu_);
      // The host thread sleeps while it has nothing to do: no request handed over, the input
      // not yet ended with every request shown, and the oldest running request still within
      // its time. It wakes for a request handed over, the end of the input, the last request
      // shown after that, the oldest request's deadline, or the stop. Once stopping, it sleeps
      // only until the input reader, which wakes for the stop too, has handed over the rest.
      const bool nothingHandedOver = incoming_.empty();
      const bool allShown = inputDone_ && shownCount_ == started_;
      wait = stopping ? nothingHandedOver && !inputDone_
                      : nothingHandedOver && !allShown &&
                            (active_.empty() || clock_.now() < active_.front().deadline);
      sleeping_ = wait;
    }
    if (wait) {
      std::optional<Clock::TimePoint> deadline;
      if (!stopping && !active_.empty()) deadline = active_.front().deadline;
      sleep(deadline, !stopping);
    }
    stopping = stopping || stop_.requested();

    bool inputDone = false;
    {
      base::MutexLock lock(mu_);
      starting_.swap(incoming_);
      inputDone = inputDone_;
      if (std::exchange(waitingForTake_, false)) taken_.notify_all();
    }
    if (!starting_.empty()) listener_.beforeStart();
    // The lines of a burst of requests go out together, once the burst is started and the
    // requests past their time are expired.
    output_.hold();
    tHolding = true;
    for (PushRequest& request : starting_) start(std::move(request));
    starting_.clear();
    // The room of a burst far above the usual is given back.
    if (starting_.capacity() > kKeptRoom) starting_.shrink_to_fit();
    // Requests shown by their extension leave the queue as soon as they reach its front; at the
    // stop every one leaves, expired now if it was not shown.
    while (!active_.empty()) {
      Active& front = active_.front();
      bool done = false;
      {
        base::MutexLock lock(front.record->mu);
        done = front.record->shown;
      }
      if (!done && !stopping && clock_.now() < front.deadline) break;
      if (!done) expire(front);
      active_.pop_front();
    }
    flushHeld();
    if (inputDone) {
      base::MutexLock lock(mu_);
      if (incoming_.empty() && shownCount_ == started_) break;
    }
  }
  if (!stopping && !stop_.requested()) waitForTransfers();
  output_.close();
  transfers_.cancelAll();
  active_.clear();
  log_.summary();
}

void Scheduler::waitForTransfers() {
  // Every request has been shown; transfers that are still running get one more time limit.
  if (transfers_.waitUntilIdle(std::chrono::steady_clock::now())) return;
  Clock::TimePoint deadline;
  {
    base::MutexLock lock(mu_);
    deadline = lastShown_ + timeLimit_;
    transfersIdle_ = false;
  }
  // The session waits in real time; the deadline is the clock's.
  const auto until = std::chrono::steady_clock::now() + (deadline - clock_.now());
  // The session's wait runs on a thread of its own so that this one can watch for the stop.
  std::thread waiter([this, until] {
    (void)transfers_.waitUntilIdle(until);
    base::MutexLock lock(mu_);
    transfersIdle_ = true;
    wakeLocked();
  });
  for (;;) {
    {
      base::MutexLock lock(mu_);
      if (transfersIdle_) break;
      sleeping_ = true;
    }
    sleep(std::nullopt, /*watchStop=*/true);
    if (stop_.requested()) break;
  }
  // At the stop, cancelling the transfers is what ends the waiter's wait; the lines their
  // completions would write are dropped.
  output_.close();
  transfers_.cancelAll();
  waiter.join();
}

}  // namespace host
