#include "System/os_log.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "System/os_activityInternal.hpp"
#include "base/FileDescriptor.hpp"
#include "base/Mutex.hpp"

struct os_log_s {
  // "subsystem":"...","category":"...", escaped once for every event.
  std::string fields;
};

namespace {

// Types by verbosity, most verbose first; an event is written when its rank is at least the
// lowest rank configured.
int rankOf(os_log_type_t type) {
  switch (type) {
    case OS_LOG_TYPE_DEBUG:
      return 0;
    case OS_LOG_TYPE_INFO:
      return 1;
    case OS_LOG_TYPE_DEFAULT:
      return 2;
    case OS_LOG_TYPE_ERROR:
      return 3;
    case OS_LOG_TYPE_FAULT:
      return 4;
  }
  return 2;
}
constexpr int kOff = 5;
constexpr const char* kLevelNames[] = {"debug", "info", "default", "error", "fault"};
constexpr os_log_type_t kTypes[] = {OS_LOG_TYPE_DEBUG, OS_LOG_TYPE_INFO, OS_LOG_TYPE_DEFAULT,
                                    OS_LOG_TYPE_ERROR, OS_LOG_TYPE_FAULT};

std::atomic<int> gLowestRank{kOff};

// Guards the sink's descriptor, and serialises writes to it so that a line too long for one
// atomic pipe write still never interleaves with another.
base::Mutex gSinkMu;
int gSinkFd GUARDED_BY(gSinkMu) = 2;

// A JSON string. Most text (addresses, identifiers, names) needs no escape and is copied as
// it is; the rest goes through nlohmann's serializer, which also replaces bytes that are not
// UTF-8.
void appendQuoted(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') {
      out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  appendQuoted(out, text);
  return out;
}

template <class Number>
void appendNumber(std::string& out, Number number) {
  char digits[32];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, end.ptr);
}

void appendDigits(std::string& out, long value, int width) {
  char digits[8];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<std::size_t>(width));
}

// "YYYY-MM-DDThh:mm:ss.mmmZ" by calendar arithmetic, which takes no lock, unlike gmtime_r.
void appendTime(std::string& out) {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> time(now - day);
  appendDigits(out, static_cast<int>(date.year()), 4);
  out += '-';
  appendDigits(out, static_cast<unsigned>(date.month()), 2);
  out += '-';
  appendDigits(out, static_cast<unsigned>(date.day()), 2);
  out += 'T';
  appendDigits(out, time.hours().count(), 2);
  out += ':';
  appendDigits(out, time.minutes().count(), 2);
  out += ':';
  appendDigits(out, time.seconds().count(), 2);
  out += '.';
  appendDigits(out, time.subseconds().count(), 3);
  out += 'Z';
}

// Failures are dropped, since the log must never fail the work it describes.
void writeToSink(const std::string& line) noexcept {
  base::MutexLock lock(gSinkMu);
  (void)base::writeAll(gSinkFd, line);
}

}  // namespace

os_log_t os_log_create(const char* subsystem, const char* category) noexcept {
  struct Registry {
    base::Mutex mu;
    std::map<std::pair<std::string, std::string>, os_log_s*> logs GUARDED_BY(mu);
  };
  // Never destroyed: logs outlive every static destructor that might still log.
  static auto* registry = new Registry;
  base::MutexLock lock(registry->mu);
  os_log_s*& log = registry->logs[{subsystem, category}];
  if (log == nullptr) {
    log = new os_log_s{"\"subsystem\":" + quoted(subsystem) + ",\"category\":" + quoted(category)};
  }
  return log;
}

bool os_log_type_enabled(os_log_t, os_log_type_t type) noexcept {
  return rankOf(type) >= gLowestRank.load(std::memory_order_relaxed);
}

namespace system_log {

void Field::appendTo(std::string& out) const {
  appendQuoted(out, key_);
  out += ':';
  switch (kind_) {
    case kText:
      appendQuoted(out, text_);
      break;
    case kSigned:
      appendNumber(out, signed_);
      break;
    case kUnsigned:
      appendNumber(out, unsigned_);
      break;
    case kDouble:
      // JSON has no infinities and no NaN.
      if (std::isfinite(double_)) {
        appendNumber(out, double_);
      } else {
        out += "null";
      }
      break;
    case kBool:
      out += bool_ ? "true" : "false";
      break;
    case kNull:
      out += "null";
      break;
    case kJson:
      out += json_->dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
      break;
  }
}

void event(os_log_t log, os_log_type_t type, std::string_view name,
           std::initializer_list<Field> fields) noexcept {
  if (!os_log_type_enabled(log, type)) return;
  try {
    std::string line;
    line.reserve(256);
    line += "{\"time\":\"";
    appendTime(line);
    line += "\",\"level\":\"";
    line += kLevelNames[rankOf(type)];
    line += "\",";
    line += log->fields;
    line += ",\"id\":";
    const os_activity_s* activity = internal::currentRecord();
    line += activity != nullptr ? activity->idJson : "null";
    line += ",\"event\":";
    appendQuoted(line, name);
    for (const Field& field : fields) {
      line += ',';
      field.appendTo(line);
    }
    line += "}\n";
    writeToSink(line);
  } catch (...) {
    // Out of memory: the event is lost, the work goes on.
  }
}

void configure(std::optional<os_log_type_t> lowest, int fd) noexcept {
  {
    base::MutexLock lock(gSinkMu);
    gSinkFd = fd;
  }
  gLowestRank.store(lowest ? rankOf(*lowest) : kOff, std::memory_order_relaxed);
}

std::optional<os_log_type_t> typeNamed(std::string_view name) {
  for (int rank = 0; rank < kOff; ++rank) {
    if (name == kLevelNames[rank]) return kTypes[rank];
  }
  return std::nullopt;
}

void writeLine(std::string_view line) noexcept {
  try {
    std::string whole(line);
    whole += '\n';
    writeToSink(whole);
  } catch (...) {
  }
}

// The lock is taken and given back in different calls, which the analysis cannot follow.
SinkLock::SinkLock() noexcept NO_THREAD_SAFETY_ANALYSIS { gSinkMu.lock(); }
SinkLock::~SinkLock() noexcept NO_THREAD_SAFETY_ANALYSIS { gSinkMu.unlock(); }

}  // namespace system_log
