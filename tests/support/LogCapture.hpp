// LogCapture: the system log (System/os_log.hpp) written into a file of its own from
// `lowest` up (nothing when absent) while the object lives, and back to its default (off,
// standard error) when it goes. One at a time per
// process; every thread that logs must be done before it goes. Not thread-safe; one owner.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "System/os_log.hpp"
#include "tests/support/TempDir.hpp"

namespace testing_support {

class LogCapture {
 public:
  explicit LogCapture(std::optional<os_log_type_t> lowest)
      : fd_(::open(dir_.file("log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {
    system_log::configure(lowest, fd_);
  }
  ~LogCapture() {
    system_log::configure(std::nullopt);
    ::close(fd_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const { return readFile(dir_.file("log")); }
  // Every line written so far, parsed; a line that is not one JSON object fails the test.
  std::vector<nlohmann::ordered_json> events() const {
    std::vector<nlohmann::ordered_json> events;
    std::istringstream lines(readFile(dir_.file("log")));
    for (std::string line; std::getline(lines, line);) {
      events.push_back(nlohmann::ordered_json::parse(line, nullptr, false));
      if (!events.back().is_object()) ADD_FAILURE() << "not one JSON object: " << line;
    }
    return events;
  }

 private:
  TempDir dir_;
  int fd_;
};

}  // namespace testing_support
