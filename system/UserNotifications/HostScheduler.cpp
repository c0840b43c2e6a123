#include "UserNotifications/HostScheduler.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <utility>

#include "Foundation/URLSession.hpp"
#include "System/Block.hpp"
#include "UserNotifications/HostDesktop.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"

namespace usernotifications {

// What the host knows of one request; shared by the host thread and whichever thread calls
// the request's content handler.
struct HostScheduler::Record {
  Record(std::string identifier, Strong<UNNotificationContent> content)
      : id(std::move(identifier)),
        original(std::move(content)),
        activity(HostLog::activityFor(id)) {}

  const std::string id;
  const Strong<UNNotificationContent> original;
  const os_activity_t activity;
  Clock::time_point requested;  // set by the host thread before the record is shared

  base::Mutex mu;  // guards the delivery record below, and orders this request's lines
  int calls GUARDED_BY(mu) = 0;
  bool expired GUARDED_BY(mu) = false;
  bool shown GUARDED_BY(mu) = false;
};

HostScheduler::HostScheduler(Class principal, double timeLimitSeconds, HostOutput& output,
                             int stopFd, HostStorage& storage)
    : principal_(principal),
      timeLimit_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(timeLimitSeconds))),
      output_(output),
      stopFd_(stopFd),
      storage_(storage),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) printError("eventfd: " + foundation::errorString(errno));
}

HostScheduler::~HostScheduler() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void HostScheduler::wakeLocked() {
  if (!sleeping_) return;
  sleeping_ = false;
  const std::uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void HostScheduler::sleep(const Clock::time_point* deadline, bool watchStop) {
  std::array<pollfd, 2> fds = {pollfd{wakeFd_, POLLIN, 0},
                               pollfd{watchStop ? stopFd_ : -1, POLLIN, 0}};
  timespec timeout{};
  Clock::duration left = deadline != nullptr ? *deadline - Clock::now() : Clock::duration::max();
  // Without its eventfd (it could not be made) the host looks again every 10 ms.
  if (wakeFd_ < 0) left = std::min<Clock::duration>(left, std::chrono::milliseconds(10));
  if (left != Clock::duration::max()) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(left, Clock::duration::zero()));
    timeout.tv_sec = static_cast<std::time_t>(ns.count() / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
  }
  ppoll(fds.data(), fds.size(), left != Clock::duration::max() ? &timeout : nullptr, nullptr);
  std::uint64_t count = 0;
  ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
  (void)ignored;
  base::MutexLock lock(mu_);
  sleeping_ = false;
}

