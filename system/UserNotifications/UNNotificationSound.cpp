#include "UserNotifications/UNNotificationSound.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

constinit const objc_class objc_class_UNNotificationSound =
    objc::makeClass(&objc_class_NSObject, "UNNotificationSound", sizeof(UNNotificationSound));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationSound);

namespace {

float audibleVolume(float volume) {
  return std::isnan(volume) ? 1.0f : std::clamp(volume, 0.0f, 1.0f);
}

}  // namespace

Class UNNotificationSound::classRecord() noexcept { return &objc_class_UNNotificationSound; }

UNNotificationSound::UNNotificationSound(std::string name, bool critical, float volume) noexcept
    : NSObject(&objc_class_UNNotificationSound),
      name_(std::move(name)),
      critical_(critical),
      volume_(critical ? audibleVolume(volume) : 1.0f) {}

objc::Strong<UNNotificationSound> UNNotificationSound::defaultSound() noexcept {
  return objc::Strong<UNNotificationSound>::adopt(new UNNotificationSound("", false, 1.0f));
}

objc::Strong<UNNotificationSound> UNNotificationSound::soundNamed(std::string name) noexcept {
  return objc::Strong<UNNotificationSound>::adopt(
      new UNNotificationSound(std::move(name), false, 1.0f));
}

objc::Strong<UNNotificationSound> UNNotificationSound::defaultCriticalSound() noexcept {
  return defaultCriticalSoundWithAudioVolume(1.0f);
}

objc::Strong<UNNotificationSound> UNNotificationSound::defaultCriticalSoundWithAudioVolume(
    float volume) noexcept {
  return objc::Strong<UNNotificationSound>::adopt(new UNNotificationSound("", true, volume));
}

objc::Strong<UNNotificationSound> UNNotificationSound::criticalSoundNamed(
    std::string name) noexcept {
  return criticalSoundNamed(std::move(name), 1.0f);
}

objc::Strong<UNNotificationSound> UNNotificationSound::criticalSoundNamed(std::string name,
                                                                          float volume) noexcept {
  return objc::Strong<UNNotificationSound>::adopt(
      new UNNotificationSound(std::move(name), true, volume));
}
