// The extension executable run as the platform runs it: a process of its own, started from
// the built app bundle, fed push requests and read line by line, downloading from a loopback
// server into a caches directory of the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Foundation/NSBundle.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using testing_support::ChildOptions;
using testing_support::ChildProcess;
using testing_support::TempDir;
using testing_support::TestServer;

namespace fs = std::filesystem;

constexpr const char* kExecutableName = "HalvicourtNotificationService";
constexpr const char* kAppexInApp = "PlugIns/HalvicourtNotificationService.appex";

std::string appDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/Halvicourt.app";
}

std::string executableIn(const std::string& app) {
  return app + "/" + kAppexInApp + "/" + kExecutableName;
}

std::string bundleIdentifier() {
  NSBundle appex(appDirectory() + "/" + kAppexInApp);
  return appex.bundleIdentifier().value_or("com.halvicourt.app.HalvicourtNotificationService");
}

// The lowercase hex MD5 of `text`, from coreutils rather than from the code under test.
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

json payload(const std::optional<std::string>& image, bool mutableContent = true) {
  json aps = {{"alert", {{"title", "Parcel"}, {"body", "Your parcel has arrived"}}},
              {"badge", 3},
              {"sound", "default"},
              {"thread-id", "parcels"},
              {"category", "DELIVERY"}};
  if (mutableContent) aps["mutable-content"] = 1;
  json p = {{"aps", aps}};
  if (image) p["image"] = *image;
  return p;
}

std::string requestLine(const std::string& id, const json& p) {
  return json{{"id", id}, {"payload", p}}.dump() + "\n";
}

