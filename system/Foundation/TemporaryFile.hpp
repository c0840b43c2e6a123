// The names of files written aside and renamed into place: Data's atomic writes and the
// attachment store's copies give them, and the directory limits know them as leftovers of a
// process killed in the middle of a write. One rule, here, so that neither side can change it
// alone. Stateless and thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "Foundation/Export.hpp"

namespace foundation {

// A fresh temporary name for `name`: ".<name>.<12 hex digits>.tmp", or ".tmp.<12 hex digits>"
// where that would be longer than a file name may be.
FOUNDATION_EXPORT std::string temporaryFileName(std::string_view name) noexcept;

// Whether `name` is one that temporaryFileName gives.
FOUNDATION_EXPORT bool isTemporaryFileName(std::string_view name) noexcept;

}  // namespace foundation
