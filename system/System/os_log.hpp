// os_log: the system's unified log. A log (os_log_t) names a subsystem and a category; an
// event on it has a type (its level), a name and fields, and belongs to the activity current
// on the calling thread (os_activity.hpp), whose description it carries as "id".
//
// Events go nowhere until system_log::configure names the lowest type to keep and a file
// descriptor (standard error by default). Then each kept event is one JSON object on one line,
// written by one write(2):
//   {"time":"2026-12-06T15:44:03.123Z","level":"info","subsystem":"...","category":"...",
//    "id":"<request>" or null,"event":"<name>", then the event's fields}
// Checking whether a type is kept is one relaxed atomic load, so callers build fields only
// when it says yes (SYSTEM_LOG_EVENT does that).
//
// Logs are made once per subsystem and category and live as long as the process: an os_log_t
// is never released. The sink's file descriptor stays the caller's. Everything here is
// thread-safe; no lock is held while an event is formatted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "System/Export.hpp"

struct os_log_s;
using os_log_t = os_log_s*;

// Types from the most to the least verbose: debug, info, default, error, fault.
enum os_log_type_t : std::uint8_t {
  OS_LOG_TYPE_DEFAULT = 0x00,
  OS_LOG_TYPE_INFO = 0x01,
  OS_LOG_TYPE_DEBUG = 0x02,
  OS_LOG_TYPE_ERROR = 0x10,
  OS_LOG_TYPE_FAULT = 0x11,
};

// The log of `subsystem` (reverse DNS, e.g. "com.halvicourt.Foundation") and `category`
// ("URLSession"); the same pair gives the same log.
// REQUIRES: both are non-null UTF-8 text.
SYSTEM_EXPORT os_log_t os_log_create(const char* subsystem, const char* category) noexcept;

// Whether events of `type` are written now.
SYSTEM_EXPORT bool os_log_type_enabled(os_log_t log, os_log_type_t type) noexcept;

// Emits an event, building its fields only when its type is written:
//   SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "transfer.finish", {{"url", url}, {"status", 200}});
#define SYSTEM_LOG_EVENT(log, type, name, ...)                              \
  do {                                                                      \
    if (os_log_type_enabled((log), (type))) {                               \
      ::system_log::event((log), (type), (name)__VA_OPT__(, ) __VA_ARGS__); \
    }                                                                       \
  } while (false)

namespace system_log {

// One field of an event: a key and a text, number, boolean, null or JSON value. It refers
// to its key and value without copying them, so it lives only as long as the call it is
// written for.
class Field {
 public:
  Field(std::string_view key, std::string_view text) : key_(key), kind_(kText), text_(text) {}
  Field(std::string_view key, const char* text) : Field(key, std::string_view(text)) {}
  Field(std::string_view key, const std::string& text) : Field(key, std::string_view(text)) {}
  Field(std::string_view key, int number) : Field(key, static_cast<long long>(number)) {}
  Field(std::string_view key, long number) : Field(key, static_cast<long long>(number)) {}
  Field(std::string_view key, long long number) : key_(key), kind_(kSigned), signed_(number) {}
  Field(std::string_view key, unsigned number)
      : Field(key, static_cast<unsigned long long>(number)) {}
  Field(std::string_view key, unsigned long number)
      : Field(key, static_cast<unsigned long long>(number)) {}
  Field(std::string_view key, unsigned long long number)
      : key_(key), kind_(kUnsigned), unsigned_(number) {}
  Field(std::string_view key, double number) : key_(key), kind_(kDouble), double_(number) {}
  Field(std::string_view key, bool value) : key_(key), kind_(kBool), bool_(value) {}
  Field(std::string_view key, std::nullptr_t) : key_(key), kind_(kNull) {}
  Field(std::string_view key, const nlohmann::ordered_json& value)
      : key_(key), kind_(kJson), json_(&value) {}

  // Appends `"key":value` to `out`.
  void appendTo(std::string& out) const;

 private:
  enum Kind : std::uint8_t { kText, kSigned, kUnsigned, kDouble, kBool, kNull, kJson };
  std::string_view key_;
  Kind kind_;
  union {
    std::string_view text_;
    long long signed_;
    unsigned long long unsigned_;
    double double_;
    bool bool_;
    const nlohmann::ordered_json* json_;
  };
};

// Writes one event named `name` with `fields`, in their order, when `type` is written;
// otherwise nothing. Text that is not UTF-8 is written with replacement characters.
// Never throws.
// REQUIRES: no field's key is one of the line's own (time, level, subsystem, category, id,
// event).
SYSTEM_EXPORT void event(os_log_t log, os_log_type_t type, std::string_view name,
                         std::initializer_list<Field> fields = {}) noexcept;

// From now on, writes events of `lowest` and every less verbose type (none when absent, the
// default) to `fd`, which writeLine uses too (standard error by default). Meant for
// start-up: events being written meanwhile may go either way.
// REQUIRES: `fd` stays open until the next configure().
SYSTEM_EXPORT void configure(std::optional<os_log_type_t> lowest, int fd = 2) noexcept;

// The type of a level's name, as written in "level": "debug", "info", "default", "error",
// "fault"; absent for any other text.
std::optional<os_log_type_t> typeNamed(std::string_view name);

// Writes `line` and a newline, by one write(2), to the sink's descriptor (standard error
// unless configured otherwise) whether or not events are written: for the plain-text lines
// that share standard error with the events and must not interleave with them.
SYSTEM_EXPORT void writeLine(std::string_view line) noexcept;

// Holds, while it lives, the lock that keeps the sink's lines whole: for the writer of another
// stream that shares a pipe with the sink (2>&1). A line longer than the pipe holds goes in
// pieces as the reader drains it, and an event written meanwhile would land between them.
class SYSTEM_EXPORT SinkLock {
 public:
  SinkLock() noexcept;
  ~SinkLock() noexcept;
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;
};

}  // namespace system_log