json parse(const std::string& line) {
  json j = json::parse(line, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
  return j;
}

class ExtensionProcessTest : public ::testing::Test {
 protected:
  std::string cachesDirectory() const { return cache_.path() + "/" + bundleIdentifier(); }

  std::unique_ptr<ChildProcess> start(std::vector<std::string> args, ChildOptions::Stdin mode,
                                      std::string stdinText = {},
                                      const std::string& app = appDirectory(),
                                      std::string workingDirectory = {}) {
    ChildOptions options;
    options.argv = {executableIn(app)};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = {{"XDG_CACHE_HOME", cache_.path()}};
    options.stdinMode = mode;
    options.stdinText = std::move(stdinText);
    options.workingDirectory = std::move(workingDirectory);
    auto child = std::make_unique<ChildProcess>(std::move(options));
    EXPECT_TRUE(child->started()) << child->startError();
    return child;
  }

  // Checks a delivered attachment: the image stored under its digest name in the caches
  // directory, byte for byte what the server sent.
  void expectImageAttachment(const json& content, const std::string& address,
                             const std::string& bytes, const std::string& extension,
                             const std::string& type) {
    ASSERT_EQ(content["attachments"].size(), 1u) << content.dump();
    const json& attachment = content["attachments"][0];
    EXPECT_EQ(attachment["identifier"], "image_downloaded");
    EXPECT_EQ(attachment["type"], type);
    const std::string file = cachesDirectory() + "/" + md5sum(address) + "." + extension;
    EXPECT_EQ(attachment["url"], "file://" + file);
    EXPECT_EQ(testing_support::readFile(file), bytes) << file;
  }

  TempDir cache_;
  TestServer server_;
};

// The content as the payload gave it, apart from the attachments.
void expectPayloadContent(const json& content, const json& p) {
  EXPECT_EQ(content["title"], "Parcel");
  EXPECT_EQ(content["subtitle"], "");
  EXPECT_EQ(content["body"], "Your parcel has arrived");
  EXPECT_EQ(content["badge"], 3);
  EXPECT_EQ(content["sound"], "default");
  EXPECT_EQ(content["threadIdentifier"], "parcels");
  EXPECT_EQ(content["categoryIdentifier"], "DELIVERY");
  EXPECT_EQ(content["userInfo"], p);
}

// --- Delivery ---------------------------------------------------------------------------

TEST_F(ExtensionProcessTest, DeliversTheImageAsAnAttachmentWithoutWaitingForExpiry) {
  const std::string address = server_.url("/image.png");
  const json p = payload(address);
  // A time limit far beyond the safety deadline: only the download can deliver in time.
  auto child = start({"--time-limit", "3600"}, ChildOptions::Stdin::kText, requestLine("r1", p));

  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();
  ASSERT_EQ(lines.size(), 1u);
  json line = parse(lines[0]);
  EXPECT_EQ(line["id"], "r1");
  EXPECT_EQ(line["source"], "extension");
  EXPECT_EQ(line["call"], 1);
  EXPECT_EQ(line["expired"], false);
  EXPECT_EQ(line["shown"], true);
  expectPayloadContent(line["content"], p);
  expectImageAttachment(line["content"], address, testing_support::pngBytes(), "png", "public.png");
  EXPECT_EQ(server_.hits("/image.png"), 1);
  EXPECT_EQ(child->stderrText(), "");
}

TEST_F(ExtensionProcessTest, WithoutAnImageDeliversOnlyAtExpiry) {
  const json p = payload(std::nullopt);
  auto child = start({"--time-limit", "0.5"}, ChildOptions::Stdin::kText, requestLine("r1", p));

  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();
  ASSERT_EQ(lines.size(), 1u);
  json line = parse(lines[0]);
  EXPECT_EQ(line["source"], "extension");
  EXPECT_EQ(line["call"], 1);
  EXPECT_EQ(line["expired"], true);
  EXPECT_EQ(line["shown"], true);
  expectPayloadContent(line["content"], p);
  EXPECT_EQ(line["content"]["attachments"], json::array());
}

TEST_F(ExtensionProcessTest, ContentThatMayNotChangeIsShownAtOnceAsItArrived) {
  const json p = payload(server_.url("/image.png"), /*mutableContent=*/false);
  auto child = start({"--time-limit", "3600"}, ChildOptions::Stdin::kText, requestLine("r1", p));

  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();
  ASSERT_EQ(lines.size(), 1u);
  json line = parse(lines[0]);
  EXPECT_EQ(line["id"], "r1");
  EXPECT_EQ(line["source"], "original");
  EXPECT_EQ(line["reason"], "not-mutable");
  EXPECT_EQ(line["shown"], true);
  expectPayloadContent(line["content"], p);
  EXPECT_EQ(line["content"]["attachments"], json::array());
  EXPECT_EQ(server_.hits("/image.png"), 0);
  // The host makes the container at start, whether or not anything is stored in it.
  EXPECT_TRUE(fs::is_directory(cachesDirectory()));
}

TEST_F(ExtensionProcessTest, SlowImageIsShownAtExpiryThenDeliveredAgainWithTheAttachment) {
  const std::string address = server_.url("/gate/slow.png");
  const json p = payload(address);
  auto child = start({"--time-limit", "1"}, ChildOptions::Stdin::kText, requestLine("slow", p));

  std::optional<std::string> first = child->readLine();
  ASSERT_TRUE(first) << child->stderrText();
  json expiry = parse(*first);
  EXPECT_EQ(expiry["source"], "extension");
  EXPECT_EQ(expiry["call"], 1);
  EXPECT_EQ(expiry["expired"], true);
  EXPECT_EQ(expiry["shown"], true);
  EXPECT_EQ(expiry["content"]["attachments"], json::array());

  server_.openGate("slow.png");
  std::optional<std::string> second = child->readLine();
  ASSERT_TRUE(second) << child->stderrText();
  json late = parse(*second);
  EXPECT_EQ(late["id"], "slow");
  EXPECT_EQ(late["call"], 2);
  EXPECT_EQ(late["expired"], true);
  EXPECT_EQ(late["shown"], false);
  expectImageAttachment(late["content"], address, testing_support::pngBytes(), "png", "public.png");

  EXPECT_EQ(child->readLine(), std::nullopt);
  EXPECT_EQ(child->wait(), 0) << child->stderrText();
}

TEST_F(ExtensionProcessTest, ATransferThatNeverEndsDoesNotKeepTheProcessAlive) {
  const json p = payload(server_.url("/never"));
  auto child = start({"--time-limit", "0.5"}, ChildOptions::Stdin::kText, requestLine("hung", p));

  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();
  // Shown at expiry; the cancelled transfer's late delivery comes after the output closed.
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  json line = parse(lines[0]);
  EXPECT_EQ(line["expired"], true);
  EXPECT_EQ(line["shown"], true);
  EXPECT_EQ(line["content"]["attachments"], json::array());
}

TEST_F(ExtensionProcessTest, RequestsAreHandledAsTheirLinesArrive) {
  auto child = start({"--time-limit", "3600"}, ChildOptions::Stdin::kOpen);
  // Each answer is read before the next line is written, so a host that waited for the end
  // of its input would never answer.
  ASSERT_TRUE(child->writeStdin(requestLine("first", payload(std::nullopt, false))));
  std::optional<std::string> first = child->readLine();
  ASSERT_TRUE(first) << child->stderrText();
  EXPECT_EQ(parse(*first)["id"], "first");

  ASSERT_TRUE(child->writeStdin(requestLine("second", payload(server_.url("/image.jpg")))));
  std::optional<std::string> second = child->readLine();
  ASSERT_TRUE(second) << child->stderrText();
  json line = parse(*second);
  EXPECT_EQ(line["id"], "second");
  expectImageAttachment(line["content"], server_.url("/image.jpg"), testing_support::jpegBytes(),
                        "jpg", "public.jpeg");

  child->closeStdin();
  EXPECT_EQ(child->readLine(), std::nullopt);
  EXPECT_EQ(child->wait(), 0) << child->stderrText();
}

TEST_F(ExtensionProcessTest, ManyRequestsAtOnceAreEachShownExactlyOnce) {
  constexpr int kRequests = 50;
  std::string input;
  std::map<std::string, std::string> kind;  // id -> what the request carries
  for (int i = 0; i < kRequests; ++i) {
    const std::string id = "m" + std::to_string(i);
    switch (i % 4) {
      case 0:
        kind[id] = "image";
        input += requestLine(id, payload(server_.url("/images/" + std::to_string(i) + ".png")));
        break;
      case 1:
        kind[id] = "none";
        input += requestLine(id, payload(std::nullopt));
        break;
      case 2:
        kind[id] = "not-mutable";
        input += requestLine(id, payload(server_.url("/image.png"), false));
        break;
      default:
        kind[id] = "missing";
        input += requestLine(id, payload(server_.url("/status/404")));
        break;
    }
  }
  auto child = start({"--time-limit", "3"}, ChildOptions::Stdin::kText, input);
  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();

  std::map<std::string, int> shown;
  std::set<std::string> attached;
  for (const std::string& text : lines) {
    json line = parse(text);
    const std::string id = line["id"];
    SCOPED_TRACE(text);
    ASSERT_TRUE(kind.count(id));
    if (line["shown"] == true) ++shown[id];
    EXPECT_EQ(line["source"], kind[id] == "not-mutable" ? "original" : "extension");
    if (!line["content"]["attachments"].empty()) attached.insert(id);
  }
  for (const auto& [id, what] : kind) {
    SCOPED_TRACE(id + " (" + what + ")");
    EXPECT_EQ(shown[id], 1);
    EXPECT_EQ(attached.count(id), what == "image" ? 1u : 0u);
  }
}

// --- Input errors -----------------------------------------------------------------------

TEST_F(ExtensionProcessTest, MalformedLinesAreReportedByNumberAndTheRestStillDelivered) {
  std::string input = requestLine("good1", payload(std::nullopt, false));
  input += "this is not JSON\n";  // line 2
  input += "[1, 2, 3]\n";         // line 3
  input += R"({"id": "no-payload"})"
           "\n";  // line 4
  input += "\n";  // blank: skipped, still counted
  input += requestLine("good2", payload(server_.url("/image.png")));  // line 6
  input += R"({"payload": {"aps": {"alert": "unnamed"}}})"
           "\n";  // line 7: id "7"
  auto child = start({"--time-limit", "3600"}, ChildOptions::Stdin::kText, input);

  std::vector<std::string> lines = child->readAllLines();
  EXPECT_EQ(child->wait(), 1);
  std::set<std::string> ids;
  for (const std::string& text : lines) ids.insert(parse(text)["id"].get<std::string>());
  EXPECT_EQ(ids, (std::set<std::string>{"good1", "good2", "7"}));
  const std::string& err = child->stderrText();
  for (const char* named : {"line 2", "line 3", "line 4"}) {
    EXPECT_NE(err.find(named), std::string::npos) << named << " missing from: " << err;
  }
  EXPECT_EQ(err.find("line 1:"), std::string::npos) << err;
  EXPECT_EQ(err.find("line 6"), std::string::npos) << err;
  EXPECT_EQ(err.find("line 7"), std::string::npos) << err;
}

TEST_F(ExtensionProcessTest, PayloadFilesAreRequestsNamedAsGivenAndUnreadableOnesReported) {
  TempDir work;
  testing_support::writeFile(work.file("plain.json"), payload(std::nullopt, false).dump());
  fs::create_directory(work.file("sub"));
  testing_support::writeFile(work.file("sub/image.json"),
                             payload(server_.url("/image.png")).dump());
  testing_support::writeFile(work.file("broken.json"), "{\"aps\": ");
  fs::create_directory(work.file("folder.json"));

  // Relative names, run from the folder that holds them: the identifier is the argument as
  // given, not a resolved path.
  auto child = start({"--time-limit", "3600", "plain.json", "missing.json", "./sub/image.json",
                      "broken.json", "folder.json"},
                     ChildOptions::Stdin::kClosed, {}, appDirectory(), work.path());
  std::vector<std::string> lines = child->readAllLines();
  EXPECT_EQ(child->wait(), 1);

  std::map<std::string, json> byId;
  for (const std::string& text : lines) {
    json line = parse(text);
    byId[line["id"]] = line;
  }
  ASSERT_EQ(byId.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_EQ(byId["plain.json"]["source"], "original");
  ASSERT_EQ(byId["./sub/image.json"]["content"]["attachments"].size(), 1u);
  EXPECT_EQ(byId["./sub/image.json"]["content"]["attachments"][0]["identifier"],
            "image_downloaded");
  const std::string& err = child->stderrText();
  for (const char* named : {"missing.json", "broken.json", "folder.json"}) {
    EXPECT_NE(err.find(named), std::string::npos) << named << " missing from: " << err;
  }
  EXPECT_EQ(err.find("plain.json"), std::string::npos) << err;
}

// --- Command line -----------------------------------------------------------------------

TEST_F(ExtensionProcessTest, CommandLineOptions) {
  NSBundle appex(appDirectory() + "/" + kAppexInApp);
  const std::string version = appex.stringForKeyPath("CFBundleShortVersionString").value_or("?");
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string stdoutHas;  // empty: standard output stays empty
    std::string stderrHas;  // empty: standard error stays empty
  };
  const Row rows[] = {
      {{"--help"}, 0, "usage: HalvicourtNotificationService [--time-limit SECONDS]", ""},
      {{"--version"}, 0, std::string(kExecutableName) + " " + version + "\n", ""},
      {{"--bogus"}, 2, "", "--bogus"},
      {{"-x", "file.json"}, 2, "", "-x"},
      {{"--time-limit"}, 2, "", "--time-limit"},
      {{"--time-limit", "soon"}, 2, "", "soon"},
      {{"--time-limit", "-1"}, 2, "", "-1"},
      {{"--time-limit", "1e999"}, 2, "", "1e999"},
      {{"--time-limit=nan"}, 2, "", "nan"},
      {{"--time-limit", "2s"}, 2, "", "2s"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto child = start(row.args, ChildOptions::Stdin::kClosed);
    std::string out;
    while (std::optional<std::string> line = child->readLine()) out += *line + "\n";
    EXPECT_EQ(child->wait(), row.status);
    if (row.stdoutHas.empty()) {
      EXPECT_EQ(out, "");
    } else {
      EXPECT_NE(out.find(row.stdoutHas), std::string::npos) << out;
    }
    if (row.stderrHas.empty()) {
      EXPECT_EQ(child->stderrText(), "");
    } else {
      EXPECT_NE(child->stderrText().find(row.stderrHas), std::string::npos) << child->stderrText();
    }
  }
}

// --- The signed bundle ------------------------------------------------------------------

// A copy of the whole app in a folder of its own, as an installer would place it.
class CopiedBundleTest : public ExtensionProcessTest {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::copy(appDirectory(), app(), fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  std::string app() const { return copy_.file("Halvicourt.app"); }
  std::string appex() const { return app() + "/" + kAppexInApp; }

  TempDir copy_;
};

void appendByte(const std::string& path) {
  std::string bytes = testing_support::readFile(path);
  bytes.push_back('\0');
  testing_support::writeFile(path, bytes);
}

// Changes one byte inside the embedded entitlements: the file stays a runnable program.
void flipEntitlementsByte(const std::string& path) {
  std::string bytes = testing_support::readFile(path);
  std::size_t at = bytes.find("<key>application-identifier</key>");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 5] = 'A';
  testing_support::writeFile(path, bytes);
}

void editInfoPlist(const std::string& path) {
  std::string text = testing_support::readFile(path);
  std::size_t at = text.find("<key>CFBundleVersion</key>");
  ASSERT_NE(at, std::string::npos);
  text.insert(at, "<key>Edited</key>\n\t<true/>\n\t");
  testing_support::writeFile(path, text);
}

TEST_F(CopiedBundleTest, AnUntouchedCopyRunsFromAnyDirectory) {
  TempDir elsewhere;
  auto child =
      start({}, ChildOptions::Stdin::kText, requestLine("copy", payload(server_.url("/image.png"))),
            app(), elsewhere.path());
  std::vector<std::string> lines = child->readAllLines();
  ASSERT_EQ(child->wait(), 0) << child->stderrText();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0])["content"]["attachments"].size(), 1u);
}

