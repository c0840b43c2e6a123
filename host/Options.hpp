// The host's command line: what it asks for, and the usage text that explains it. Plain
// values and pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Foundation/NSError.hpp"

namespace host {

enum class LogLevel { off, info, debug };

struct Options {
  double timeLimit = 30.0;  // seconds from the request message to the expiry message
  bool desktop = false;     // also post each shown notification to the desktop
  LogLevel log = LogLevel::off;
  std::uint64_t cacheLimit = 100u << 20;        // bytes the caches directory may hold
  std::uint64_t attachmentsLimit = 256u << 20;  // bytes the attachment store may hold
  std::vector<std::string> files = {};          // payload files; none: standard input
  bool help = false;
  bool version = false;

  bool operator==(const Options&) const = default;
};

// A time limit over a day is surely a typo.
inline constexpr double kMaximumTimeLimit = 86400.0;

// The options in `args` (the command line after the program name). Bad usage is an error in
// NSPOSIXErrorDomain (EINVAL) whose description names the option and what is wrong with it.
foundation::Result<Options> parseOptions(const std::vector<std::string>& args);

// The text of --help.
extern const char* const kUsage;

}  // namespace host
