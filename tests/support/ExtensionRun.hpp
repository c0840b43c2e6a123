// ExtensionProcess: the extension executable of the build under test ($HALVICOURT_BUILD_DIR)
// run as a child process the way the platform runs it, with requests on standard input and
// one JSON line per delivery on standard output. Standard input is a file written before the
// start (or a FIFO the test writes to as it goes) and standard error goes to a file, so only
// standard output is read while the child runs. A child still running when the object goes
// is killed. Not thread-safe; one owner. Reading gives up after two minutes without output:
// a safety net, not a time budget.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace testing_support {

inline constexpr const char* kAppex = "/PlugIns/HalvicourtNotificationService.appex";
// The built app bundle, which holds the extension at kAppex.
std::string appDirectory();
// The extension's bundle identifier: its caches folder's name.
std::string bundleIdentifier();
// The attachment store's directory under the state home `stateHome`.
std::string storeDirectory(const std::string& stateHome);
// The lowercase hex MD5 of the bytes of `text`: the cache file's name for an address.
std::string md5Hex(const std::string& text);

// An alert with a title and a body, badge, sound, thread and category, mutable-content 1
// unless `mutableContent` is false, and "image" when given.
nlohmann::json payload(const std::optional<std::string>& image, bool mutableContent = true);
// A standard-input line for request `id`, with its newline.
std::string requestLine(const std::string& id, const nlohmann::json& payload);

struct Run {
  std::vector<std::string> args = {};  // after the executable
  std::string input = {};              // standard input, then end of file unless holdInput
  bool holdInput = false;              // standard input stays open until closeInput()
  // XDG_CACHE_HOME and XDG_STATE_HOME (where the attachment store goes); empty: directories
  // of the run's own, removed with it, so that no run writes to the real home.
  std::string cacheHome = {};
  std::string stateHome = {};
  std::string workingDirectory = {};  // empty: the test's own
  // Before the executable on the command line: {"/usr/bin/prlimit", "--fsize=16"}.
  std::vector<std::string> wrapper = {};
  std::string app = appDirectory();
  std::vector<std::string> env = {};  // "NAME=value", added to the test's environment
};

struct Outcome {
  int status = -1;  // the exit status, or 128 + the signal that ended the process
  std::vector<std::string> lines;
  std::vector<nlohmann::json> events;  // the lines that are JSON objects
  std::string stderrText;
  // The event of request `id` with "shown" true; null when there is none.
  nlohmann::json shown(const std::string& id) const;
  // Every event of request `id`, in order.
  std::vector<nlohmann::json> of(const std::string& id) const;
};

class ExtensionProcess {
 public:
  explicit ExtensionProcess(const Run& run);
  ~ExtensionProcess();
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  pid_t pid() const { return child_->pid(); }
  // More standard input. REQUIRES: Run::holdInput, and closeInput() not called yet.
  void write(const std::string& text);
  // The end of standard input.
  void closeInput();
  // The next line of standard output; absent at its end.
  std::optional<std::string> readLine();
  // What the child has written to standard error so far.
  std::string errorSoFar() const { return readFile(io_.file("err")); }
  // Reads the rest of the output and waits for the exit; every line, also those readLine gave.
  Outcome finish();

 private:
  TempDir io_;  // standard input and standard error; the default cache and state homes
  std::optional<ChildProcess> child_;
  int input_ = -1;  // the FIFO's end that the test writes to
  int stdout_ = -1;
  std::string pending_;  // read but not yet a whole line
  std::vector<std::string> lines_;
};

inline Outcome runExtension(const Run& run) { return ExtensionProcess(run).finish(); }

// Runs against the loopback server with caches, an attachment store and a working directory
// of the test's own.
class ExtensionTest : public ::testing::Test {
 protected:
  std::string caches() const { return cache_.file(bundleIdentifier()); }
  // Where the image at `address`, a PNG, is stored.
  std::string cacheFile(const std::string& address) const {
    return caches() + "/" + md5Hex(address) + ".png";
  }
  testing_support::Run run(std::vector<std::string> args, std::string input = {},
                           std::vector<std::string> wrapper = {}) const {
    return {.args = std::move(args),
            .input = std::move(input),
            .cacheHome = cache_.path(),
            .stateHome = state_.path(),
            .workingDirectory = cwd_.path(),
            .wrapper = std::move(wrapper)};
  }
  // Whether `url` names a file of the store's own (<32 hex digits>-<its caches file's name>)
  // taken from the caches file of `address`.
  ::testing::AssertionResult inStore(const std::string& url, const std::string& address) const;

  TempDir cache_;
  TempDir state_;
  TempDir cwd_;
  TestServer server_;
};

// Standard error holds no sanitizer report (the sanitizer builds run these tests too).
void expectNoSanitizerReport(const std::string& stderrText);
// Every line is a JSON object for one of `ids`, each shown exactly once, and standard error
// holds no sanitizer report. Failures name the request.
void expectEachShownOnce(const Outcome& outcome, const std::vector<std::string>& ids);

}  // namespace testing_support
