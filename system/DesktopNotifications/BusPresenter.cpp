#include "DesktopNotifications/BusPresenter.hpp"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <exception>
#include <iterator>
#include <type_traits>
#include <utility>

#include "DesktopNotifications/Export.hpp"
#include "Foundation/URL.hpp"

namespace desktop_notifications {

using host::DesktopNotification;

namespace {

// Notifications the server has not reported closed are remembered up to this many, oldest
// (lowest id) forgotten first: a server that never reports closings must not grow the map
// without end. The attachment store's own limit still removes their files.
constexpr std::size_t kMaximumShown = 4096;

// Notify calls awaiting their reply at once.
constexpr std::size_t kMaximumAwaiting = 16;

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

foundation::Result<std::unique_ptr<BusPresenter>> BusPresenter::connect(
    std::string appName, host::DesktopPresenterObserver& observer) {
  foundation::Result<NotificationServerConnection> connection = connectNotificationServer();
  if (!connection.ok()) return connection.error();
  std::unique_ptr<BusPresenter> presenter(
      new BusPresenter(std::move(appName), observer, std::move(*connection)));
  if (foundation::Status started = presenter->start(); !started.ok()) return started.error();
  return presenter;
}

BusPresenter::BusPresenter(std::string appName, host::DesktopPresenterObserver& observer,
                           NotificationServerConnection connection)
    : appName_(std::move(appName)),
      observer_(observer),
      server_(std::move(connection.server)),
      bus_(std::move(connection.bus)) {}

foundation::Status BusPresenter::start() {
  sd_bus_slot* match = nullptr;
  // Subscribed before the first Notify, so that no closing can slip past.
  if (int r = sd_bus_match_signal(bus_.get(), &match, kNotificationsName, kNotificationsPath,
                                  kNotificationsInterface, "NotificationClosed", onClosed, this);
      r < 0) {
    return busError("AddMatch", r, nullptr);
  }
  closedMatch_.reset(match);
  if (!wake_.valid()) return foundation::posixError("eventfd", errno);
  thread_ = std::thread([this] { run(); });
  return {};
}

BusPresenter::~BusPresenter() {
  {
    base::MutexLock lock(mu_);
    stopping_ = true;
  }
  if (thread_.joinable()) {
    wake_.signal();
    thread_.join();
  }
  closedMatch_.reset();
  bus_.reset();
}

void BusPresenter::post(DesktopNotification notification) noexcept {
  {
    base::MutexLock lock(mu_);
    queue_.push_back(std::move(notification));
    ++unanswered_;
  }
  wake_.signal();
}

void BusPresenter::flush() noexcept {
  // Every call fails by itself after its timeout; the margin covers the thread's own delays.
  // A burst takes longer, so the wait runs from the last notification the server showed.
  const auto patience =
      std::chrono::microseconds(kCallTimeoutMicroseconds) + std::chrono::seconds(5);
  auto deadline = std::chrono::steady_clock::now() + patience;
  base::MutexLock lock(mu_);
  std::uint64_t shown = shownCount_;
  while (unanswered_ > 0) {
    if (!lock.waitUntil(changed_, deadline)) return;
    if (shownCount_ != shown) {
      shown = shownCount_;
      deadline = std::chrono::steady_clock::now() + patience;
    }
  }
}

void BusPresenter::run() {
  // Once stopping, the thread sends what is left and waits for the replies still due, but
  // never much longer than one call's timeout without an answer, whatever the server or the
  // bus do.
  std::uint64_t stopBy = UINT64_MAX;
  for (;;) {
    bool stopping = false;
    std::uint64_t shownBefore = 0;
    {
      base::MutexLock lock(mu_);
      std::move(queue_.begin(), queue_.end(), std::back_inserter(unsent_));
      queue_.clear();
      stopping = stopping_;
      shownBefore = shownCount_;
    }
    do {
      sendWhatFits();
      dispatch();
    } while (mayGo());
    if (stopping) {
      {
        base::MutexLock lock(mu_);
        if (queue_.empty() && unanswered_ == 0) return;
        if (stopBy == UINT64_MAX || shownCount_ != shownBefore) {
          stopBy = monotonicMicroseconds() + kCallTimeoutMicroseconds + 1'000'000;
        }
      }
      if (monotonicMicroseconds() >= stopBy) {
        for (const auto& [cookie, notification] : awaiting_) {
          fail(notification, busError("Notify", -ETIMEDOUT, nullptr));
        }
        for (const DesktopNotification& notification : unsent_) {
          fail(notification, busError("Notify", -ETIMEDOUT, nullptr));
        }
        return;
      }
    }
    waitForWork(stopBy);
  }
}

bool BusPresenter::mayGo() const {
  if (unsent_.empty()) return false;
  // Without a bus, each call fails at once.
  if (!connected_) return true;
  if (awaiting_.size() >= kMaximumAwaiting) return false;
  const std::uint64_t replaces = unsent_.front().replaces;
  return replaces == 0 ||
         std::none_of(awaiting_.begin(), awaiting_.end(),
                      [replaces](const auto& pending) { return pending.second.post == replaces; });
}

void BusPresenter::sendWhatFits() {
  while (mayGo()) {
    const DesktopNotification notification = std::move(unsent_.front());
    unsent_.pop_front();
    send(notification);
  }
}

void BusPresenter::send(const DesktopNotification& notification) {
  const NotifyArguments arguments =
      notifyArguments(notification.videoPath.empty() ? notification : withVideoFrame(notification),
                      appName_, server_);
  const auto replaced = idOf_.find(notification.replaces);
  const std::uint32_t replacesId = replaced != idOf_.end() ? replaced->second : 0;
  sd_bus_message* created = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &created, kNotificationsName,
                                         kNotificationsPath, kNotificationsInterface, "Notify");
  Message message(created);
  if (r >= 0) {
    r = sd_bus_message_append(message.get(), "susssas", arguments.appName.c_str(), replacesId, "",
                              arguments.summary.c_str(), arguments.body.c_str(), 0u);
  }
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "{sv}");
  if (r >= 0) {
    r = sd_bus_message_append(message.get(), "{sv}", "urgency", "y", int{arguments.urgency});
  }
  for (const auto& [key, value] : arguments.stringHints) {
    if (r >= 0) r = sd_bus_message_append(message.get(), "{sv}", key.c_str(), "s", value.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append(message.get(), "i", -1);
  // A floating slot: the bus keeps the pending call until its reply or timeout arrives.
  if (r >= 0) r = sd_bus_call_async(bus_.get(), nullptr, message.get(), onReply, this, 0);
  if (r < 0) {
    fail(notification, busError("Notify", r, nullptr));
    answered(false);
    return;
  }
  std::uint64_t cookie = 0;
  sd_bus_message_get_cookie(message.get(), &cookie);  // sent, so it has one
  awaiting_.emplace(cookie, notification);
}

DesktopNotification BusPresenter::withVideoFrame(const DesktopNotification& notification) {
  DesktopNotification framed = notification;
  if (foundation::Status written =
          thumbnails_.writePNG(notification.videoPath, notification.thumbnailPath);
      written.ok()) {
    framed.imageURL = URL::fileURLWithPath(notification.thumbnailPath).absoluteString();
    observer_.thumbnailWritten(notification.post, notification.thumbnailPath);
  }
  return framed;
}

void BusPresenter::dispatch() {
  while (connected_) {
    const int r = sd_bus_process(bus_.get(), nullptr);
    // Once the connection is lost, sd-bus answers every pending call with an error, then
    // reports the bus closed.
    if (r < 0) connected_ = false;
    if (r <= 0) return;
  }
}

void BusPresenter::waitForWork(std::uint64_t until) {
  pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {-1, 0, 0}};
  if (connected_) {
    fds[1].fd = sd_bus_get_fd(bus_.get());
    fds[1].events = static_cast<short>(sd_bus_get_events(bus_.get()));
    std::uint64_t busUntil = UINT64_MAX;
    if (sd_bus_get_timeout(bus_.get(), &busUntil) >= 0) until = std::min(until, busUntil);
  }
  int timeoutMilliseconds = -1;
  if (until != UINT64_MAX) {
    const std::uint64_t now = monotonicMicroseconds();
    const std::uint64_t wait = until > now ? (until - now + 999) / 1000 : 0;
    timeoutMilliseconds = static_cast<int>(std::min<std::uint64_t>(wait, INT_MAX));
  }
  if (poll(fds, 2, timeoutMilliseconds) > 0 && (fds[0].revents & POLLIN) != 0) wake_.clear();
}

int BusPresenter::onReply(sd_bus_message* reply, void* self, sd_bus_error*) {
  static_cast<BusPresenter*>(self)->replied(reply);
  return 0;
}

void BusPresenter::replied(sd_bus_message* reply) {
  std::uint64_t cookie = 0;
  sd_bus_message_get_reply_cookie(reply, &cookie);
  auto pending = awaiting_.find(cookie);
  if (pending == awaiting_.end()) return;
  const DesktopNotification notification = std::move(pending->second);
  awaiting_.erase(pending);
  std::uint32_t id = 0;
  bool shown = false;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    fail(notification, busError("Notify", -EIO, error));
  } else if (int r = sd_bus_message_read(reply, "u", &id); r < 0) {
    fail(notification, busError("Notify", r, nullptr));
  } else {
    showedAs(notification.post, id);
    shown = true;
  }
  answered(shown);
}

