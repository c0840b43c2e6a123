// The extension executable against broken servers, hostile addresses, failing writes and a
// reader that goes away. Whatever goes wrong, every request is shown exactly once, the
// process exits by itself, and nothing is written outside the caches directory and the
// attachment store.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testing_support;

// The attachments of the last line for request `id`: what it ended with, also when the
// download finished after the expiry had shown it.
json finalAttachments(const Outcome& outcome, const std::string& id) {
  const std::vector<json> events = outcome.of(id);
  return events.empty() ? json() : events.back()["content"]["attachments"];
}

class FaultTest : public ExtensionTest {
 protected:
  // Nothing in the working directory; in the home only the caches folder, holding files
  // named <md5>[.<extension>], and in the state home only the store, holding files named
  // <32 hex digits>-<cache file name>: nothing outside them and no temporary file left behind.
  void expectOnlyCacheFiles() {
    EXPECT_TRUE(fs::is_empty(cwd_.path()));
    const std::string file = R"([0-9a-f]{32}(\.[^/]+)?)";
    for (const auto& [home, allowed] :
         {std::pair(cache_.path(), std::regex(bundleIdentifier() + "(/" + file + ")?")),
          std::pair(state_.path(), std::regex(bundleIdentifier() + "(/Attachments(/[0-9a-f]{32}-" +
                                              file + ")?)?"))}) {
      for (const auto& entry : fs::recursive_directory_iterator(home)) {
        const std::string path = fs::relative(entry.path(), home);
        EXPECT_TRUE(std::regex_match(path, allowed)) << path;
      }
    }
  }

  TempDir outside_;
};

TEST_F(FaultTest, EveryRequestIsShownOnceWhateverTheServerOrTheAddress) {
  const std::string linked = server_.url("/images/linked.png");
  const std::string dangling = server_.url("/images/dangling.png");
  const std::string blocked = server_.url("/images/blocked.png");
  fs::create_directories(cacheFile(blocked));
  writeFile(outside_.file("precious"), "precious");
  fs::create_symlink(outside_.file("precious"), cacheFile(linked));
  fs::create_symlink(outside_.file("created-through-link"), cacheFile(dangling));
  const struct {
    const char* what;
    std::string address;
    bool attached;
  } rows[] = {
      {"a server that never answers", server_.url("/gate/never"), false},
      {"a link to a file outside at the cache name", linked, true},
      {"a dangling link at the cache name", dangling, true},
      {"a folder at the cache name", blocked, false},
      // Hostile addresses: the image lands directly in the caches folder, or nowhere.
      {"encoded slashes and dot segments", server_.url("/images/..%2F..%2F%2e%2e%2Fx.png"), true},
      {"dot segments", server_.url("/images/a/../../images/z.png"), true},
      {"an encoded slash in the extension", server_.url("/images/p.png?x=%2F..%2F..%2Fevil"), true},
      {"an extension longer than a file name may be",
       server_.url("/images/q.png?" + std::string(300, 'q')), false},
      {"a control character", server_.url("/images/c\x01.png"), false},
      {"a PNG cut short, ended only by the closed connection", server_.url("/cut.png"), false},
  };
  std::string input = requestLine("plain", payload(std::nullopt));
  std::vector<std::string> ids = {"plain"};
  for (const auto& row : rows) {
    input += requestLine(row.what, payload(row.address));
    ids.push_back(row.what);
  }
  // The time limit only bounds the server that never answers; the rest end long before.
  const Outcome outcome = runExtension(run({"--time-limit", "5", "--log", "info"}, input));
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, ids);
  EXPECT_EQ(outcome.shown("a server that never answers")["expired"], true);
  EXPECT_EQ(server_.hits("/gate/never"), 1);
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.what) + ": " + row.address);
    const json attachments = finalAttachments(outcome, row.what);
    ASSERT_EQ(attachments.size(), row.attached ? 1u : 0u) << attachments.dump();
    // The store's copy of the file named <md5>.<extension> directly in the caches folder.
    if (row.attached) {
      EXPECT_TRUE(inStore(attachments[0]["url"], row.address));
    }
  }
  // A link planted at the cache name is replaced, never written through.
  for (const std::string& address : {linked, dangling}) {
    EXPECT_FALSE(fs::is_symlink(cacheFile(address)));
    EXPECT_EQ(readFile(cacheFile(address)), pngBytes());
  }
  EXPECT_EQ(readFile(outside_.file("precious")), "precious");
  EXPECT_FALSE(fs::exists(outside_.file("created-through-link")));
  fs::remove(cacheFile(blocked));
  expectOnlyCacheFiles();
}

