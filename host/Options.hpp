// The host's command line: what it asks for, and the usage text that explains it. Plain
// values and pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/NSError.hpp"

namespace host {

enum class LogLevel { off, info, debug };

// --listen and what goes with it: the host as a local endpoint of the push service
// (Endpoint.hpp). Empty text is an option not given.
struct ListenOptions {
  std::string address = {};          // [HOST:]PORT, checked
  std::string certificateFile = {};  // --listen-certificate and --listen-key, both or neither
  std::string keyFile = {};
  // Token authentication: --provider-key, with --key-id (or the ID that AuthKey_<ID>.p8
  // names) and --team-id.
  std::string providerKeyFile = {};
  std::string keyId = {};
  std::string teamId = {};
  std::string providerAuthorityFile = {};  // certificate authentication: --provider-ca
  std::string deviceToken = {};            // --device-token, lowercase hex

  bool operator==(const ListenOptions&) const = default;
};

struct Options {
  double timeLimit = 30.0;  // seconds from the request message to the expiry message
  bool desktop = false;     // also post each shown notification to the desktop
  LogLevel log = LogLevel::off;
  std::uint64_t cacheLimit = 100u << 20;        // bytes the caches directory may hold
  std::uint64_t attachmentsLimit = 256u << 20;  // bytes the attachment store may hold
  std::vector<std::string> files = {};          // payload files; none: standard input
  std::optional<ListenOptions> listen = {};     // pushes from the socket instead of input
  bool help = false;
  bool version = false;

  bool operator==(const Options&) const = default;
};

// A time limit over a day is surely a typo.
inline constexpr double kMaximumTimeLimit = 86400.0;

// The options in `args` (the command line after the program name). Bad usage is an error in
// NSPOSIXErrorDomain (EINVAL) whose description names the option and what is wrong with it:
// also options that need one another given apart, --listen with payload files, and --listen
// on an address other machines reach without authentication.
foundation::Result<Options> parseOptions(const std::vector<std::string>& args);

// The text of --help.
extern const char* const kUsage;

}  // namespace host
