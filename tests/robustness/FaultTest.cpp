// The extension executable against broken servers, hostile addresses, failing writes and a
// reader that goes away. Whatever goes wrong, every request is shown exactly once, the
// process exits by itself, and nothing is written outside the caches directory.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/robustness/ExtensionRun.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace robustness {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::ChildOptions;
using testing_support::ChildProcess;
using testing_support::TempDir;
using testing_support::TestServer;

// A loopback port with nothing listening: bound, then closed again.
int closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class FaultTest : public ::testing::Test {
 protected:
  // The caches folder lives in `home_`; the child runs in `cwd_`. After a run, both must
  // hold nothing but what the caches folder may hold.
  std::string cacheHome() const { return home_.file("cache"); }
  std::string caches() const { return cacheHome() + "/" + bundleIdentifier(); }

  // One request for `image` plus one without an image, with a short time limit.
  Outcome runWithImage(const std::string& image) {
    Invocation run;
    run.args = {"--time-limit", "1"};
    run.input = requestLine("img", mutablePayload(image)) +
                requestLine("plain", mutablePayload(std::nullopt));
    run.cacheHome = cacheHome();
    run.workingDirectory = cwd_.path();
    Outcome outcome = runExtension(run);
    expectEachShownExactlyOnce(outcome, {"img", "plain"});
    expectNoSanitizerReport(outcome.stderrText);
    EXPECT_EQ(shownEvent(outcome, "plain").value("expired", false), true);
    return outcome;
  }

  // Nothing outside the caches folder; inside it, only files named <md5>[.<ext>] (no
  // temporary file left behind).
  void expectOnlyCacheFiles() {
    EXPECT_EQ(listTree(cwd_.path()), std::vector<std::string>{});
    for (const std::string& entry : listTree(home_.path())) {
      if (entry == "cache" || entry == "cache/" + bundleIdentifier()) continue;
      const std::string prefix = "cache/" + bundleIdentifier() + "/";
      ASSERT_EQ(entry.rfind(prefix, 0), 0u) << "written outside the caches folder: " << entry;
      const std::string name = entry.substr(prefix.size());
      const std::size_t hex =
          std::min<std::size_t>(name.find_first_not_of("0123456789abcdef"), name.size());
      EXPECT_TRUE(hex == 32 && (name.size() == 32 || name[32] == '.')) << name;
      EXPECT_NE(name.front(), '.') << "temporary file left behind: " << name;
    }
  }

  TempDir home_;
  TempDir cwd_;
  TestServer server_;
};

// --- The server fails --------------------------------------------------------------------

TEST_F(FaultTest, BrokenTransfersStillDeliverWithoutAnAttachment) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/a.png";
  const struct {
    const char* what;
    std::string address;
  } cases[] = {
      {"connection reset mid-body", server_.url("/reset")},
      {"redirect loop", server_.url("/redirect-loop")},
      {"redirect to a local file", server_.url("/redirect?to=file:///etc/passwd")},
      {"redirect to a file in the caches folder's parent",
       server_.url("/redirect?to=file://" + cacheHome() + "/x.png")},
      {"chunked body over the cap", server_.url("/big")},
      {"declared body over the cap", server_.url("/big-declared")},
      {"connection refused", refused},
      {"an HTML page served as a PNG", server_.url("/html.png")},
      {"a server error", server_.url("/status/500")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.address);
    Outcome outcome = runWithImage(c.address);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    EXPECT_EQ(shownEvent(outcome, "img")["content"]["attachments"], json::array());
    expectOnlyCacheFiles();
  }
}

TEST_F(FaultTest, AServerThatNeverAnswersIsShownAtTheTimeLimitAndTheProcessStillExits) {
  Outcome outcome = runWithImage(server_.url("/never"));
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  const json shown = shownEvent(outcome, "img");
  EXPECT_EQ(shown["expired"], true);
  EXPECT_EQ(shown["content"]["attachments"], json::array());
  EXPECT_EQ(server_.hits("/never"), 1);
  expectOnlyCacheFiles();
}

// --- Hostile addresses ---------------------------------------------------------------------

