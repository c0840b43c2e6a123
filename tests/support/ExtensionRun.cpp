#include "tests/support/ExtensionRun.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <regex>
#include <utility>

#include "Foundation/NSError.hpp"
#include "Foundation/Text.hpp"
#include "System/CommonDigest.hpp"

namespace testing_support {

using nlohmann::json;

std::string appDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/Halvicourt.app";
}

std::string bundleIdentifier() { return HALVICOURT_BUNDLE_ID; }

std::string storeDirectory(const std::string& stateHome) {
  return stateHome + "/" + bundleIdentifier() + "/Attachments";
}

std::string md5Hex(const std::string& text) {
  unsigned char md[CC_MD5_DIGEST_LENGTH];
  CC_MD5(text.data(), static_cast<std::uint32_t>(text.size()), md);
  return foundation::hexString(md);
}

json payload(const std::optional<std::string>& image, bool mutableContent) {
  json p = {{"aps",
             {{"alert", {{"title", "Parcel"}, {"body", "Your parcel has arrived"}}},
              {"badge", 3},
              {"sound", "default"},
              {"thread-id", "parcels"},
              {"category", "DELIVERY"}}}};
  if (mutableContent) p["aps"]["mutable-content"] = 1;
  if (image) p["image"] = *image;
  return p;
}

std::string requestLine(const std::string& id, const json& payload) {
  return json{{"id", id}, {"payload", payload}}.dump() + "\n";
}

ExtensionProcess::ExtensionProcess(const Run& run) {
  const std::string in = io_.file("in");
  if (run.holdInput) {
    EXPECT_EQ(mkfifo(in.c_str(), 0600), 0) << foundation::errorString(errno);
    // Open for reading too: no open waits for a reader and no write meets a closed pipe.
    input_ = open(in.c_str(), O_RDWR | O_CLOEXEC);
  } else {
    writeFile(in, run.input);
  }
  std::vector<std::string> argv = {
      "/usr/bin/env",
      "XDG_CACHE_HOME=" + (run.cacheHome.empty() ? io_.file("cache") : run.cacheHome),
      "XDG_STATE_HOME=" + (run.stateHome.empty() ? io_.file("state") : run.stateHome)};
  argv.insert(argv.end(), run.env.begin(), run.env.end());
  argv.insert(argv.end(), run.wrapper.begin(), run.wrapper.end());
  argv.push_back(run.app + kAppex + "/HalvicourtNotificationService");
  argv.insert(argv.end(), run.args.begin(), run.args.end());
  int out[2] = {-1, -1};
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0) << foundation::errorString(errno);
  const int input = open(in.c_str(), O_RDONLY | O_CLOEXEC);
  const int error = open(io_.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  child_.emplace(argv, ChildStreams{.input = input,
                                    .output = out[1],
                                    .error = error,
                                    .workingDirectory = run.workingDirectory});
  for (int fd : {input, error, out[1]}) close(fd);
  stdout_ = out[0];
  if (run.holdInput) write(run.input);
}

ExtensionProcess::~ExtensionProcess() {
  closeInput();
  if (stdout_ >= 0) close(stdout_);
  if (child_->running()) kill(child_->pid(), SIGKILL);
}

void ExtensionProcess::write(const std::string& text) {
  EXPECT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void ExtensionProcess::closeInput() {
  if (input_ >= 0) close(std::exchange(input_, -1));
}

std::optional<std::string> ExtensionProcess::readLine() {
  std::size_t newline;
  while ((newline = pending_.find('\n')) == std::string::npos && stdout_ >= 0) {
    pollfd ready{stdout_, POLLIN, 0};
    char buffer[1 << 16];
    const int polled = poll(&ready, 1, 120 * 1000);
    const ssize_t n = polled > 0 ? read(stdout_, buffer, sizeof buffer) : -1;
    if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
    } else if (polled == 0 || n == 0 || errno != EINTR) {
      EXPECT_NE(polled, 0) << "no output for two minutes";
      close(std::exchange(stdout_, -1));
    }
  }
  if (pending_.empty()) return std::nullopt;
  lines_.push_back(pending_.substr(0, newline));
  pending_.erase(0, newline == std::string::npos ? newline : newline + 1);
  return lines_.back();
}

Outcome ExtensionProcess::finish() {
  Outcome outcome;
  while (readLine()) {
  }
  outcome.status = child_->wait();  // its output ended, the child exits
  outcome.lines = lines_;
  for (const std::string& line : lines_) {
    json event = json::parse(line, nullptr, false);
    if (event.is_object()) outcome.events.push_back(std::move(event));
  }
  outcome.stderrText = readFile(io_.file("err"));
  return outcome;
}

json Outcome::shown(const std::string& id) const {
  for (const json& event : events) {
    if (event.value("id", "") == id && event.value("shown", false)) return event;
  }
  return json();
}

std::vector<json> Outcome::of(const std::string& id) const {
  std::vector<json> found;
  for (const json& event : events) {
    if (event.value("id", "") == id) found.push_back(event);
  }
  return found;
}

::testing::AssertionResult ExtensionTest::inStore(const std::string& url,
                                                  const std::string& address) const {
  const std::string prefix = "file://" + storeDirectory(state_.path()) + "/";
  if (url.starts_with(prefix) &&
      std::regex_match(url.substr(prefix.size()),
                       std::regex("[0-9a-f]{32}-" + md5Hex(address) + "\\.[^/]+"))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << url << " is not the store's copy for " << address;
}

void expectEachShownOnce(const Outcome& outcome, const std::vector<std::string>& ids) {
  EXPECT_EQ(outcome.events.size(), outcome.lines.size()) << "a line is not a JSON object";
  std::map<std::string, int> shown;
  for (const std::string& id : ids) shown[id] = 0;
  for (const json& event : outcome.events) {
    auto it = shown.find(event.value("id", ""));
    if (it == shown.end()) {
      ADD_FAILURE() << "a line for a request never made: " << event.dump();
    } else if (event.value("shown", false)) {
      ++it->second;
    }
  }
  for (const auto& [id, count] : shown) {
    EXPECT_EQ(count, 1) << "request \"" << id << "\" was shown " << count << " times";
  }
  expectNoSanitizerReport(outcome.stderrText);
}

void expectNoSanitizerReport(const std::string& stderrText) {
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(stderrText.find(mark), std::string::npos) << stderrText;
  }
}

}  // namespace testing_support
