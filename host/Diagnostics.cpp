#include "host/Diagnostics.hpp"

#include "System/os_log.hpp"

namespace host {

void StandardErrorDiagnostics::report(const std::string& message) noexcept {
  // Through the log's sink, so that the line never lands inside an event's line.
  try {
    system_log::writeLine("HalvicourtNotificationService: " + message);
  } catch (...) {
    // Out of memory: the line is lost, the run goes on.
  }
}

}  // namespace host
