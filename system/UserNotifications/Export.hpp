// UN_EXPORT marks a declaration as part of libUserNotifications's interface. The library is built
// with hidden visibility, so only what carries the mark is exported to other images; everything
// else binds inside the library and costs the dynamic loader nothing.
#pragma once

#define UN_EXPORT __attribute__((visibility("default")))
