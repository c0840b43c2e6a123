// Malformed input and command lines given to the extension executable: each bad line or file
// is reported on standard error by its number or name, every other request is still shown
// exactly once, and bad usage stops the process before it reads anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

constexpr std::size_t kMiB = 1024 * 1024;
const std::string kDeep = std::string(kMiB / 2, '[') + std::string(kMiB / 2, ']');

TEST(BadInputTest, BadLinesAreReportedByNumberAndEveryOtherRequestIsShown) {
  TestServer server;
  TempDir home;
  const struct {
    std::string text;
    const char* complaint;  // after "HalvicourtNotificationService: line N: "
  } bad[] = {
      {"this is not JSON", "not valid JSON"},
      {"[1, 2, 3]", "not a JSON object"},
      {R"({"id": "p", "payload": [1]})", "\"payload\" is not"},
      {R"({"id": "p"})", "no \"payload\""},
      {R"({"id": "a", "payload": {"aps": "x"}})", "\"aps\" is not"},
      {R"({"id": "m", "payload": {"aps": {"alert": "b", "mutable-content": "1"}}})",
       "\"aps.mutable-content\" is not a number"},
      {"{\"id\": \"\xff\xfe\", \"payload\": {}}", "not valid JSON"},
      // A 1 MiB line nested half a million levels deep.
      {R"({"id": "deep", "payload": {"aps": {"alert": "b"}, "x": )" + kDeep + "}}",
       "nested deeper than"},
  };
  // Valid requests, only without an address to fetch: shown at the expiry, not reported.
  const json images[] = {42, json::array({"x"}),     json::object(),
                         "", server.url("/a b.png"), server.url("/\xC3\xA9t\xC3\xA9.png")};
  std::string input;
  for (const auto& line : bad) input += line.text + "\n";
  json longBody = payload(std::nullopt);
  longBody["aps"]["alert"]["body"] = std::string(kMiB, 'b');
  std::vector<std::string> ids = {"a 1 MiB line"};
  input += requestLine(ids[0], longBody);
  for (const json& image : images) {
    json p = payload(std::nullopt);
    p["image"] = image;
    ids.push_back("image " + image.dump());
    input += requestLine(ids.back(), p);
  }
  const Outcome outcome =
      runExtension({.args = {"--time-limit", "1"}, .input = input, .cacheHome = home.path()});
  expectEachShownOnce(outcome, ids);
  EXPECT_EQ(outcome.status, 1);
  // One message per bad line, naming it; nothing about the requests that were accepted.
  EXPECT_EQ(std::count(outcome.stderrText.begin(), outcome.stderrText.end(), '\n'), std::ssize(bad))
      << outcome.stderrText;
  for (std::size_t i = 0; i < std::size(bad); ++i) {
    EXPECT_NE(outcome.stderrText.find("HalvicourtNotificationService: line " +
                                      std::to_string(i + 1) + ": " + bad[i].complaint),
              std::string::npos)
        << bad[i].complaint << "\n"
        << outcome.stderrText;
  }
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(outcome.shown(id)["expired"], true);
    EXPECT_EQ(outcome.shown(id)["content"]["attachments"], json::array());
  }
  EXPECT_EQ(outcome.shown(ids[0])["content"]["body"], std::string(kMiB, 'b'));
}

TEST(BadInputTest, BadFilesAreReportedByNameAndTheOthersAreShown) {
  TempDir home;
  TempDir files;
  writeFile(files.file("good.json"), payload(std::nullopt).dump());
  writeFile(files.file("broken.json"), R"({"aps": )");
  writeFile(files.file("deep.json"), R"({"aps": {"alert": "b"}, "x": )" + kDeep + "}");
  const Outcome outcome = runExtension(
      {.args = {"--time-limit", "0", "good.json", "missing.json", "broken.json", "deep.json", "."},
       .cacheHome = home.path(),
       .workingDirectory = files.path()});
  expectEachShownOnce(outcome, {"good.json"});
  EXPECT_EQ(outcome.status, 1);
  for (const char* message : {"missing.json: cannot read", "broken.json: not valid JSON",
                              "deep.json: nested deeper than", ".: cannot read"}) {
    EXPECT_NE(outcome.stderrText.find(std::string("HalvicourtNotificationService: ") + message),
              std::string::npos)
        << message << "\n"
        << outcome.stderrText;
  }
}

TEST(BadInputTest, UsageIsAnsweredOrRefusedBeforeAnyInputIsRead) {
  TempDir home;
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;  // on the first line of standard output (status 0) or standard error
  } rows[] = {
      {{"--help"}, 0, "usage: HalvicourtNotificationService"},
      {{"--version"}, 0, "HalvicourtNotificationService "},
      {{"--bogus"}, 2, "unknown option '--bogus'"},
      {{"--time-limit", "soon"}, 2, "--time-limit: 'soon'"},
      {{"--time-limit=-1"}, 2, "--time-limit: '-1'"},
      {{"--time-limit"}, 2, "--time-limit needs a number"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const Outcome outcome = runExtension({.args = row.args,
                                          .input = requestLine("r", payload(std::nullopt)),
                                          .cacheHome = home.path()});
    EXPECT_EQ(outcome.status, row.status) << outcome.stderrText;
    const std::string said = row.status != 0         ? outcome.stderrText
                             : outcome.lines.empty() ? std::string()
                                                     : outcome.lines[0];
    EXPECT_NE(said.find(row.says), std::string::npos) << said;
    EXPECT_TRUE(outcome.events.empty());
  }
}

}  // namespace
