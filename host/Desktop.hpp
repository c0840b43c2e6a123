// Desktop: the host's side of --desktop. It loads the desktop plug-in
// (libDesktopNotifications), posts the content of each request's shown line to the desktop's
// notification server through it, in the place of the notification it replaces when it has
// one, releases a notification's attachment (and the frame of a video made beside it) from
// the attachment store once the server reports that very notification closed, and reports
// each notification the server or the bus refused.
//
// The host owns it for the run. Thread-safe: show() may be called from any thread, and the
// presenter calls back on a thread of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "Foundation/NSError.hpp"
#include "base/Mutex.hpp"
#include "host/DesktopPresenter.hpp"
#include "host/Diagnostics.hpp"

class NSBundle;
class UNNotificationContent;

namespace host {

// What post number `post` of request `id` showing `content` puts on the desktop: its texts; the
// urgency of its interruption level (passive low, active and time-sensitive normal, critical
// critical); its sound, and the sound's file when `app` (which may be null) has one of that
// name; and its first attachment that is an image or a video as the image: an image's own file,
// or a video's frame, made beside it in the attachment store (none without a store).
DesktopNotification desktopNotification(std::uint64_t post, const std::string& id,
                                        const UNNotificationContent& content, const NSBundle* app);

class Desktop final : private DesktopPresenterObserver {
 public:
  // Loads the plug-in and connects to the notification server, which shows `appName` as the
  // app. Fails with a one-line description when the plug-in cannot be loaded, or there is no
  // session bus or no server for it.
  // REQUIRES: `diagnostics` outlives the object.
  static foundation::Result<std::unique_ptr<Desktop>> connect(const std::string& appName,
                                                              Diagnostics& diagnostics);
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Posts the notification of request `id` showing `content`, in the place of the one request
  // `replaces` posted when it is not null, and returns at once.
  // REQUIRES: called once per shown line, with its content, before finish().
  void show(const std::string& id, const UNNotificationContent& content,
            const std::string* replaces = nullptr) EXCLUDES(mu_);

  // Waits until the server has answered every notification posted (bounded by the calls'
  // timeout), then disconnects.
  void finish() EXCLUDES(mu_);
  // Whether the server or the bus refused a notification.
  bool refusedAny() EXCLUDES(mu_);

 private:
  explicit Desktop(Diagnostics& diagnostics) : diagnostics_(diagnostics) {}

  void closed(std::uint64_t post) noexcept override EXCLUDES(mu_);
  void thumbnailWritten(std::uint64_t post, const std::string& path) noexcept override;
  void failed(std::uint64_t post, const std::string& requestIdentifier,
              const NSError& error) noexcept override EXCLUDES(mu_);

  Diagnostics& diagnostics_;

  struct Posted {
    std::string requestIdentifier;
    std::string file;       // the store file of the attachment shown; empty without one
    std::string thumbnail;  // the video's frame made beside it; empty without one
  };
  // Removes `file` (none when empty) from the attachment store, when there is one.
  static void removeFromStore(const std::string& file);
  // Forgets the post; what was recorded of it, absent when nothing was.
  std::optional<Posted> forget(std::uint64_t post) REQUIRES(mu_);

  base::Mutex mu_;  // guards what the posting threads and the presenter's thread share
  // Notifications posted and not yet closed, refused or replaced, by the number of their post,
  // and the post of each request among them.
  std::map<std::uint64_t, Posted> onScreen_ GUARDED_BY(mu_);
  std::unordered_map<std::string, std::uint64_t> postOfRequest_ GUARDED_BY(mu_);
  std::uint64_t posts_ GUARDED_BY(mu_) = 0;
  bool refusedAny_ GUARDED_BY(mu_) = false;

  // Set by connect() and cleared by finish(); declared last, so that its thread, which calls
  // back into the members above, is gone before they are.
  std::unique_ptr<DesktopPresenter> presenter_;
};

}  // namespace host
