// Image sections: where the runtime finds the constant records that images list in sections
// of their own ("objc_classlist" for classes, "nsextension_points" for extension points).
// The loaded images that may hold records are this runtime and the images that link it
// (dl_iterate_phdr and each image's dynamic section); a section is found by name in the
// image's section table, read from its file once per image and kept until an image is
// unloaded. Thread-safe.
#pragma once

#include <cstddef>

#include "objc/Export.hpp"

namespace objc {

// Calls `visit(start, size, context)` for the named section of every loaded image that has it,
// with `start` already relocated to the image's load address. `visit` may look sections up
// itself.
OBJC_EXPORT void forEachImageSection(const char* sectionName,
                                     void (*visit)(const void*, std::size_t, void*),
                                     void* context) noexcept;

}  // namespace objc
