// BusPresenter: the DesktopPresenter over sd-bus. It posts each notification with an
// asynchronous Notify call and maps the ids the server returns to the host's posts, so that
// the server's NotificationClosed signal names the post it closes, and a post that replaces
// an earlier one names it by its id (replaces_id). A server may give an id again once the
// notification that had it is gone, and gives a replacing post the id of the one it
// replaces; the id then names the newer post only. A post that replaces one still awaiting
// its id waits for it.
//
// Servers answer one call at a time, and a bus lets a connection wait for only so many
// replies (128 by default): a burst waits here and goes out as answers come back, rather
// than meeting the bus's limit or each call's timeout behind the others.
//
// One thread owns the bus once the presenter has started: post() only queues and wakes it
// through an eventfd. The queue and the count of posts awaiting a reply are shared and
// guarded by mu_; everything else below belongs to the bus thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "DesktopNotifications/NotificationServer.hpp"
#include "DesktopNotifications/VideoThumbnailer.hpp"
#include "base/Mutex.hpp"
#include "base/WakeEvent.hpp"
#include "host/DesktopPresenter.hpp"

namespace desktop_notifications {

class BusPresenter final : public host::DesktopPresenter {
 public:
  // Connects to the notification server and starts the bus thread.
  static foundation::Result<std::unique_ptr<BusPresenter>> connect(
      std::string appName, host::DesktopPresenterObserver& observer);
  ~BusPresenter() override;

  void post(host::DesktopNotification notification) noexcept override EXCLUDES(mu_);
  void flush() noexcept override EXCLUDES(mu_);

 private:
  BusPresenter(std::string appName, host::DesktopPresenterObserver& observer,
               NotificationServerConnection connection);

  // Subscribes to NotificationClosed and starts the thread.
  foundation::Status start();
  void run() EXCLUDES(mu_);
  // Sends from unsent_ while fewer than kMaximumAwaiting calls await their reply.
  void sendWhatFits();
  // Whether the next unsent post may go now.
  bool mayGo() const;
  // Records that the server showed `post` as notification `id`.
  void showedAs(std::uint64_t post, std::uint32_t id);
  void send(const host::DesktopNotification& notification);
  // `notification` with its video's frame, written where it asks, as its image; unchanged
  // when the frame cannot be made.
  host::DesktopNotification withVideoFrame(const host::DesktopNotification& notification);
  void dispatch();
  // Sleeps until a post, the bus, one of its timeouts, or `until` (CLOCK_MONOTONIC
  // microseconds; UINT64_MAX for none) wakes the thread.
  void waitForWork(std::uint64_t until);
  static int onReply(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onClosed(sd_bus_message* signal, void* self, sd_bus_error* error);
  void replied(sd_bus_message* reply);
  void fail(const host::DesktopNotification& notification, const NSError& error);
  // One post has had its answer (`shown`: the server showed it), and its callback has run.
  void answered(bool shown) EXCLUDES(mu_);

  const std::string appName_;
  host::DesktopPresenterObserver& observer_;
  const ServerInformation server_;
  base::WakeEvent wake_;  // post() and the destructor wake the bus thread through it

  // The bus thread's own, after start():
  Bus bus_;
  VideoThumbnailer thumbnails_;
  Slot closedMatch_;
  bool connected_ = true;  // false once the bus has closed
  // Notify call cookie -> the notification it posts.
  std::map<std::uint64_t, host::DesktopNotification> awaiting_;
  std::deque<host::DesktopNotification> unsent_;  // taken from queue_, in order
  std::map<std::uint32_t, std::uint64_t> shown_;  // notification id -> the host's post
  std::map<std::uint64_t, std::uint32_t> idOf_;   // the same, the other way

  // Guarded by mu_:
  base::Mutex mu_;
  std::condition_variable changed_;  // unanswered_ fell
  std::deque<host::DesktopNotification> queue_ GUARDED_BY(mu_);
  std::size_t unanswered_ GUARDED_BY(mu_) = 0;    // posts queued or awaiting their reply
  std::uint64_t shownCount_ GUARDED_BY(mu_) = 0;  // posts the server showed
  bool stopping_ GUARDED_BY(mu_) = false;

  std::thread thread_;
};

}  // namespace desktop_notifications
