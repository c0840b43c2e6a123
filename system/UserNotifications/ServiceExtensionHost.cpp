#include "UserNotifications/ServiceExtensionHost.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Foundation/Data.hpp"
#include "Foundation/FileManager.hpp"
#include "Foundation/NSBundle.hpp"
#include "Foundation/NSExtensionMain.hpp"
#include "Foundation/URLSession.hpp"
#include "System/Block.hpp"
#include "UserNotifications/PushPayload.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "objc/Mutex.hpp"
#include "objc/Strong.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::ordered_json;

constexpr const char* kProgram = "HalvicourtNotificationService";
constexpr double kDefaultTimeLimit = 30.0;
// A day: longer limits are surely a typo, and would overflow nothing but patience.
constexpr double kMaximumTimeLimit = 86400.0;

constexpr const char* kUsage =
    "usage: HalvicourtNotificationService [--time-limit SECONDS] [PAYLOAD.json ...]\n"
    "\n"
    "Runs the notification service extension on push requests and prints each delivery\n"
    "as one JSON line on standard output.\n"
    "\n"
    "  PAYLOAD.json        an APNs payload; its request identifier is the argument as given.\n"
    "                      Without files, standard input carries JSON Lines, one request a\n"
    "                      line: {\"id\": \"...\", \"payload\": {...}} (\"id\" defaults to the\n"
    "                      line number).\n"
    "  --time-limit S      seconds the extension has per request before the expiry message\n"
    "                      (decimal, default 30)\n"
    "  --help              this text\n"
    "  --version           the version\n"
    "\n"
    "Exit status: 0 when every request was read and shown, 1 when an input could not be\n"
    "read or the output failed, 2 for bad usage.\n";

struct Options {
  double timeLimit = kDefaultTimeLimit;
  std::vector<std::string> files;
  bool help = false;
  bool version = false;
};

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 ||
      value > kMaximumTimeLimit) {
    return std::nullopt;
  }
  return value;
}

std::optional<Options> parseOptions(int argc, char** argv, std::string* error) {
  Options options;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--time-limit" || arg.rfind("--time-limit=", 0) == 0) {
      std::string value;
      if (arg == "--time-limit") {
        if (i + 1 >= argc) {
          *error = "--time-limit needs a number of seconds";
          return std::nullopt;
        }
        value = argv[++i];
      } else {
        value = arg.substr(std::strlen("--time-limit="));
      }
      std::optional<double> seconds = parseSeconds(value);
      if (!seconds) {
        *error = "--time-limit: '" + value + "' is not a number of seconds from 0 to 86400";
        return std::nullopt;
      }
      options.timeLimit = *seconds;
    } else {
      *error = "unknown option '" + arg + "'";
      return std::nullopt;
    }
  }
  return options;
}

