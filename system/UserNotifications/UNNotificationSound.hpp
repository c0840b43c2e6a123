// UNNotificationSound: the sound played when a notification is delivered: the system's
// default or a sound file of the app's, by name, and either one as a critical alert's sound,
// which plays at a volume of its own. Made only by the factories; immutable afterwards, so
// thread-safe.
#pragma once

#include <string>

#include "UserNotifications/Export.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

extern const objc_class objc_class_UNNotificationSound;

class UNNotificationSound : public NSObject {
 public:
  static Class classRecord() noexcept;

  UN_EXPORT static objc::Strong<UNNotificationSound> defaultSound() noexcept;
  // The sound file `name` of the app. An empty name is the default sound.
  UN_EXPORT static objc::Strong<UNNotificationSound> soundNamed(std::string name) noexcept;
  // A critical alert's sounds, at full volume unless given. A volume is from 0 (silent) to 1
  // (full); one outside that range plays at the nearer end, and one that is not a number at
  // full volume.
  UN_EXPORT static objc::Strong<UNNotificationSound> defaultCriticalSound() noexcept;
  UN_EXPORT static objc::Strong<UNNotificationSound> defaultCriticalSoundWithAudioVolume(
      float volume) noexcept;
  UN_EXPORT static objc::Strong<UNNotificationSound> criticalSoundNamed(std::string name) noexcept;
  UN_EXPORT static objc::Strong<UNNotificationSound> criticalSoundNamed(std::string name,
                                                                        float volume) noexcept;

  // The sound file's name; empty for the system's default sound.
  const std::string& name() const noexcept { return name_; }
  bool isDefault() const noexcept { return name_.empty(); }
  bool isCritical() const noexcept { return critical_; }
  // The volume a critical sound plays at; 1 for any other.
  float audioVolume() const noexcept { return volume_; }

 private:
  UNNotificationSound(std::string name, bool critical, float volume) noexcept;

  const std::string name_;
  const bool critical_;
  const float volume_;
};
