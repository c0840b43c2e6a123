// The extension executable run as the platform runs it: a process of its own, started from
// the built app bundle, fed push requests, downloading from a loopback server into a caches
// directory of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;
namespace fs = std::filesystem;

// A line as the extension prints it: the request, the delivery, and the content as the
// payload gave it with `attachments`.
json line(const std::string& id, json delivery, const json& p, const json& attachments) {
  delivery["id"] = id;
  delivery["content"] = {{"title", "Parcel"},
                         {"subtitle", ""},
                         {"body", "Your parcel has arrived"},
                         {"badge", 3},
                         {"sound", "default"},
                         {"threadIdentifier", "parcels"},
                         {"categoryIdentifier", "DELIVERY"},
                         {"userInfo", p},
                         {"attachments", attachments}};
  return delivery;
}

class ExtensionProcessTest : public ::testing::Test {
 protected:
  // The PNG from `address`, stored under its digest name in the caches directory, attached.
  json image(const std::string& address) {
    const std::string file = cache_.file(bundleIdentifier() + "/" + md5Hex(address) + ".png");
    EXPECT_EQ(readFile(file), pngBytes()) << file;
    return json::array(
        {{{"identifier", "image_downloaded"}, {"url", "file://" + file}, {"type", "public.png"}}});
  }

  TempDir cache_;
  TestServer server_;
};

TEST_F(ExtensionProcessTest, AnImageIsAttachedAndFixedContentIsShownAsItCame) {
  const std::string address = server_.url("/image.png");
  const json withImage = payload(address);
  const json fixed = payload(server_.url("/images/fixed.png"), /*mutableContent=*/false);
  // A time limit far beyond the safety net: only the download can deliver in time.
  const Outcome outcome =
      runExtension({.args = {"--time-limit", "3600"},
                    .input = requestLine("image", withImage) + requestLine("fixed", fixed),
                    .cacheHome = cache_.path()});
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, {"image", "fixed"});
  EXPECT_EQ(
      outcome.shown("image"),
      line("image", {{"source", "extension"}, {"call", 1}, {"expired", false}, {"shown", true}},
           withImage, image(address)));
  // Content that may not change is shown at once as it arrived; nothing is fetched.
  EXPECT_EQ(outcome.shown("fixed"),
            line("fixed", {{"source", "original"}, {"reason", "not-mutable"}, {"shown", true}},
                 fixed, json::array()));
  EXPECT_EQ(server_.hits("/images/fixed.png"), 0);
}

TEST_F(ExtensionProcessTest, ExpiryShowsWhatThereIsAndALateImageIsDeliveredAgain) {
  const std::string address = server_.url("/gate/slow.png");
  const json slow = payload(address);
  const json none = payload(std::nullopt);
  ExtensionProcess process({.args = {"--time-limit", "2"},
                            .input = requestLine("slow", slow) + requestLine("none", none),
                            .cacheHome = cache_.path()});
  // The download may end only after its request was shown at the expiry.
  while (std::optional<std::string> text = process.readLine()) {
    if (text->find("\"id\":\"slow\"") != std::string::npos) server_.openGate("slow.png");
  }
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, {"slow", "none"});
  const json expired = {{"source", "extension"}, {"call", 1}, {"expired", true}, {"shown", true}};
  EXPECT_EQ(outcome.shown("none"), line("none", expired, none, json::array()));
  std::vector<json> slowLines;
  std::copy_if(outcome.events.begin(), outcome.events.end(), std::back_inserter(slowLines),
               [](const json& e) { return e["id"] == "slow"; });
  EXPECT_EQ(
      slowLines,
      (std::vector<json>{
          line("slow", expired, slow, json::array()),
          line("slow", {{"source", "extension"}, {"call", 2}, {"expired", true}, {"shown", false}},
               slow, image(address))}));
}

TEST_F(ExtensionProcessTest, SIGTERMShowsEveryRequestAtOnceAndExitsAsAtTheEndOfInput) {
  // Standard input stays open, so the input reader is waiting on it when the signal comes.
  TempDir dir;
  const std::string fifo = dir.file("in");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int feed = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(feed, 0);
  ExtensionProcess process({.args = {"--time-limit", "3600"},
                            .cacheHome = cache_.path(),
                            .wrapper = {"/bin/sh", "-c", "exec \"$0\" \"$@\" < " + fifo}});
  const std::string input = requestLine("plain", payload(std::nullopt)) +
                            requestLine("slow", payload(server_.url("/gate/held.png")));
  ASSERT_EQ(write(feed, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  // Both requests are with the extension once the second one's download has begun.
  ASSERT_TRUE(server_.waitForGateArrivals("held.png", 1));
  ASSERT_EQ(kill(process.pid(), SIGTERM), 0);
  const Outcome outcome = process.finish();
  close(feed);
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, {"plain", "slow"});
  EXPECT_EQ(outcome.lines.size(), 2u);
  for (const char* id : {"plain", "slow"}) {
    EXPECT_EQ(outcome.shown(id)["expired"], true) << id;
  }
}

TEST_F(ExtensionProcessTest, ATamperedCopyOfTheBundleIsRefused) {
  const struct {
    const char* what;
    void (*tamper)(const std::string& appex);
    const char* part;  // what the message names as wrong
  } rows[] = {
      {"a byte of the executable changed",
       [](const std::string& appex) {
         const std::string exe = appex + "/HalvicourtNotificationService";
         std::string bytes = readFile(exe);
         // Inside the entitlements: the program would still run.
         bytes[bytes.find("<key>application-identifier</key>") + 5] = 'A';
         writeFile(exe, bytes);
       },
       "HalvicourtNotificationService"},
      {"the signature removed",
       [](const std::string& appex) { fs::remove_all(appex + "/_CodeSignature"); }, "signature"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string app = dir.file("Halvicourt.app");
    fs::copy(appDirectory(), app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    row.tamper(app + kAppex);
    const Outcome outcome = runExtension(
        {.input = requestLine("t", payload(std::nullopt)), .cacheHome = cache_.path(), .app = app});
    EXPECT_EQ(outcome.status, 78) << outcome.stderrText;
    EXPECT_TRUE(outcome.lines.empty());
    const std::size_t refused = outcome.stderrText.find("cannot start the extension");
    ASSERT_NE(refused, std::string::npos) << outcome.stderrText;
    EXPECT_NE(outcome.stderrText.find(row.part, refused), std::string::npos);
  }
}

}  // namespace
