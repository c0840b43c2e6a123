// FOUNDATION_EXPORT marks a declaration as part of libFoundation's interface. The library is built
// with hidden visibility, so only what carries the mark is exported to other images; everything
// else binds inside the library and costs the dynamic loader nothing.
#pragma once

#define FOUNDATION_EXPORT __attribute__((visibility("default")))
