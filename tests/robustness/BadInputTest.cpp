// Malformed and unbounded input given to the extension executable: each bad line or file is
// reported on standard error by its number or name, every other request is still shown
// exactly once, and bad usage stops the process before it reads anything. What makes a line
// or payload bad is the parser's own table (PushPayloadTest); here one of each kind shows
// that the process reports it and goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

constexpr std::size_t kMiB = 1024 * 1024;

// Standard error has a line for each of `messages`, and no other.
void expectReported(const Outcome& outcome, const std::vector<std::string>& messages) {
  EXPECT_EQ(std::count(outcome.stderrText.begin(), outcome.stderrText.end(), '\n'),
            std::ssize(messages))
      << outcome.stderrText;
  for (const std::string& message : messages) {
    EXPECT_NE(outcome.stderrText.find("HalvicourtNotificationService: " + message),
              std::string::npos)
        << message << "\n"
        << outcome.stderrText;
  }
}

TEST(BadInputTest, BadLinesAreReportedByNumberAndEveryOtherRequestIsShown) {
  // Under the 4 MiB cap, a long line is a request like any other.
  json longBody = payload(std::nullopt);
  longBody["aps"]["alert"]["body"] = std::string(kMiB, 'b');
  const std::string input = requestLine("long", longBody) + "this is not JSON\n" +
                            R"({"id": "a", "payload": {"aps": "x"}})" + "\n" +
                            requestLine("over", payload(std::string(5 * kMiB, 'x'))) +
                            requestLine("after", payload(std::nullopt));
  const Outcome outcome = runExtension({.args = {"--time-limit", "0"}, .input = input});
  expectEachShownOnce(outcome, {"long", "after"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.shown("long")["content"]["body"], std::string(kMiB, 'b'));
  expectReported(outcome,
                 {"line 2: not valid JSON", "line 3: \"aps\" is not", "line 4: longer than 4 MiB"});
}

TEST(BadInputTest, BadFilesAreReportedByNameAndTheOthersAreShown) {
  TempDir files;
  writeFile(files.file("good.json"), payload(std::nullopt).dump());
  // A file with no end is read through the cap, not until memory runs out.
  const Outcome outcome =
      runExtension({.args = {"--time-limit", "0", "missing.json", "/dev/zero", ".", "good.json"},
                    .workingDirectory = files.path()});
  expectEachShownOnce(outcome, {"good.json"});
  EXPECT_EQ(outcome.status, 1);
  expectReported(outcome, {"missing.json: cannot read", "/dev/zero: larger than 4 MiB",
                           ".: cannot read: read(.): Is a directory"});
}

TEST(BadInputTest, UsageIsAnsweredOrRefusedBeforeAnyInputIsRead) {
  const std::string input = requestLine("r", payload(std::nullopt));
  const Outcome version = runExtension({.args = {"--version"}, .input = input});
  EXPECT_EQ(version.status, 0) << version.stderrText;
  ASSERT_EQ(version.lines.size(), 1u);
  EXPECT_TRUE(version.lines[0].starts_with("HalvicourtNotificationService 1.")) << version.lines[0];
  const Outcome refused = runExtension({.args = {"--cache-limit", "lots"}, .input = input});
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(refused.lines.empty());
  expectReported(refused, {"--cache-limit: 'lots' is not a size"});
}

}  // namespace
