// Diagnostics: where the host's components say what went wrong while the run goes on (an
// input that cannot be read, a store that cannot be set up, a notification the desktop
// refused). Each says what happened in words; the process writes each as one line on standard
// error (StandardErrorDiagnostics), and tests keep them to look at. Whether a problem changes
// the exit status is the component's to say, not this sink's.
//
// Implementations are thread-safe: components report from their own threads.
#pragma once

#include <string>

namespace host {

class Diagnostics {
 public:
  virtual void report(const std::string& message) noexcept = 0;

 protected:
  ~Diagnostics() = default;
};

// "HalvicourtNotificationService: <message>" on standard error, written whole among the log's
// events (system_log::writeLine).
class StandardErrorDiagnostics final : public Diagnostics {
 public:
  void report(const std::string& message) noexcept override;
};

}  // namespace host