void BusPresenter::showedAs(std::uint64_t post, std::uint32_t id) {
  // An id the server gives again names the newer notification: the one it named before is
  // no longer the server's to close.
  if (auto before = shown_.find(id); before != shown_.end()) idOf_.erase(before->second);
  shown_[id] = post;
  idOf_[post] = id;
  if (shown_.size() > kMaximumShown) {
    idOf_.erase(shown_.begin()->second);
    shown_.erase(shown_.begin());
  }
}

int BusPresenter::onClosed(sd_bus_message* signal, void* self, sd_bus_error*) {
  auto* presenter = static_cast<BusPresenter*>(self);
  std::uint32_t id = 0;
  std::uint32_t reason = 0;
  if (sd_bus_message_read(signal, "uu", &id, &reason) < 0) return 0;
  auto shown = presenter->shown_.find(id);
  if (shown == presenter->shown_.end()) return 0;
  const std::uint64_t post = shown->second;
  presenter->shown_.erase(shown);
  presenter->idOf_.erase(post);
  presenter->observer_.closed(post);
  return 0;
}

void BusPresenter::fail(const DesktopNotification& notification, const NSError& error) {
  observer_.failed(notification.post, notification.requestIdentifier, error);
}

void BusPresenter::answered(bool shown) {
  {
    base::MutexLock lock(mu_);
    --unanswered_;
    if (shown) ++shownCount_;
  }
  changed_.notify_all();
}

}  // namespace desktop_notifications

// The library's entry point, found by the host with dlsym. No exception may leave it: the
// caller is another image.
extern "C" DN_EXPORT host::DesktopPresenter* DesktopNotificationsConnect(
    const char* appName, host::DesktopPresenterObserver* observer, NSError* error) noexcept {
  try {
    auto presenter = desktop_notifications::BusPresenter::connect(appName, *observer);
    if (!presenter.ok()) {
      *error = presenter.error();
      return nullptr;
    }
    return presenter->release();
  } catch (const std::exception& exception) {
    *error =
        NSError{NSPOSIXErrorDomain, ENOMEM, std::string("desktop presenter: ") + exception.what()};
    return nullptr;
  }
}

static_assert(
    std::is_same_v<decltype(&DesktopNotificationsConnect), host::DesktopPresenterConnectFunction>);