TEST_F(FaultTest, HostileAddressesNeverWriteOutsideTheCachesFolder) {
  const std::string longQuery(300, 'q');
  const struct {
    const char* what;
    std::string address;
    bool attached;  // whether a valid image arrives under a name that fits
  } cases[] = {
      {"encoded slashes and dot segments", server_.url("/images/..%2F..%2F..%2Fx.png"), true},
      {"encoded dots", server_.url("/images/%2e%2e/%2E%2E/y.png"), true},
      {"dot segments", server_.url("/images/a/../../images/z.png"), true},
      {"extension with an encoded slash", server_.url("/images/p.png?x=%2F..%2F..%2Fevil"), true},
      {"extension longer than a file name may be", server_.url("/images/q.png?" + longQuery),
       false},
      {"control character", server_.url("/images/c\x01.png"), false},
      {"line break", server_.url("/images/n\n.png"), false},
      {"space", server_.url("/images/s .png"), false},
      {"non-ASCII", server_.url("/images/\xC3\xA9.png"), false},
      {"relative address", "../../../../tmp/r.png", false},
      {"file address", "file://" + home_.file("secret.png"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.address);
    Outcome outcome = runWithImage(c.address);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    const json attachments = shownEvent(outcome, "img")["content"]["attachments"];
    if (c.attached) {
      ASSERT_EQ(attachments.size(), 1u) << attachments.dump();
      const std::string url = attachments[0]["url"];
      EXPECT_EQ(url.rfind("file://" + caches() + "/" + md5sum(c.address) + ".", 0), 0u) << url;
    } else {
      EXPECT_EQ(attachments, json::array());
    }
    expectOnlyCacheFiles();
    fs::remove_all(caches());
  }
}

TEST_F(FaultTest, ALinkPlantedAtTheCacheNameIsReplacedNotWrittenThrough) {
  const std::string address = server_.url("/image.png");
  const std::string name = caches() + "/" + md5sum(address) + ".png";
  const struct {
    const char* what;
    std::string target;
    bool exists;
  } cases[] = {
      {"link to a file outside", home_.file("precious"), true},
      {"dangling link to a path outside", home_.file("created-through-link"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(caches());
    if (c.exists) testing_support::writeFile(c.target, "precious");
    fs::create_symlink(c.target, name);

    Outcome outcome = runWithImage(address);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    EXPECT_EQ(shownEvent(outcome, "img")["content"]["attachments"].size(), 1u);
    EXPECT_FALSE(fs::is_symlink(name));
    EXPECT_EQ(testing_support::readFile(name), testing_support::pngBytes());
    if (c.exists) {
      EXPECT_EQ(testing_support::readFile(c.target), "precious");
      fs::remove(c.target);
    } else {
      EXPECT_FALSE(fs::exists(c.target));
    }
    fs::remove_all(caches());
  }
}

// --- Writes fail ---------------------------------------------------------------------------

TEST_F(FaultTest, FailingWritesDeliverWithoutAnAttachmentAndLeaveNothingBehind) {
  const std::string address = server_.url("/image.png");
  const struct {
    const char* what;
    // Prepares the home folder; returns the XDG_CACHE_HOME to run with.
    std::function<std::string()> prepare;
    std::vector<std::string> wrapper;
    const char* complaint;  // expected on standard error, or null
  } cases[] = {
      {"caches folder path is a regular file",
       [&] {
         fs::create_directories(cacheHome());
         testing_support::writeFile(caches(), "not a folder");
         return cacheHome();
       },
       {},
       "caches directory"},
      {"caches folder cannot be created (its parent is a file)",
       [&] {
         testing_support::writeFile(home_.file("file"), "");
         return home_.file("file") + "/cache";
       },
       {},
       "caches directory"},
      {"a folder planted at the cache name",
       [&] {
         fs::create_directories(caches() + "/" + md5sum(address) + ".png/inside");
         return cacheHome();
       },
       {},
       nullptr},
      // SIGXFSZ keeps its default action in the child: an unhandled limit kills the process.
      {"file-size limit smaller than the image",
       [&] { return cacheHome(); },
       {"/usr/bin/prlimit", "--fsize=16"},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string home = c.prepare();
    Invocation run;
    run.args = {"--time-limit", "1"};
    run.input = requestLine("img", mutablePayload(address)) +
                requestLine("plain", mutablePayload(std::nullopt));
    run.wrapper = c.wrapper;
    run.cacheHome = home;
    run.workingDirectory = cwd_.path();
    Outcome outcome = runExtension(run);
    expectEachShownExactlyOnce(outcome, {"img", "plain"});
    expectNoSanitizerReport(outcome.stderrText);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    EXPECT_EQ(shownEvent(outcome, "img")["content"]["attachments"], json::array());
    if (c.complaint != nullptr) {
      EXPECT_NE(outcome.stderrText.find(c.complaint), std::string::npos) << outcome.stderrText;
    }
    // Only the files the case made itself: no image, no temporary file.
    for (const std::string& entry : listTree(home_.path())) {
      const fs::path path = fs::path(home_.path()) / entry;
      if (!fs::is_regular_file(fs::symlink_status(path))) continue;
      EXPECT_TRUE(entry == "file" || path == fs::path(caches())) << "left behind: " << entry;
    }
    EXPECT_EQ(listTree(cwd_.path()), std::vector<std::string>{});
    fs::remove_all(home_.path() + "/cache");
    fs::remove_all(home_.file("file"));
  }
}

// --- Standard output fails -------------------------------------------------------------------

TEST_F(FaultTest, AReaderThatGoesAwayIsReportedAndTheProcessExits) {
  // The reader takes one line, closes the pipe, and only then passes the line on; the second
  // request is let through only after that, so its line meets a closed pipe.
  ChildOptions options;
  options.argv = {"/bin/bash",
                  "-c",
                  "\"$0\" \"$@\" | { IFS= read -r line; exec 0<&-; printf '%s\\n' \"$line\"; }; "
                  "echo \"exit ${PIPESTATUS[0]}\"",
                  executablePath(),
                  "--time-limit",
                  "3600"};
  options.environment = {{"XDG_CACHE_HOME", cacheHome()}};
  options.workingDirectory = cwd_.path();
  options.stdinMode = ChildOptions::Stdin::kText;
  options.stdinText = requestLine("first", mutablePayload(server_.url("/image.png"))) +
                      requestLine("second", mutablePayload(server_.url("/gate/late.png")));
  ChildProcess child(std::move(options));
  ASSERT_TRUE(child.started()) << child.startError();

  std::optional<std::string> first = child.readLine();
  ASSERT_TRUE(first) << child.stderrText();
  EXPECT_EQ(json::parse(*first, nullptr, false).value("id", ""), "first") << *first;
  server_.openGate("late.png");
  std::vector<std::string> rest = child.readAllLines();
  EXPECT_EQ(child.wait(), 0) << child.stderrText();
  EXPECT_EQ(rest, std::vector<std::string>{"exit 1"}) << child.stderrText();
  EXPECT_NE(child.stderrText().find("standard output: Broken pipe"), std::string::npos)
      << child.stderrText();
  expectNoSanitizerReport(child.stderrText());
}

TEST_F(FaultTest, ClosedStandardOutputIsReportedAndNeverWrittenElsewhere) {
  const std::string address = server_.url("/image.png");
  Invocation run;
  run.args = {"--time-limit", "1"};
  run.input = requestLine("img", mutablePayload(address)) +
              requestLine("plain", mutablePayload(std::nullopt));
  run.wrapper = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"};
  run.cacheHome = cacheHome();
  run.workingDirectory = cwd_.path();
  Outcome outcome = runExtension(run);
  expectNoSanitizerReport(outcome.stderrText);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.stderrText.find("standard output"), std::string::npos) << outcome.stderrText;
  // A descriptor the process opened later must not have taken the place of standard output.
  EXPECT_EQ(testing_support::readFile(caches() + "/" + md5sum(address) + ".png"),
            testing_support::pngBytes());
  expectOnlyCacheFiles();
}

}  // namespace
}  // namespace robustness
