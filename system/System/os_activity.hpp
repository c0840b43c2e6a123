// os_activity: activities, which tie together the events of one piece of work (a request)
// across threads and queues. An activity is current on a thread between
// os_activity_scope_enter and os_activity_scope_leave; the current one is per thread. Work
// handed to another thread keeps its activity when the hand-off captures
// system_log::currentActivity() and enters a scope with it on the other side:
//
//   os_activity_t captured = system_log::currentActivity();   // where the task is made
//   ...
//   system_log::ActivityScope scope(captured);                 // around its completion
//
// Events (os_log.hpp) carry the description of the current activity as "id". An activity
// made under a parent belongs to the parent's piece of work: its events carry the
// outermost activity's description, and what it counts, its ancestors count too.
//
// os_activity_t is a counted reference, as the platform's is under automatic reference
// counting: copies share the activity, which goes with the last of them; an entered scope
// holds one. Thread-safe, except that a scope is left on the thread that entered it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "System/Export.hpp"

struct os_activity_s;

class SYSTEM_EXPORT os_activity_t {
 public:
  os_activity_t() = default;                 // OS_ACTIVITY_NONE
  os_activity_t(std::nullptr_t) noexcept {}  // NOLINT: absent, as a null pointer
  os_activity_t(const os_activity_t& other) noexcept;
  os_activity_t& operator=(const os_activity_t& other) noexcept;
  os_activity_t(os_activity_t&& other) noexcept
      : activity_(std::exchange(other.activity_, nullptr)) {}
  os_activity_t& operator=(os_activity_t&& other) noexcept;
  ~os_activity_t() noexcept;

  // Takes over the reference that `activity` already carries.
  static os_activity_t adopt(os_activity_s* activity) noexcept {
    os_activity_t handle;
    handle.activity_ = activity;
    return handle;
  }
  // Another reference to `activity`, which stays valid as long as the handle.
  static os_activity_t retain(os_activity_s* activity) noexcept;
  os_activity_s* get() const noexcept { return activity_; }
  explicit operator bool() const noexcept { return activity_ != nullptr; }
  friend bool operator==(const os_activity_t& a, const os_activity_t& b) {
    return a.activity_ == b.activity_;
  }

 private:
  os_activity_s* activity_ = nullptr;
};

enum os_activity_flag_t : std::uint32_t {
  OS_ACTIVITY_FLAG_DEFAULT = 0,
  // The new activity has no parent, whatever the parent argument says.
  OS_ACTIVITY_FLAG_DETACHED = 0x1,
};

// No activity: as a parent, none; entered, it leaves no activity current for the scope.
#define OS_ACTIVITY_NONE (os_activity_t())
// As the parent argument of os_activity_create: the activity current on the calling thread,
// if any.
struct os_activity_current_s {};
inline constexpr os_activity_current_s OS_ACTIVITY_CURRENT{};

// A new activity described by `description` (for a request: its identifier), under
// `parent` unless that is OS_ACTIVITY_NONE or `flags` is OS_ACTIVITY_FLAG_DETACHED.
// REQUIRES: `description` is non-null UTF-8 text.
SYSTEM_EXPORT os_activity_t os_activity_create(const char* description, os_activity_t parent,
                                               os_activity_flag_t flags) noexcept;
os_activity_t os_activity_create(const char* description, os_activity_current_s,
                                 os_activity_flag_t flags) noexcept;

// Where a scope keeps what it replaced. Its fields are the library's own.
struct os_activity_scope_state_s {
  os_activity_s* opaque[2];
};
using os_activity_scope_state_t = os_activity_scope_state_s*;

// Makes `activity` current on this thread (OS_ACTIVITY_NONE: none) until the matching leave,
// holding a reference to it meanwhile.
SYSTEM_EXPORT void os_activity_scope_enter(const os_activity_t& activity,
                                           os_activity_scope_state_t state) noexcept;
// Makes current again what was current before the matching enter.
// REQUIRES: `state` was entered on this thread, and scopes entered after it were left.
SYSTEM_EXPORT void os_activity_scope_leave(os_activity_scope_state_t state) noexcept;

namespace system_log {

// The activity current on this thread; OS_ACTIVITY_NONE outside every scope.
SYSTEM_EXPORT os_activity_t currentActivity() noexcept;

// An entered scope for the lifetime of the object.
class ActivityScope {
 public:
  explicit ActivityScope(const os_activity_t& activity) {
    os_activity_scope_enter(activity, &state_);
  }
  ~ActivityScope() { os_activity_scope_leave(&state_); }
  ActivityScope(const ActivityScope&) = delete;
  ActivityScope& operator=(const ActivityScope&) = delete;

 private:
  os_activity_scope_state_s state_;
};

// Counts one transfer started under `activity` and under each of its ancestors. Nothing for
// OS_ACTIVITY_NONE.
SYSTEM_EXPORT void addTransfer(const os_activity_t& activity) noexcept;
// The transfers counted under `activity` so far; 0 for OS_ACTIVITY_NONE.
SYSTEM_EXPORT std::uint64_t transferCount(const os_activity_t& activity) noexcept;

}  // namespace system_log
