// DN_EXPORT marks a declaration as part of libDesktopNotifications's interface: its one C
// entry point, found with dlsym. The library is built with hidden visibility, so nothing else
// in it is seen from outside, and the libsystemd it links stays its own business.
#pragma once

#define DN_EXPORT __attribute__((visibility("default")))
