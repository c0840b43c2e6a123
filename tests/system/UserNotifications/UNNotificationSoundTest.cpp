// A critical alert's sound plays at a volume from 0 to 1, whatever it was asked for; any other
// sound at full volume.
#include "UserNotifications/UNNotificationSound.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

TEST(UNNotificationSound, ACriticalSoundsVolumeIsWithinZeroAndOne) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  const struct {
    const char* made;
    objc::Strong<UNNotificationSound> sound;
    bool critical;
    float volume;
  } rows[] = {
      {"criticalSoundNamed 0.3", UNNotificationSound::criticalSoundNamed("a.caf", 0.3f), true,
       0.3f},
      {"criticalSoundNamed 1.5", UNNotificationSound::criticalSoundNamed("a.caf", 1.5f), true, 1},
      {"criticalSoundNamed -0.5", UNNotificationSound::criticalSoundNamed("a.caf", -0.5f), true, 0},
      {"defaultCriticalSoundWithAudioVolume inf",
       UNNotificationSound::defaultCriticalSoundWithAudioVolume(infinity), true, 1},
      {"defaultCriticalSoundWithAudioVolume nan",
       UNNotificationSound::defaultCriticalSoundWithAudioVolume(nan), true, 1},
      {"soundNamed", UNNotificationSound::soundNamed("a.caf"), false, 1},
      {"defaultSound", UNNotificationSound::defaultSound(), false, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.made);
    EXPECT_EQ(row.sound->isCritical(), row.critical);
    EXPECT_EQ(row.sound->audioVolume(), row.volume);
  }
}

}  // namespace