void printError(const std::string& message) {
  std::string line = std::string(kProgram) + ": " + message + "\n";
  // One write, so that messages from two threads never interleave within a line.
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

// Standard output, one whole line per write. Once a write fails (the reader went away) the
// failure is remembered and later lines are dropped; after close() every line is dropped.
class Output {
 public:
  void writeLine(std::string line) EXCLUDES(mu_) {
    line.push_back('\n');
    objc::MutexLock lock(mu_);
    if (closed_ || failed_) return;
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(STDOUT_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        error_ = errno;
        return;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  void close() EXCLUDES(mu_) {
    objc::MutexLock lock(mu_);
    closed_ = true;
  }
  // The errno of the failed write, or 0.
  int failure() EXCLUDES(mu_) {
    objc::MutexLock lock(mu_);
    return failed_ ? (error_ != 0 ? error_ : EIO) : 0;
  }

 private:
  objc::Mutex mu_;
  bool closed_ GUARDED_BY(mu_) = false;
  bool failed_ GUARDED_BY(mu_) = false;
  int error_ GUARDED_BY(mu_) = 0;
};

// What the host knows of one request; shared by the host thread and whichever thread calls
// the request's content handler.
struct RequestRecord {
  RequestRecord(std::string identifier, Strong<UNNotificationContent> content)
      : id(std::move(identifier)), original(std::move(content)) {}

  const std::string id;
  const Strong<UNNotificationContent> original;

  objc::Mutex mu;  // guards the delivery record below, and orders this request's lines
  int calls GUARDED_BY(mu) = 0;
  bool expired GUARDED_BY(mu) = false;
  bool shown GUARDED_BY(mu) = false;
};

std::string dumpLine(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

class Host {
 public:
  Host(Class principal, Options options)
      : principal_(principal),
        options_(std::move(options)),
        timeLimit_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.timeLimit))) {}

  int run();

 private:
  // One request whose extension instance is running, oldest first.
  struct Active {
    Clock::time_point deadline;
    std::shared_ptr<RequestRecord> record;
    Strong<NSObject> instance;
  };

  void readInput();
  void readFiles();
  void readLines();
  void submit(std::optional<UNPushRequest> request) EXCLUDES(mu_);
  void inputError(const std::string& message) EXCLUDES(mu_);

  void start(UNPushRequest request);
  void expire(Active& active);
  void deliver(RequestRecord& record, UNNotificationContent* content) EXCLUDES(mu_);
  void showOriginal(RequestRecord& record, const char* reason) EXCLUDES(mu_);
  void noteShown() EXCLUDES(mu_);

  const Class principal_;
  const Options options_;
  const Clock::duration timeLimit_;
  Output output_;
  std::deque<Active> active_;  // host thread only

  objc::Mutex mu_;  // guards the hand-over from the input thread and the shown count
  std::condition_variable wake_;
  std::deque<UNPushRequest> incoming_ GUARDED_BY(mu_);
  bool inputDone_ GUARDED_BY(mu_) = false;
  bool inputFailed_ GUARDED_BY(mu_) = false;
  std::size_t started_ GUARDED_BY(mu_) = 0;  // written by the host thread only
  std::size_t shownCount_ GUARDED_BY(mu_) = 0;
  Clock::time_point lastShown_ GUARDED_BY(mu_);
};

void Host::submit(std::optional<UNPushRequest> request) {
  objc::MutexLock lock(mu_);
  if (request) incoming_.push_back(std::move(*request));
  wake_.notify_one();
}

void Host::inputError(const std::string& message) {
  printError(message);
  objc::MutexLock lock(mu_);
  inputFailed_ = true;
}

void Host::readFiles() {
  for (const std::string& file : options_.files) {
    foundation::Result<Data> text = Data::contentsOfFile(file);
    if (!text.ok()) {
      inputError(file + ": cannot read: " + text.error().description);
      continue;
    }
    std::string why;
    std::optional<nlohmann::json> payload = UNParseJSON(text->view(), &why);
    if (!payload) {
      inputError(file + ": " + why);
      continue;
    }
    std::optional<UNPushRequest> request =
        UNPushRequestFromPayload(file, std::move(*payload), &why);
    if (!request) {
      inputError(file + ": " + why);
      continue;
    }
    submit(std::move(request));
  }
}

void Host::readLines() {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  std::size_t lineNumber = 0;
  for (;;) {
    ssize_t n = getline(&buffer, &capacity, stdin);
    if (n < 0) break;
    ++lineNumber;
    std::string_view line(buffer, static_cast<std::size_t>(n));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    std::string error;
    std::optional<UNInputLine> parsed = UNParseInputLine(line, lineNumber, &error);
    std::optional<UNPushRequest> request;
    if (parsed)
      request = UNPushRequestFromPayload(parsed->identifier, std::move(parsed->payload), &error);
    if (!request) {
      inputError("line " + std::to_string(lineNumber) + ": " + error);
      continue;
    }
    submit(std::move(request));
  }
  if (std::ferror(stdin)) inputError("standard input: " + foundation::errorString(errno));
  std::free(buffer);
}

void Host::readInput() {
  if (options_.files.empty()) {
    readLines();
  } else {
    readFiles();
  }
  objc::MutexLock lock(mu_);
  inputDone_ = true;
  wake_.notify_one();
}

void Host::noteShown() {
  objc::MutexLock lock(mu_);
  ++shownCount_;
  lastShown_ = Clock::now();
  // Only the last request shown gives the host something to do; waking it for every one
  // cost a context switch per request. Shown requests leave its queue when it next wakes.
  if (inputDone_ && shownCount_ == started_) wake_.notify_one();
}

void Host::showOriginal(RequestRecord& record, const char* reason) {
  {
    objc::MutexLock lock(record.mu);
    if (record.shown) return;
    record.shown = true;
    output_.writeLine(
        dumpLine(ordered_json{{"id", record.id},
                              {"source", "original"},
                              {"reason", reason},
                              {"shown", true},
                              {"content", UNNotificationContentJSON(*record.original)}}));
  }
  noteShown();
}

void Host::deliver(RequestRecord& record, UNNotificationContent* content) {
  bool first = false;
  {
    objc::MutexLock lock(record.mu);
    first = !record.shown;
    record.shown = true;
    ++record.calls;
    output_.writeLine(dumpLine(ordered_json{
        {"id", record.id},
        {"source", "extension"},
        {"call", record.calls},
        {"expired", record.expired},
        {"shown", first},
        {"content", content != nullptr ? UNNotificationContentJSON(*content) : ordered_json()}}));
  }
  if (first) noteShown();
}

void Host::start(UNPushRequest request) {
  {
    objc::MutexLock lock(mu_);
    ++started_;
  }
  auto record =
      std::make_shared<RequestRecord>(request.request->identifier(), request.request->content());
  if (!request.mutableContent) {
    showOriginal(*record, "not-mutable");
    return;
  }
  Strong<NSObject> instance = Strong<NSObject>::adopt(class_createInstance(principal_));
  if (!instance || objc_msgSend<id>(instance.get(), "init") != instance.get()) {
    printError(record->id + ": the principal class could not be initialised");
    showOriginal(*record, "no-delivery");
    return;
  }
  auto block = blocks::makeBlock<void(UNNotificationContent*)>(
      [this, record](UNNotificationContent* content) { deliver(*record, content); });
  objc_msgSend<void>(instance.get(),
                     "didReceiveNotificationRequest:withContentHandler:", request.request.get(),
                     block.get());
  active_.push_back(Active{Clock::now() + timeLimit_, std::move(record), std::move(instance)});
}

void Host::expire(Active& active) {
  RequestRecord& record = *active.record;
  {
    objc::MutexLock lock(record.mu);
    // Once the extension has delivered, the platform is done with it: no expiry is sent.
    if (record.shown) return;
    record.expired = true;
  }
  objc_msgSend<void>(active.instance.get(), "serviceExtensionTimeWillExpire");
  showOriginal(record, "no-delivery");
}

int Host::run() {
  // Payload files are at hand and are read here before the first request starts; only
  // standard input, which may trickle in, gets a thread of its own. A thread for the files
  // put its start and its join on every cold start's path.
  std::thread reader;
  if (options_.files.empty()) {
    reader = std::thread(&Host::readInput, this);
  } else {
    readInput();
  }
  for (;;) {
    std::deque<UNPushRequest> incoming;
    bool inputDone = false;
    std::size_t shown = 0;
    {
      objc::MutexLock lock(mu_);
      if (incoming_.empty() && !(inputDone_ && shownCount_ == started_) &&
          (active_.empty() || Clock::now() < active_.front().deadline)) {
        if (active_.empty()) {
          lock.wait(wake_);
        } else {
          lock.waitUntil(wake_, active_.front().deadline);
        }
      }
      incoming.swap(incoming_);
      inputDone = inputDone_;
      shown = shownCount_;
    }
    for (UNPushRequest& request : incoming) start(std::move(request));
    // Requests shown by their extension leave the queue as soon as they reach its front.
    while (!active_.empty()) {
      Active& front = active_.front();
      bool done = false;
      {
        objc::MutexLock lock(front.record->mu);
        done = front.record->shown;
      }
      if (!done && Clock::now() < front.deadline) break;
      if (!done) expire(front);
      active_.pop_front();
    }
    if (incoming.empty() && inputDone) {
      objc::MutexLock lock(mu_);
      shown = shownCount_;
      if (incoming_.empty() && shown == started_) break;
    }
  }
  if (reader.joinable()) reader.join();

  // Every request has been shown; transfers that are still running get one more time limit.
  Clock::time_point lastShown;
  bool inputFailed = false;
  {
    objc::MutexLock lock(mu_);
    lastShown = lastShown_;
    inputFailed = inputFailed_;
  }
  URLSession& session = URLSession::sharedSession();
  session.waitUntilIdle(lastShown + timeLimit_);
  output_.close();
  session.invalidateAndCancel();
  active_.clear();

  if (int err = output_.failure()) {
    printError("standard output: " + foundation::errorString(err));
    return 1;
  }
  return inputFailed ? 1 : 0;
}

// A standard descriptor the process was started without is taken by /dev/null, opened the
// other way round so that using it still fails. Left free, it would go to the next file or
// socket opened, and the notification lines would be written into that.
void holdClosedStandardDescriptors() {
  const struct {
    int fd;
    int flags;
  } standard[] = {{STDIN_FILENO, O_WRONLY}, {STDOUT_FILENO, O_RDONLY}, {STDERR_FILENO, O_RDONLY}};
  for (const auto& [fd, flags] : standard) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", flags);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

int hostMain(Class principalClass, int argc, char** argv) {
  holdClosedStandardDescriptors();
  std::string error;
  std::optional<Options> options = parseOptions(argc, argv, &error);
  if (!options) {
    printError(error + " (see --help)");
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::printf("%s %s\n", kProgram,
                NSBundle::mainBundle()
                    .stringForKeyPath("CFBundleShortVersionString")
                    .value_or("?")
                    .c_str());
    return 0;
  }
  // A reader that goes away must not kill the process: the write fails and is reported.
  signal(SIGPIPE, SIG_IGN);
  // Nor must a file-size limit: the cache write fails with EFBIG and the request is still
  // delivered, without the image.
  signal(SIGXFSZ, SIG_IGN);
  // The platform makes the extension's container before starting it; so does the host.
  for (const std::string& dir :
       NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true)) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) printError("cannot create the caches directory " + dir + ": " + ec.message());
  }
  Host host(principalClass, std::move(*options));
  return host.run();
}

constinit const NSExtensionPointRecord kServiceExtensionPoint = {
    .identifier = kUNNotificationServiceExtensionPoint,
    .requiredSuperclass = "UNNotificationServiceExtension",
    .run = &hostMain,
};
NSEXTENSION_POINT_ENTRY(kServiceExtensionPoint);

}  // namespace

int UNServiceExtensionHostMain(Class principalClass, int argc, char** argv) {
  return hostMain(principalClass, argc, argv);
}