bool HostScheduler::stopRequested() const {
  pollfd ready{stopFd_, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

void HostScheduler::submit(PushRequest request, bool waitForRoom) {
  base::MutexLock lock(mu_);
  // Counted when handed over: the host thread may hold some taken from incoming_ and not yet
  // started.
  while (waitForRoom && handedOver_ - shownCount_ >= kMaximumUnderWay) {
    waitingForRoom_ = true;
    lock.wait(roomMade_);
  }
  ++handedOver_;
  incoming_.push_back(std::move(request));
  wakeLocked();
}

void HostScheduler::inputEnded() {
  base::MutexLock lock(mu_);
  inputDone_ = true;
  wakeLocked();
}

void HostScheduler::noteShown(const Record& record, const UNNotificationContent& content) {
  // Posted before the request counts as shown: once the last one does, the run may end and
  // the desktop be finished.
  if (desktop_ != nullptr) desktop_->show(record.id, content);
  base::MutexLock lock(mu_);
  ++shownCount_;
  lastShown_ = Clock::now();
  if (waitingForRoom_) {
    waitingForRoom_ = false;
    roomMade_.notify_one();
  }
  // Only the last request shown gives the host something to do; waking it for every one
  // cost a context switch per request. Shown requests leave its queue when it next wakes.
  if (inputDone_ && shownCount_ == started_) wakeLocked();
}

void HostScheduler::showOriginal(Record& record, const char* reason) {
  {
    base::MutexLock lock(record.mu);
    if (record.shown) return;
    record.shown = true;
    output_.writeLine(originalLine(record.id, reason, *record.original));
    log_.shown(record.activity, reason, record.expired, record.original->attachments().size());
  }
  storage_.update();
  noteShown(record, *record.original);
}

void HostScheduler::deliver(Record& record, UNNotificationContent* content) {
  bool first = false;
  {
    base::MutexLock lock(record.mu);
    first = !record.shown;
    record.shown = true;
    ++record.calls;
    // After the run's end, what a cancelled transfer's completion delivers is dropped, from
    // the log as from the output.
    if (output_.writeLine(extensionLine(record.id, record.calls, record.expired, first, content))) {
      const std::size_t attachments = content != nullptr ? content->attachments().size() : 0;
      log_.delivery(record.activity, record.calls, record.expired, attachments, record.requested);
      if (first) log_.shown(record.activity, nullptr, record.expired, attachments);
    }
  }
  storage_.update();
  // A delivery of nothing leaves the original on screen.
  if (first) noteShown(record, content != nullptr ? *content : *record.original);
}

void HostScheduler::start(PushRequest request) {
  {
    base::MutexLock lock(mu_);
    ++started_;
  }
  auto record = std::make_shared<Record>(request.request->identifier(), request.request->content());
  // What the extension starts from here on (its transfers, their completions) carries the
  // request's activity, though the extension never hands it on.
  system_log::ActivityScope scope(record->activity);
  log_.request(record->activity, request);
  if (!request.mutableContent) {
    showOriginal(*record, "not-mutable");
    return;
  }
  Strong<NSObject> instance = Strong<NSObject>::adopt(class_createInstance(principal_));
  if (!instance || objc_msgSend<id>(instance.get(), "init") != instance.get()) {
    printError(record->id + ": the principal class could not be initialised");
    showOriginal(*record, "no-delivery");
    return;
  }
  auto block = blocks::makeBlock<void(UNNotificationContent*)>(
      [this, record](UNNotificationContent* content) { deliver(*record, content); });
  record->requested = Clock::now();
  objc_msgSend<void>(instance.get(), kDidReceiveNotificationRequestSelector, request.request.get(),
                     block.get());
  active_.push_back(Active{Clock::now() + timeLimit_, std::move(record), std::move(instance)});
}

void HostScheduler::expire(Active& active) {
  Record& record = *active.record;
  {
    base::MutexLock lock(record.mu);
    // Once the extension has delivered, the platform is done with it: no expiry is sent.
    if (record.shown) return;
    record.expired = true;
  }
  system_log::ActivityScope scope(record.activity);
  objc_msgSend<void>(active.instance.get(), kServiceExtensionTimeWillExpireSelector);
  showOriginal(record, "no-delivery");
}

void HostScheduler::run() {
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
      wait = stopping ? nothingHandedOver && !inputDone_
                      : nothingHandedOver && !(inputDone_ && shownCount_ == started_) &&
                            (active_.empty() || Clock::now() < active_.front().deadline);
      sleeping_ = wait;
    }
    if (wait) {
      sleep(stopping || active_.empty() ? nullptr : &active_.front().deadline, !stopping);
    }
    stopping = stopping || stopRequested();

    std::deque<PushRequest> incoming;
    bool inputDone = false;
    {
      base::MutexLock lock(mu_);
      incoming.swap(incoming_);
      inputDone = inputDone_;
    }
    // A caches directory removed since the last requests is made again for these images.
    if (!incoming.empty()) storage_.restoreRemoved();
    for (PushRequest& request : incoming) start(std::move(request));
    // Requests shown by their extension leave the queue as soon as they reach its front; at
    // the stop every one leaves, expired now if it was not shown.
    while (!active_.empty()) {
      Active& front = active_.front();
      bool done = false;
      {
        base::MutexLock lock(front.record->mu);
        done = front.record->shown;
      }
      if (!done && !stopping && Clock::now() < front.deadline) break;
      if (!done) expire(front);
      active_.pop_front();
    }
    if (inputDone) {
      base::MutexLock lock(mu_);
      if (incoming_.empty() && shownCount_ == started_) break;
    }
  }
  if (!stopping) waitForTransfers();
  output_.close();
  URLSession::sharedSession().invalidateAndCancel();
  active_.clear();
  log_.summary();
}

void HostScheduler::waitForTransfers() {
  // Every request has been shown; transfers that are still running get one more time limit.
  URLSession& session = URLSession::sharedSession();
  if (session.waitUntilIdle(Clock::now())) return;
  Clock::time_point deadline;
  {
    base::MutexLock lock(mu_);
    deadline = lastShown_ + timeLimit_;
    transfersIdle_ = false;
  }
  // The session's wait runs on a thread of its own so that this one can watch for the stop.
  std::thread waiter([this, &session, deadline] {
    (void)session.waitUntilIdle(deadline);
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
    sleep(nullptr, /*watchStop=*/true);
    if (stopRequested()) break;
  }
  // At the stop, cancelling the transfers is what ends the waiter's wait; the lines their
  // completions would write are dropped.
  output_.close();
  session.invalidateAndCancel();
  waiter.join();
}

}  // namespace usernotifications
