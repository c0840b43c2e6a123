#include "host/Options.hpp"

#include <cerrno>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "host/gateway/ListenAddress.hpp"

namespace host {

const char* const kUsage =
    "usage: HalvicourtNotificationService [--time-limit SECONDS] [--desktop] [--log LEVEL]\n"
    "           [--cache-limit SIZE] [--attachments-limit SIZE] [PAYLOAD.json ...]\n"
    "       HalvicourtNotificationService --listen [HOST:]PORT [--provider-key FILE\n"
    "           [--key-id ID] --team-id ID] [--provider-ca FILE] [--listen-certificate FILE\n"
    "           --listen-key FILE] [--device-token HEX] [the options above but files]\n"
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
    "A local endpoint of the push service, for a provider's own client:\n"
    "  --listen [HOST:]PORT   take pushes as the service does (HTTP/2 over TLS, one\n"
    "                         POST /3/device/TOKEN each) instead of reading input, until a\n"
    "                         stop. HOST is 127.0.0.1 unless given ([::1] for IPv6); port 0\n"
    "                         picks a free one. Once listening, one line on standard error\n"
    "                         says where, the device token, the topic, the authentication\n"
    "                         and the authority's certificate to trust.\n"
    "  --provider-key FILE    token authentication: the provider's P-256 key (AuthKey_ID.p8)\n"
    "                         or its public half\n"
    "  --key-id ID            the key's id (default: the ID in the file's name)\n"
    "  --team-id ID           the provider's team\n"
    "  --provider-ca FILE     certificate authentication: client certificates signed by the\n"
    "                         authority in FILE (PEM); their subject UID names the topic\n"
    "  --listen-certificate FILE, --listen-key FILE\n"
    "                         the server's chain and key (PEM); by default a local authority\n"
    "                         made once in $XDG_STATE_HOME/<bundle id>/Gateway signs one for\n"
    "                         127.0.0.1, ::1 and localhost\n"
    "  --device-token HEX     the device's token (default: one made once and kept there)\n"
    "Without --provider-key or --provider-ca pushes are taken without authentication, which\n"
    "only a loopback address allows.\n"
    "\n"
    "SIZE is a whole number of bytes, or of K, M or G (powers of 1024: 1K is 1024 bytes).\n"
    "SIGINT, SIGTERM or SIGHUP ends the run as the end of the input does, without waiting:\n"
    "no more input is read, and every request not yet shown is shown at once. Its lines then\n"
    "wait at most 10 s in all for the reader of standard output; a second signal stops the\n"
    "wait. A write to standard output that fails (its reader went away) ends the run the\n"
    "same way. With --listen the stop closes the socket, answers what was received, says\n"
    "GOAWAY to each connection, and shows every push answered 200.\n"
    "\n"
    "Exit status: 0 when every request was read and shown; 1 when an input could not be read\n"
    "or a stop left some of it unread (a payload file, the rest of a line), standard output\n"
    "failed or lines were not written, the desktop refused a notification, or --listen\n"
    "could not listen; 2 for bad usage; 69 when --desktop finds no session bus or no\n"
    "notification server; 78 when the bundle cannot be run.\n";

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

// The member of `listen` that the file option `name` sets; null for any other name.
std::string* listenFile(ListenOptions& listen, const std::string& name) {
  return name == "--listen-certificate" ? &listen.certificateFile
         : name == "--listen-key"       ? &listen.keyFile
         : name == "--provider-key"     ? &listen.providerKeyFile
         : name == "--provider-ca"      ? &listen.providerAuthorityFile
                                        : nullptr;
}

// The key id that the conventional name of a provider's key, AuthKey_<ID>.p8, gives.
std::string keyIdOfFileName(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  constexpr std::string_view kPrefix = "AuthKey_";
  constexpr std::string_view kSuffix = ".p8";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return "";
  }
  return name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
}

// What --listen asks of the rest of the command line; fills in the key id from the key's name.
foundation::Status checkListen(ListenOptions& listen, const std::vector<std::string>& files) {
  if (!files.empty()) {
    return usage("--listen takes no payload files ('" + files.front() +
                 "'): pushes arrive on the socket");
  }
  foundation::Result<gateway::ListenAddress> address = gateway::parseListenAddress(listen.address);
  if (!address.ok()) return usage(address.error().description);
  if (listen.certificateFile.empty() != listen.keyFile.empty()) {
    return usage(listen.keyFile.empty() ? "--listen-certificate needs --listen-key"
                                        : "--listen-key needs --listen-certificate");
  }
  if (listen.providerKeyFile.empty()) {
    if (!listen.keyId.empty()) return usage("--key-id needs --provider-key");
    if (!listen.teamId.empty()) return usage("--team-id needs --provider-key");
  } else {
    if (listen.teamId.empty()) return usage("--provider-key needs --team-id");
    if (listen.keyId.empty()) listen.keyId = keyIdOfFileName(listen.providerKeyFile);
    if (listen.keyId.empty()) {
      return usage("--provider-key needs --key-id: '" + listen.providerKeyFile +
                   "' is not named AuthKey_<ID>.p8");
    }
  }
  if (listen.providerKeyFile.empty() && listen.providerAuthorityFile.empty() &&
      !gateway::isLoopback(*address)) {
    return usage("--listen " + listen.address +
                 ": pushes without authentication are taken only on a loopback address (give "
                 "--provider-key or --provider-ca)");
  }
  return {};
}

}  // namespace

foundation::Result<Options> parseOptions(const std::vector<std::string>& args) {
  Options options;
  ListenOptions listen;
  bool listening = false;
  std::vector<std::string> listenOptionsGiven;  // those that mean nothing without --listen
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
                        : name == "--listen"            ? "[HOST:]PORT"
                        : name == "--key-id"            ? "an ID"
                        : name == "--team-id"           ? "an ID"
                        : name == "--device-token"      ? "hex digits"
                        : listenFile(listen, name)      ? "a file"
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
    } else if (name == "--cache-limit" || name == "--attachments-limit") {
      std::optional<std::uint64_t> size = parseSize(value);
      if (!size) return usage(bad + "a size (a whole number of bytes, or of K, M or G)");
      (name == "--cache-limit" ? options.cacheLimit : options.attachmentsLimit) = *size;
    } else if (name == "--listen") {
      listening = true;
      listen.address = value;
    } else {
      if (value.empty()) return usage(name + " needs " + needs);
      listenOptionsGiven.push_back(name);
      if (name == "--key-id") {
        listen.keyId = value;
      } else if (name == "--team-id") {
        listen.teamId = value;
      } else if (name == "--device-token") {
        if (value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
          return usage(bad + "hex digits");
        }
        for (char& c : value) c = static_cast<char>(c >= 'A' && c <= 'F' ? c + ('a' - 'A') : c);
        listen.deviceToken = value;
      } else {
        *listenFile(listen, name) = value;
      }
    }
  }
  if (!listening) {
    if (!listenOptionsGiven.empty()) return usage(listenOptionsGiven.front() + " needs --listen");
    return options;
  }
  if (foundation::Status checked = checkListen(listen, options.files); !checked.ok()) {
    return checked.error();
  }
  options.listen = std::move(listen);
  return options;
}

}  // namespace host