TEST_F(ExtensionProcessTest, ATamperedBundleIsRefused) {
  struct Row {
    const char* what;
    void (*tamper)(const std::string& appex);
    const char* stderrHas;
  };
  const Row rows[] = {
      {"a byte appended to the executable",
       [](const std::string& a) { appendByte(a + "/" + kExecutableName); }, kExecutableName},
      {"a byte of the executable changed",
       [](const std::string& a) { flipEntitlementsByte(a + "/" + kExecutableName); },
       kExecutableName},
      {"Info.plist edited", [](const std::string& a) { editInfoPlist(a + "/Info.plist"); },
       "Info.plist"},
      {"the signature removed", [](const std::string& a) { fs::remove_all(a + "/_CodeSignature"); },
       "signature"},
      {"Info.plist removed", [](const std::string& a) { fs::remove(a + "/Info.plist"); },
       "Info.plist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string app = dir.file("Halvicourt.app");
    std::error_code ec;
    fs::copy(appDirectory(), app, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
    ASSERT_FALSE(ec) << ec.message();
    row.tamper(app + "/" + kAppexInApp);

    auto child =
        start({}, ChildOptions::Stdin::kText, requestLine("t", payload(std::nullopt, false)), app);
    std::vector<std::string> lines = child->readAllLines();
    EXPECT_EQ(child->wait(), 78);
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    // The message says that the extension was refused, and which part of the bundle is wrong.
    const std::string& err = child->stderrText();
    const std::size_t refused = err.find("cannot start the extension");
    ASSERT_NE(refused, std::string::npos) << err;
    EXPECT_NE(err.find(row.stderrHas, refused), std::string::npos) << err;
  }
}

}  // namespace
