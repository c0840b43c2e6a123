// Helpers for the robustness tests: run the built extension executable once as a child
// process (optionally behind a wrapper that sets a limit or rearranges its descriptors),
// collect what it printed, and check the one promise every run keeps: each request shown
// exactly once. Not thread-safe; each test owns its runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace robustness {

// The executable inside the app bundle of the build under test ($HALVICOURT_BUILD_DIR).
std::string executablePath();
// The bundle identifier from the built Info.plist: the caches folder's name.
std::string bundleIdentifier();

// A standard-input line for request `id`.
std::string requestLine(const std::string& id, const nlohmann::json& payload);
// A payload the extension may change: an alert with a title and a body, mutable-content 1,
// and "image" when given.
nlohmann::json mutablePayload(const std::optional<std::string>& image);

struct Invocation {
  // Arguments after the executable.
  std::vector<std::string> args;
  // Given: the standard input, then end of file. Absent: standard input closed.
  std::optional<std::string> input;
  // Placed before the executable on the command line: {"/usr/bin/prlimit", "--fsize=16"},
  // or {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"}.
  std::vector<std::string> wrapper;
  // XDG_CACHE_HOME; required.
  std::string cacheHome;
  // Empty: the test's working directory.
  std::string workingDirectory;
};

struct Outcome {
  int status = -1;  // as ChildProcess::wait gives it; -1 when the safety deadline passed
  std::vector<std::string> lines;
  std::vector<nlohmann::json> events;  // the lines that parse as JSON objects, in order
  std::string stderrText;
};

// Runs to the end. Every wait is bounded by a generous safety deadline, not a time budget.
Outcome runExtension(const Invocation& run,
                     std::chrono::milliseconds safety = std::chrono::seconds(120));

// Each of `ids` has exactly one event with "shown" true; no event names another request;
// every output line is a JSON object. Failures name the request.
void expectEachShownExactlyOnce(const Outcome& outcome, const std::vector<std::string>& ids);

// The one shown event of `id` (null when there is none).
nlohmann::json shownEvent(const Outcome& outcome, const std::string& id);

// Standard error holds no sanitizer report (the sanitizer builds run these tests too).
void expectNoSanitizerReport(const std::string& stderrText);

// Every entry under `directory`, recursively, as paths relative to it, sorted.
std::vector<std::string> listTree(const std::string& directory);

// The lowercase hex MD5 of `text`, from coreutils rather than from the code under test.
std::string md5sum(const std::string& text);

// The process ids of this process's children whose executable name starts with `name`.
std::vector<pid_t> childrenNamed(const std::string& name);

}  // namespace robustness
