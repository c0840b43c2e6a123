// The record behind an os_activity_t, and the calling thread's current activity: libSystem's
// own, shared by os_activity.cpp and the log that reads the "id" an event carries.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "System/os_activity.hpp"

struct os_activity_s {
  // Counts every os_activity_t and entered scope that holds the record.
  std::atomic<std::int64_t> references{1};
  std::atomic<std::uint64_t> transfers{0};
  // Keeps the ancestors alive for addTransfer; set once, before the record is shared.
  os_activity_t parent;
  // The outermost activity's description as a JSON string, escaped once for every event.
  std::string idJson;
};

namespace system_log::internal {

// The activity current on this thread; null outside every scope. Valid while its scope is
// entered.
os_activity_s* currentRecord();

}  // namespace system_log::internal
