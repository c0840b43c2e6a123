#include "host/CollapseIds.hpp"

#include "UserNotifications/UNNotificationContent.hpp"

namespace host {

std::vector<std::string> attachmentFiles(const UNNotificationContent& content) {
  std::vector<std::string> files;
  for (const objc::Strong<UNNotificationAttachment>& attachment : content.attachments()) {
    files.push_back(attachment->url().path());
  }
  return files;
}

const ShownNotification* CollapseIds::find(const std::string& collapseId) const {
  auto found = byId_.find(collapseId);
  return found == byId_.end() ? nullptr : &found->second->second;
}

std::optional<ShownNotification> CollapseIds::put(const std::string& collapseId,
                                                  ShownNotification shown) {
  std::optional<ShownNotification> replaced;
  if (auto found = byId_.find(collapseId); found != byId_.end()) {
    replaced = std::move(found->second->second);
    entries_.erase(found->second);
    byId_.erase(found);
  }
  entries_.emplace_front(collapseId, std::move(shown));
  byId_.emplace(collapseId, entries_.begin());
  if (entries_.size() > kMaximumIds) {
    byId_.erase(entries_.back().first);
    entries_.pop_back();
  }
  return replaced;
}

}  // namespace host
