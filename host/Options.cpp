#include "host/Options.hpp"

#include <cerrno>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>

namespace host {

const char* const kUsage =
    "usage: HalvicourtNotificationService [--time-limit SECONDS] [--desktop] [--log LEVEL]\n"
    "           [--cache-limit SIZE] [--attachments-limit SIZE] [PAYLOAD.json ...]\n"
    "\n"
    "Runs the notification service extension on push requests and prints each delivery\n"
    "as one JSON line on standard output.\n"
    "\n"
    "  PAYLOAD.json           an APNs payload; its request identifier is the argument as\n"
    "                         given. Without files, standard input carries JSON Lines, one\n"
    "                         request a line: {\"id\": \"...\", \"payload\": {...}} (\"id\"\n"
    "                         defaults to the line number). A line or file over 4 MiB is an\n"
    "                         input error.\n"
    "  --time-limit S         seconds the extension has per request before the expiry\n"
    "                         message (decimal, default 30)\n"
    "  --desktop              also post each shown notification to the desktop's\n"
    "                         notification server\n"
    "  --log LEVEL            write log events to standard error: info or debug\n"
    "  --cache-limit SIZE     bytes the caches directory may hold (default 100M)\n"
    "  --attachments-limit SIZE\n"
    "                         bytes the attachment store may hold (default 256M)\n"
    "  --help                 this text\n"
    "  --version              the version\n"
    "\n"
    "SIZE is a whole number of bytes, or of K, M or G (powers of 1024: 1K is 1024 bytes).\n"
    "SIGINT, SIGTERM or SIGHUP ends the run as the end of the input does, without waiting:\n"
    "no more input is read, and every request not yet shown is shown at once. Its lines then\n"
    "wait at most 10 s in all for the reader of standard output; a second signal stops the\n"
    "wait. A write to standard output that fails (its reader went away) ends the run the\n"
    "same way.\n"
    "\n"
    "Exit status: 0 when every request was read and shown; 1 when an input could not be read\n"
    "or a stop left some of it unread (a payload file, the rest of a line), standard output\n"
    "failed or lines were not written, or the desktop refused a notification; 2 for bad\n"
    "usage; 69 when --desktop finds no session bus or no notification server; 78 when the\n"
    "bundle cannot be run.\n";

namespace {

NSError usage(std::string description) {
  return NSError{NSPOSIXErrorDomain, EINVAL, std::move(description)};
}

// Decimal only ("30", "2.5", ".5"): no sign, blank, exponent or hexadecimal, which strtod
// would take, and no locale's decimal comma.
std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty() || (text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return std::nullopt;
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (error != std::errc() || stop != end || value > kMaximumTimeLimit) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parseSize(std::string_view text) {
  const char suffix = text.empty() ? '\0' : text.back();
  const std::uint64_t unit = suffix == 'K'   ? 1u << 10
                             : suffix == 'M' ? 1u << 20
                             : suffix == 'G' ? 1u << 30
                                             : 1u;
  if (unit != 1) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value > kMax / unit) return std::nullopt;
  return value * unit;
}

std::optional<LogLevel> parseLogLevel(std::string_view text) {
  if (text == "info") return LogLevel::info;
  if (text == "debug") return LogLevel::debug;
  return std::nullopt;
}

}  // namespace

foundation::Result<Options> parseOptions(const std::vector<std::string>& args) {
  Options options;
  bool onlyFiles = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    if (arg == "--desktop") {
      options.desktop = true;
      continue;
    }
    // The options that take a value, as "--name VALUE" or "--name=VALUE".
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const char* needs = name == "--time-limit"          ? "a number of seconds"
                        : name == "--log"               ? "a level"
                        : name == "--cache-limit"       ? "a size"
                        : name == "--attachments-limit" ? "a size"
                                                        : nullptr;
    if (needs == nullptr) return usage("unknown option '" + arg + "'");
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return usage(name + " needs " + needs);
    }
    const std::string bad = name + ": '" + value + "' is not ";
    if (name == "--time-limit") {
      std::optional<double> seconds = parseSeconds(value);
      if (!seconds) return usage(bad + "a number of seconds from 0 to 86400");
      options.timeLimit = *seconds;
    } else if (name == "--log") {
      std::optional<LogLevel> level = parseLogLevel(value);
      if (!level) return usage(bad + "a level (info or debug)");
      options.log = *level;
    } else {
      std::optional<std::uint64_t> size = parseSize(value);
      if (!size) return usage(bad + "a size (a whole number of bytes, or of K, M or G)");
      (name == "--cache-limit" ? options.cacheLimit : options.attachmentsLimit) = *size;
    }
  }
  return options;
}

}  // namespace host
