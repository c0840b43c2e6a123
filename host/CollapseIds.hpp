// CollapseIds: which request's notification is on screen under each collapse id
// (apns-collapse-id), so that the shown line of a later push under the same id replaces it, as
// the platform replaces a notification whose request has the same identifier. Bounded: past
// kMaximumIds, the id shown least recently is forgotten, and a later push under it is shown
// as a new notification.
//
// Not thread-safe: the scheduler holds one lock around a look-up, the line it writes with the
// answer, and the change it then records, so that the lines say "replaces" in the order they
// are written.
#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class UNNotificationContent;

namespace host {

// A notification on screen: its request, and the files of the attachments it shows.
struct ShownNotification {
  std::string id;
  std::vector<std::string> files;
};

// The paths of the files that `content`'s attachments name.
std::vector<std::string> attachmentFiles(const UNNotificationContent& content);

class CollapseIds {
 public:
  static constexpr std::size_t kMaximumIds = 4096;

  // The notification on screen under `collapseId`, or null; valid until the next put().
  const ShownNotification* find(const std::string& collapseId) const;
  // `shown` is on screen under `collapseId` from now on; gives the one it took the place of.
  std::optional<ShownNotification> put(const std::string& collapseId, ShownNotification shown);

 private:
  using Entries = std::list<std::pair<std::string, ShownNotification>>;  // most recent first
  Entries entries_;
  std::unordered_map<std::string, Entries::iterator> byId_;
};

}  // namespace host