TEST_F(FaultTest, FailingWritesDeliverWithoutAnAttachmentAndLeaveNothingBehind) {
  const std::string missing = outside_.file("nonexistent");
  const struct {
    const char* what;
    std::vector<std::string> wrapper;
    const char* complaint;
  } rows[] = {
      {"the caches folder's path is a regular file", {}, "cannot create the caches directory"},
      // SIGXFSZ at its default action would end the process at the first write past 16 bytes.
      {"a file-size limit smaller than the image", {"/usr/bin/prlimit", "--fsize=16"}, nullptr},
      // Debian's "no home" for system users: reported, never made. Empty XDG values count as
      // unset, as relative ones do.
      {"a home that does not exist",
       {"/usr/bin/env", "HOME=" + missing, "XDG_CACHE_HOME=", "XDG_STATE_HOME="},
       "no home directory for the caches directory or the attachment store"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const bool blocked = std::string(row.what).starts_with("the caches folder");
    if (blocked) writeFile(caches(), "not a folder");
    const Outcome outcome =
        runExtension(run({"--time-limit", "1"},
                         requestLine("img", payload(server_.url("/image.png"))), row.wrapper));
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    expectEachShownOnce(outcome, {"img"});
    EXPECT_EQ(finalAttachments(outcome, "img"), json::array());
    if (row.complaint != nullptr) {
      // One line for one cause.
      EXPECT_TRUE(outcome.stderrText.starts_with("HalvicourtNotificationService: " +
                                                 std::string(row.complaint)) &&
                  outcome.stderrText.find('\n') == outcome.stderrText.size() - 1)
          << outcome.stderrText;
    }
    if (blocked) {
      EXPECT_EQ(readFile(caches()), "not a folder");
    } else if (row.complaint == nullptr) {
      EXPECT_TRUE(fs::is_empty(caches()));
    }
    EXPECT_FALSE(fs::exists(missing));
    expectOnlyCacheFiles();
    fs::remove_all(caches());
  }
}

// A reader that goes away ends the run at once, as a stop does, though the input goes on: the
// stream below is never closed.
TEST_F(FaultTest, AReaderThatGoesAwayEndsTheRun) {
  // The reader takes one line, closes the pipe, and only then passes the line on; the second
  // request is let through only after that, so its line meets a closed pipe.
  testing_support::Run held =
      run({"--time-limit", "3600"},
          requestLine("first", payload(server_.url("/image.png"))) +
              requestLine("second", payload(server_.url("/gate/late.png"))),
          {"/bin/bash", "-c",
           "\"$0\" \"$@\" | { IFS= read -r line; exec 0<&-; printf '%s\\n' \"$line\"; }; "
           "echo \"exit ${PIPESTATUS[0]}\""});
  held.holdInput = true;
  ExtensionProcess process(held);
  const std::optional<std::string> first = process.readLine();
  ASSERT_TRUE(first);
  EXPECT_NE(first->find(R"("id":"first")"), std::string::npos) << *first;
  server_.openGate("late.png");
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.lines, (std::vector<std::string>{*first, "exit 1"})) << outcome.stderrText;
  EXPECT_NE(outcome.stderrText.find("write(standard output): Broken pipe"), std::string::npos)
      << outcome.stderrText;
  expectNoSanitizerReport(outcome.stderrText);
}

TEST_F(FaultTest, ClosedStandardOutputIsReportedAndNeverWrittenElsewhere) {
  const std::string address = server_.url("/image.png");
  const Outcome outcome =
      runExtension(run({"--time-limit", "1"}, requestLine("img", payload(address)),
                       {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"}));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.stderrText.find("standard output"), std::string::npos) << outcome.stderrText;
  expectNoSanitizerReport(outcome.stderrText);
  // A descriptor the process opened later must not have taken the place of standard output.
  EXPECT_EQ(readFile(cacheFile(address)), pngBytes());
  expectOnlyCacheFiles();
}

}  // namespace
