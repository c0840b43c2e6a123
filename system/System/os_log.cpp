#include "System/os_log.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "System/os_activityInternal.hpp"
#include "objc/Mutex.hpp"

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
objc::Mutex gSinkMu;
int gSinkFd GUARDED_BY(gSinkMu) = 2;

std::string quoted(std::string_view text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "YYYY-MM-DDThh:mm:ss.mmmZ" by calendar arithmetic, which takes no lock, unlike gmtime_r.
void appendTime(std::string& out) {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> time(now - day);
  char text[32];
  const int n = std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  out.append(text, static_cast<std::size_t>(n));
}

// One write(2) unless the descriptor takes less; failures are dropped, since the log must
// never fail the work it describes.
void writeWhole(const std::string& line) noexcept {
  objc::MutexLock lock(gSinkMu);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(gSinkFd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

os_log_t os_log_create(const char* subsystem, const char* category) {
  struct Registry {
    objc::Mutex mu;
    std::map<std::pair<std::string, std::string>, os_log_s*> logs GUARDED_BY(mu);
  };
  // Never destroyed: logs outlive every static destructor that might still log.
  static auto* registry = new Registry;
  objc::MutexLock lock(registry->mu);
  os_log_s*& log = registry->logs[{subsystem, category}];
  if (log == nullptr) {
    log = new os_log_s{"\"subsystem\":" + quoted(subsystem) + ",\"category\":" + quoted(category)};
  }
  return log;
}

bool os_log_type_enabled(os_log_t, os_log_type_t type) {
  return rankOf(type) >= gLowestRank.load(std::memory_order_relaxed);
}

namespace system_log {

void event(os_log_t log, os_log_type_t type, std::string_view name,
           const nlohmann::ordered_json& fields) noexcept {
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
    line += quoted(name);
    if (fields.is_object()) {
      if (!fields.empty()) {
        const std::string object =
            fields.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        line += ',';
        line.append(object, 1, object.size() - 2);
      }
    } else if (!fields.is_null()) {
      line += ",\"fields\":";
      line += fields.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    line += "}\n";
    writeWhole(line);
  } catch (...) {
    // Out of memory: the event is lost, the work goes on.
  }
}

void configure(std::optional<os_log_type_t> lowest, int fd) {
  {
    objc::MutexLock lock(gSinkMu);
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
    writeWhole(whole);
  } catch (...) {
  }
}

}  // namespace system_log
