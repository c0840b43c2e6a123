// The extension executable run as the platform runs it: a process of its own, started from
// the built app bundle, fed push requests and read line by line, downloading from a loopback
// server into a caches directory of the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Foundation/NSBundle.hpp"
#include "service/NotificationServiceInternal.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using notification_service_internal::md5;
using testing_support::ChildOptions;
using testing_support::ChildProcess;
using testing_support::TempDir;

namespace fs = std::filesystem;

constexpr const char* kAppex = "/PlugIns/HalvicourtNotificationService.appex";

std::string appDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/Halvicourt.app";
}

json payload(const std::optional<std::string>& image, bool mutableContent = true) {
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
  // Runs the executable of `app` with `input` on standard input, from `workingDirectory`.
  std::unique_ptr<ChildProcess> start(std::vector<std::string> args, std::string input,
                                      const std::string& app = appDirectory(),
                                      std::string workingDirectory = {}) {
    ChildOptions options;
    options.argv = {app + kAppex + "/HalvicourtNotificationService"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = {{"XDG_CACHE_HOME", cache_.path()}};
    options.stdinMode = ChildOptions::Stdin::kText;
    options.stdinText = std::move(input);
    options.workingDirectory = std::move(workingDirectory);
    auto child = std::make_unique<ChildProcess>(std::move(options));
    EXPECT_TRUE(child->started()) << child->startError();
    return child;
  }
  std::string cachesDirectory() const {
    return cache_.path() + "/" + NSBundle(appDirectory() + kAppex).bundleIdentifier().value_or("?");
  }
  // The content as the payload gave it, apart from the attachments.
  static void expectPayloadContent(json content, const json& p) {
    content.erase("attachments");
    EXPECT_EQ(content, (json{{"title", "Parcel"},
                             {"subtitle", ""},
                             {"body", "Your parcel has arrived"},
                             {"badge", 3},
                             {"sound", "default"},
                             {"threadIdentifier", "parcels"},
                             {"categoryIdentifier", "DELIVERY"},
                             {"userInfo", p}}));
  }
  // The PNG stored under its digest name in the caches directory and attached.
  void expectImageAttachment(const json& content, const std::string& address) {
    ASSERT_EQ(content["attachments"].size(), 1u) << content.dump();
    const std::string file = cachesDirectory() + "/" + md5(address) + ".png";
    EXPECT_EQ(content["attachments"][0], (json{{"identifier", "image_downloaded"},
                                               {"url", "file://" + file},
                                               {"type", "public.png"}}));
    EXPECT_EQ(testing_support::readFile(file), testing_support::pngBytes()) << file;
  }

  TempDir cache_;
  testing_support::TestServer server_;
};

// One run with requests among bad lines: each request gets its own outcome, each bad line is
// reported by its number, and the exit status says that some were bad.
TEST_F(ExtensionProcessTest, EachRequestOfAMixedInputGetsItsOutcome) {
  const std::string address = server_.url("/image.png");
  const json withImage = payload(address);
  const json fixed = payload(server_.url("/images/fixed.png"), /*mutableContent=*/false);
  std::string input = requestLine("image", withImage);  // line 1
  input += "this is not JSON\n";                        // line 2
  input += requestLine("fixed", fixed);                 // line 3
  input += "{\"id\": \"no-payload\"}\n";                // line 4
  input += "\n";                                        // line 5: blank, skipped
  // A time limit far beyond the safety deadline: only the download can deliver in time.
  auto child = start({"--time-limit", "3600"}, input);
  std::map<std::string, json> byId;
  for (const std::string& text : child->readAllLines()) {
    json line = parse(text);
    EXPECT_TRUE(byId.emplace(line["id"], line).second) << "shown twice: " << text;
  }
  EXPECT_EQ(child->wait(), 1);
  ASSERT_EQ(byId.size(), 2u);

  const json& image = byId["image"];
  EXPECT_EQ(image["source"], "extension");
  EXPECT_EQ(image["call"], 1);
  EXPECT_EQ(image["expired"], false);
  EXPECT_EQ(image["shown"], true);
  expectPayloadContent(image["content"], withImage);
  expectImageAttachment(image["content"], address);

  // Content that may not change is shown at once as it arrived; nothing is fetched.
  const json& original = byId["fixed"];
  EXPECT_EQ(original["source"], "original");
  EXPECT_EQ(original["reason"], "not-mutable");
  EXPECT_EQ(original["shown"], true);
  expectPayloadContent(original["content"], fixed);
  EXPECT_EQ(original["content"]["attachments"], json::array());
  EXPECT_EQ(server_.hits("/images/fixed.png"), 0);

  const std::string& err = child->stderrText();
  EXPECT_NE(err.find("line 2"), std::string::npos) << err;
  EXPECT_NE(err.find("line 4"), std::string::npos) << err;
  EXPECT_EQ(err.find("line 1"), std::string::npos) << err;
  EXPECT_EQ(err.find("line 3"), std::string::npos) << err;
}

TEST_F(ExtensionProcessTest, WithoutAnImageDeliversOnlyAtExpiry) {
  const json p = payload(std::nullopt);
  auto child = start({"--time-limit", "0.5"}, requestLine("none", p));
  std::vector<std::string> lines = child->readAllLines();
  EXPECT_EQ(child->wait(), 0) << child->stderrText();
  ASSERT_EQ(lines.size(), 1u);
  const json line = parse(lines[0]);
  EXPECT_EQ(line["source"], "extension");
  EXPECT_EQ(line["expired"], true);
  EXPECT_EQ(line["shown"], true);
  expectPayloadContent(line["content"], p);
  EXPECT_EQ(line["content"]["attachments"], json::array());
}

TEST_F(ExtensionProcessTest, SlowImageIsShownAtExpiryThenDeliveredAgainWithTheAttachment) {
  const std::string address = server_.url("/gate/slow.png");
  auto child = start({"--time-limit", "1"}, requestLine("slow", payload(address)));
  std::optional<std::string> first = child->readLine();
  ASSERT_TRUE(first) << child->stderrText();
  json expiry = parse(*first);
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
  expectImageAttachment(late["content"], address);
  EXPECT_EQ(child->readLine(), std::nullopt);
  EXPECT_EQ(child->wait(), 0) << child->stderrText();
}

TEST_F(ExtensionProcessTest, OnlyAnUntouchedCopyOfTheBundleRuns) {
  struct Row {
    const char* what;
    void (*tamper)(const std::string& appex);
    int status;
    const char* stderrHas;
  } const rows[] = {
      // Run from elsewhere, the copy still finds its libraries through its run path.
      {"untouched", [](const std::string&) {}, 0, nullptr},
      {"a byte of the executable changed",
       [](const std::string& appex) {
         const std::string exe = appex + "/HalvicourtNotificationService";
         std::string bytes = testing_support::readFile(exe);
         const std::size_t at = bytes.find("<key>application-identifier</key>");
         ASSERT_NE(at, std::string::npos);
         bytes[at + 5] = 'A';  // inside the entitlements: the program still runs
         testing_support::writeFile(exe, bytes);
       },
       78, "HalvicourtNotificationService"},
      {"the signature removed",
       [](const std::string& appex) { fs::remove_all(appex + "/_CodeSignature"); }, 78,
       "signature"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string app = dir.file("Halvicourt.app");
    std::error_code ec;
    fs::copy(appDirectory(), app, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
    ASSERT_FALSE(ec) << ec.message();
    row.tamper(app + kAppex);
    auto child = start({}, requestLine("t", payload(std::nullopt, false)), app, dir.path());
    std::vector<std::string> lines = child->readAllLines();
    EXPECT_EQ(child->wait(), row.status) << child->stderrText();
    EXPECT_EQ(lines.size(), row.status == 0 ? 1u : 0u) << ::testing::PrintToString(lines);
    if (row.stderrHas != nullptr) {
      // The message says that the extension was refused, and which part is wrong.
      const std::string& err = child->stderrText();
      const std::size_t refused = err.find("cannot start the extension");
      ASSERT_NE(refused, std::string::npos) << err;
      EXPECT_NE(err.find(row.stderrHas, refused), std::string::npos) << err;
    }
  }
}

}  // namespace
