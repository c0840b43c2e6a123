// Malformed input given to the extension executable: each bad line or file is reported on
// standard error by its number or name, and every other request is still shown exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/robustness/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace robustness {
namespace {

using nlohmann::json;
using testing_support::TempDir;
using testing_support::TestServer;

constexpr std::size_t kMiB = 1024 * 1024;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One input line: either a request that must be shown, or a line that must be reported.
struct Line {
  const char* what;
  std::string text;            // without the newline
  std::string id;              // for a request: its identifier
  std::string complaint = {};  // for a bad line: what standard error says after "line N: "
};

Line request(const char* what, const std::string& id, const json& payload) {
  return Line{what, requestLine(id, payload).substr(0, requestLine(id, payload).size() - 1), id};
}

TEST(BadInputTest, BadLinesAreReportedByNumberAndEveryOtherRequestIsShown) {
  TestServer server;
  TempDir home;
  std::string deep = std::string(kMiB / 2, '[') + std::string(kMiB / 2, ']');
  json longBody = mutablePayload(std::nullopt);
  longBody["aps"]["alert"]["body"] = std::string(kMiB, 'b');
  const std::vector<Line> lines = {
      {"not JSON", "this is not JSON", "", "not valid JSON"},
      request("a valid request with an image", "with-image",
              mutablePayload(server.url("/image.png"))),
      {"JSON that is not an object", "[1, 2, 3]", "", "not a JSON object"},
      {"payload that is not an object", R"({"id": "p", "payload": [1]})", "",
       "\"payload\" is not a JSON object"},
      {"no payload", R"({"id": "p"})", "", "no \"payload\""},
      {"aps that is not an object", R"({"id": "a", "payload": {"aps": "x"}})", "",
       "\"aps\" is not an object"},
      {"mutable-content of the wrong type",
       R"({"id": "m", "payload": {"aps": {"alert": "b", "mutable-content": "1"}}})", "",
       "\"aps.mutable-content\" is not a number"},
      {"bytes that are not UTF-8", "{\"id\": \"\xff\xfe\", \"payload\": {}}", "", "not valid JSON"},
      {"a NUL byte", std::string("{\"id\": \"a\0b\", \"payload\": {}}", 29), "", "not valid JSON"},
      {"a 1 MiB line nested half a million deep",
       R"({"id": "deep", "payload": {"aps": {"alert": "b", "mutable-content": 1}, "x": )" + deep +
           "}}",
       "", "nested deeper than"},
      request("a 1 MiB line that is a valid request", "long", longBody),
      request("image as a number", "image-number",
              json::parse(R"({"aps": {"alert": "b", "mutable-content": 1}, "image": 42})")),
      request("image as an array", "image-array",
              json::parse(R"({"aps": {"alert": "b", "mutable-content": 1}, "image": ["x"]})")),
      request("image as an object", "image-object",
              json::parse(R"({"aps": {"alert": "b", "mutable-content": 1}, "image": {}})")),
      request("image as null", "image-null",
              json::parse(R"({"aps": {"alert": "b", "mutable-content": 1}, "image": null})")),
      request("image as empty text", "image-empty", mutablePayload("")),
      request("image with spaces", "image-spaces", mutablePayload(server.url("/a b.png"))),
      request("image with non-ASCII text", "image-non-ascii",
              mutablePayload(server.url("/\xC3\xA9t\xC3\xA9.png"))),
  };
  std::string input;
  std::vector<std::string> ids;
  std::vector<std::string> complaints;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    input += lines[i].text + "\n";
    if (lines[i].complaint.empty()) {
      ids.push_back(lines[i].id);
    } else {
      complaints.push_back("HalvicourtNotificationService: line " + std::to_string(i + 1) + ": " +
                           lines[i].complaint);
    }
  }
  Invocation run;
  run.args = {"--time-limit", "1"};
  run.input = input;
  run.cacheHome = home.path();
  Outcome outcome = runExtension(run);

  expectEachShownExactlyOnce(outcome, ids);
  expectNoSanitizerReport(outcome.stderrText);
  EXPECT_EQ(outcome.status, 1);
  // One message per bad line, naming it; nothing about the requests that were accepted.
  const std::vector<std::string> messages = splitLines(outcome.stderrText);
  EXPECT_EQ(messages.size(), complaints.size()) << outcome.stderrText;
  for (const std::string& complaint : complaints) {
    SCOPED_TRACE(complaint);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [&](const std::string& m) { return m.rfind(complaint, 0) == 0; }),
              1)
        << outcome.stderrText;
  }
  for (const Line& line : lines) {
    if (!line.complaint.empty()) continue;
    SCOPED_TRACE(line.what);
    const json shown = shownEvent(outcome, line.id);
    ASSERT_TRUE(shown.is_object());
    EXPECT_EQ(shown["source"], "extension");
    if (line.id == "with-image") {
      EXPECT_EQ(shown["content"]["attachments"].size(), 1u);
    } else {
      // No usable image: the extension waits for the expiry and delivers what it has.
      EXPECT_EQ(shown["expired"], true);
      EXPECT_EQ(shown["content"]["attachments"], json::array());
    }
  }
  EXPECT_EQ(shownEvent(outcome, "long")["content"]["body"].get<std::string>().size(), kMiB);
}

TEST(BadInputTest, BadFilesAreReportedByNameAndTheOthersAreShown) {
  TempDir home;
  TempDir files;
  testing_support::writeFile(files.file("good.json"), mutablePayload(std::nullopt).dump());
  testing_support::writeFile(files.file("plain.json"), R"({"aps": {"alert": "hi"}})");
  testing_support::writeFile(files.file("broken.json"), R"({"aps": )");
  testing_support::writeFile(files.file("array.json"), "[]");
  testing_support::writeFile(files.file("deep.json"), R"({"aps": {"alert": "b"}, "x": )" +
                                                          std::string(kMiB / 2, '[') +
                                                          std::string(kMiB / 2, ']') + "}");
  testing_support::writeFile(files.file("aps.json"), R"({"aps": 7})");
  const struct {
    std::string file;
    const char* complaint;  // null for a good file
  } cases[] = {
      {"good.json", nullptr},
      {"missing.json", "cannot read"},
      {"broken.json", "not valid JSON"},
      {"plain.json", nullptr},
      {"array.json", "payload is not a JSON object"},
      {"deep.json", "nested deeper than"},
      {"aps.json", "\"aps\" is not an object"},
      {".", "cannot read"},
  };
  Invocation run;
  run.args = {"--time-limit", "1"};
  std::vector<std::string> ids;
  for (const auto& c : cases) {
    run.args.push_back(c.file);
    if (c.complaint == nullptr) ids.push_back(c.file);
  }
  run.cacheHome = home.path();
  run.workingDirectory = files.path();
  Outcome outcome = runExtension(run);

  expectEachShownExactlyOnce(outcome, ids);
  expectNoSanitizerReport(outcome.stderrText);
  EXPECT_EQ(outcome.status, 1);
  for (const auto& c : cases) {
    if (c.complaint == nullptr) continue;
    SCOPED_TRACE(c.file);
    EXPECT_NE(
        outcome.stderrText.find("HalvicourtNotificationService: " + c.file + ": " + c.complaint),
        std::string::npos)
        << outcome.stderrText;
  }
}

}  // namespace
}  // namespace robustness
