#include "System/os_activity.hpp"

#include <algorithm>
#include <cassert>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "System/os_activityInternal.hpp"

namespace {

// Each scope entered on this thread holds a reference to the activity it made current.
thread_local os_activity_s* tCurrent = nullptr;

void retainRecord(os_activity_s* activity) {
  if (activity == nullptr) return;
  [[maybe_unused]] const std::int64_t before =
      activity->references.fetch_add(1, std::memory_order_relaxed);
  assert(before > 0);
}

void releaseRecord(os_activity_s* activity) {
  if (activity == nullptr) return;
  const std::int64_t before = activity->references.fetch_sub(1, std::memory_order_acq_rel);
  assert(before > 0);
  if (before == 1) delete activity;
}

// The description as a JSON string, as every event of the activity writes it. Most are
// identifiers in plain printable ASCII, quoted as they are; the serializer escapes the rest.
// (Pushes make an activity each: the serializer was most of their cost.)
std::string quoted(const char* description) {
  const std::string_view text(description);
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  });
  if (!plain) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  std::string json;
  json.reserve(text.size() + 2);
  json += '"';
  json += text;
  json += '"';
  return json;
}

}  // namespace

os_activity_t::os_activity_t(const os_activity_t& other) noexcept : activity_(other.activity_) {
  retainRecord(activity_);
}

os_activity_t& os_activity_t::operator=(const os_activity_t& other) noexcept {
  retainRecord(other.activity_);
  releaseRecord(std::exchange(activity_, other.activity_));
  return *this;
}

os_activity_t& os_activity_t::operator=(os_activity_t&& other) noexcept {
  if (this != &other)
    releaseRecord(std::exchange(activity_, std::exchange(other.activity_, nullptr)));
  return *this;
}

os_activity_t::~os_activity_t() noexcept { releaseRecord(activity_); }

os_activity_t os_activity_t::retain(os_activity_s* activity) noexcept {
  retainRecord(activity);
  return adopt(activity);
}

os_activity_t os_activity_create(const char* description, os_activity_t parent,
                                 os_activity_flag_t flags) noexcept {
  auto* activity = new os_activity_s;
  if ((flags & OS_ACTIVITY_FLAG_DETACHED) == 0 && parent) {
    activity->idJson = parent.get()->idJson;
    activity->parent = std::move(parent);
  } else {
    activity->idJson = quoted(description);
  }
  return os_activity_t::adopt(activity);
}

os_activity_t os_activity_create(const char* description, os_activity_current_s,
                                 os_activity_flag_t flags) noexcept {
  return os_activity_create(description, system_log::currentActivity(), flags);
}

void os_activity_scope_enter(const os_activity_t& activity,
                             os_activity_scope_state_t state) noexcept {
  retainRecord(activity.get());
  state->opaque[0] = activity.get();
  state->opaque[1] = std::exchange(tCurrent, activity.get());
}

void os_activity_scope_leave(os_activity_scope_state_t state) noexcept {
  assert(tCurrent == state->opaque[0]);
  tCurrent = state->opaque[1];
  releaseRecord(state->opaque[0]);
}

namespace system_log {

os_activity_t currentActivity() noexcept { return os_activity_t::retain(tCurrent); }

void addTransfer(const os_activity_t& activity) noexcept {
  for (os_activity_s* a = activity.get(); a != nullptr; a = a->parent.get()) {
    a->transfers.fetch_add(1, std::memory_order_relaxed);
  }
}

std::uint64_t transferCount(const os_activity_t& activity) noexcept {
  return activity ? activity.get()->transfers.load(std::memory_order_relaxed) : 0;
}

os_activity_s* internal::currentRecord() { return tCurrent; }

}  // namespace system_log
