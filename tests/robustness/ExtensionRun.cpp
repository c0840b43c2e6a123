#include "tests/robustness/ExtensionRun.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "Foundation/NSBundle.hpp"
#include "tests/support/ChildProcess.hpp"

namespace robustness {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::ChildOptions;
using testing_support::ChildProcess;

namespace {

std::string appexDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") +
         "/Halvicourt.app/PlugIns/HalvicourtNotificationService.appex";
}

}  // namespace

std::string executablePath() { return appexDirectory() + "/HalvicourtNotificationService"; }

std::string bundleIdentifier() {
  NSBundle appex(appexDirectory());
  return appex.bundleIdentifier().value_or("com.halvicourt.app.HalvicourtNotificationService");
}

std::string requestLine(const std::string& id, const json& payload) {
  return json{{"id", id}, {"payload", payload}}.dump() + "\n";
}

json mutablePayload(const std::optional<std::string>& image) {
  json p = {
      {"aps",
       {{"alert", {{"title", "Parcel"}, {"body", "It has arrived"}}}, {"mutable-content", 1}}}};
  if (image) p["image"] = *image;
  return p;
}

Outcome runExtension(const Invocation& run, std::chrono::milliseconds safety) {
  ChildOptions options;
  options.argv = run.wrapper;
  options.argv.push_back(executablePath());
  options.argv.insert(options.argv.end(), run.args.begin(), run.args.end());
  options.environment = {{"XDG_CACHE_HOME", run.cacheHome}};
  options.workingDirectory = run.workingDirectory;
  if (run.input) {
    options.stdinMode = ChildOptions::Stdin::kText;
    options.stdinText = *run.input;
  }
  ChildProcess child(std::move(options));
  Outcome outcome;
  if (!child.started()) {
    ADD_FAILURE() << child.startError();
    return outcome;
  }
  outcome.lines = child.readAllLines(safety);
  EXPECT_FALSE(child.timedOut()) << "the output did not end within the safety deadline";
  outcome.status = child.wait(safety);
  outcome.stderrText = child.stderrText();
  EXPECT_NE(outcome.status, -1) << "the process did not exit within the safety deadline";
  for (const std::string& line : outcome.lines) {
    json event = json::parse(line, nullptr, false);
    if (event.is_object()) outcome.events.push_back(std::move(event));
  }
  return outcome;
}

void expectEachShownExactlyOnce(const Outcome& outcome, const std::vector<std::string>& ids) {
  EXPECT_EQ(outcome.events.size(), outcome.lines.size()) << "a line is not a JSON object";
  std::map<std::string, int> shown;
  for (const std::string& id : ids) shown[id] = 0;
  for (const json& event : outcome.events) {
    const std::string id = event.value("id", std::string("<no id>"));
    auto it = shown.find(id);
    if (it == shown.end()) {
      ADD_FAILURE() << "an event for a request that was never made: " << event.dump();
      continue;
    }
    if (event.value("shown", false)) ++it->second;
  }
  for (const auto& [id, count] : shown) {
    EXPECT_EQ(count, 1) << "request \"" << id << "\" was shown " << count << " times";
  }
}

json shownEvent(const Outcome& outcome, const std::string& id) {
  for (const json& event : outcome.events) {
    if (event.value("id", std::string()) == id && event.value("shown", false)) return event;
  }
  return json();
}

void expectNoSanitizerReport(const std::string& stderrText) {
  for (const char* mark : {"Sanitizer", "runtime error:", "LeakSanitizer"}) {
    EXPECT_EQ(stderrText.find(mark), std::string::npos) << stderrText;
  }
}

std::vector<std::string> listTree(const std::string& directory) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(directory, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    entries.push_back(fs::relative(it->path(), directory).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string md5sum(const std::string& text) {
  ChildOptions options;
  options.argv = {"/usr/bin/md5sum"};
  options.stdinMode = ChildOptions::Stdin::kText;
  options.stdinText = text;
  ChildProcess md5(std::move(options));
  std::optional<std::string> line = md5.readLine();
  EXPECT_EQ(md5.wait(), 0) << md5.stderrText();
  return line ? line->substr(0, 32) : std::string();
}

std::vector<pid_t> childrenNamed(const std::string& name) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  const pid_t self = getpid();
  while (dirent* entry = readdir(proc)) {
    const char* n = entry->d_name;
    if (*n < '1' || *n > '9') continue;
    std::ifstream stat(std::string("/proc/") + n + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // pid (comm) state ppid ...; comm may hold spaces, so read from the last ")".
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string comm = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == self && name.compare(0, comm.size(), comm) == 0) {
      pids.push_back(static_cast<pid_t>(std::atol(n)));
    }
  }
  closedir(proc);
  return pids;
}

}  // namespace robustness
