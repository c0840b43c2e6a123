#include "Foundation/NSError.hpp"

#include <cstring>

namespace {

// strerror_r has two signatures (XSI returns int, GNU returns the text); accept either
// so the code builds whichever one the C library exposes.
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorText(const char* result, const char*) { return result; }

}  // namespace

namespace foundation {

std::string errorString(int err) noexcept {
  char buffer[256] = {};
  return errorText(strerror_r(err, buffer, sizeof buffer), buffer);
}

NSError posixError(const std::string& call, int err) noexcept {
  return NSError{NSPOSIXErrorDomain, err, call + ": " + errorString(err)};
}

}  // namespace foundation
