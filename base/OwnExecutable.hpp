// The running program's own file, as the kernel names it: for reading it (its section table)
// and for knowing where it is (the bundle around it). Thread-safe.
#pragma once

#include <unistd.h>

#include <string>

namespace base {

// Opens as the executable the process is running, whatever its path or whether it still has one.
inline constexpr const char* kOwnExecutable = "/proc/self/exe";

// The running executable's path; empty when the kernel cannot say.
inline std::string ownExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t length = readlink(kOwnExecutable, path.data(), path.size() - 1);
  path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return path;
}

}  // namespace base
