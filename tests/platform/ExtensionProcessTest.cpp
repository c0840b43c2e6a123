// The extension executable run as the platform runs it: a process of its own, started from
// the built app bundle, fed push requests, downloading from a loopback server into a caches
// directory of the test's own, its attachments taken into a store of the test's own, its
// output and its log (--log) read as the platform reads them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
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
                         {"interruptionLevel", "active"},
                         {"relevanceScore", 0},
                         {"targetContentIdentifier", nullptr},
                         {"filterCriteria", nullptr},
                         {"userInfo", p},
                         {"attachments", attachments}};
  return delivery;
}

// An event of the log (--log) without the keys that vary from run to run.
json logged(const char* category, const char* name, json fields) {
  fields["category"] = category;
  fields["event"] = name;
  return fields;
}

json loggedShown(json reason, bool expired, int attachments, int transfers) {
  return logged("host", "shown",
                {{"source", reason.is_null() ? "extension" : "original"},
                 {"reason", reason},
                 {"expired", expired},
                 {"attachments", attachments},
                 {"transfers", transfers}});
}

class ExtensionProcessTest : public ExtensionTest {
 protected:
  // The attachment of `event`: the PNG from `address`, written to the caches directory under
  // its digest name and taken from there into the store, whose own file it names.
  json image(const std::string& address, const json& event) {
    EXPECT_EQ(readFile(cacheFile(address)), pngBytes());
    const std::string url = event.value("/content/attachments/0/url"_json_pointer, std::string());
    EXPECT_TRUE(inStore(url, address));
    EXPECT_EQ(readFile(url.substr(7)), pngBytes()) << url;
    return json::array(
        {{{"identifier", "image_downloaded"}, {"url", url}, {"type", "public.png"}}});
  }
};

// The log, too, follows each request: every event of a request carries its identifier,
// whichever stand-in wrote it on whichever thread, though the extension never hands the
// identifier on; error lines stay whole plain text among the events; the run ends with a
// summary.
TEST_F(ExtensionProcessTest, AnImageIsAttachedFixedContentIsShownAsItCameAndTheLogSaysSo) {
  const std::string address = server_.url("/files/changing.png");
  server_.serveFile("changing.png", pngBytes());
  const json withImage = payload(address);
  const json fixed = payload(server_.url("/images/fixed.png"), /*mutableContent=*/false);
  // A time limit far beyond the safety net: only the download can deliver in time. "none"
  // has no image address: only the stop, which expires it at once, shows it. The requests
  // start in order, so "image" shown means that every one has started.
  ExtensionProcess process(run({"--time-limit", "3600", "--log", "info"},
                               requestLine("none", payload(std::nullopt)) +
                                   requestLine("fixed", fixed) + "not json\n" +
                                   requestLine("image", withImage)));
  while (std::optional<std::string> text = process.readLine()) {
    if (text->find("\"id\":\"image\"") != std::string::npos) kill(process.pid(), SIGTERM);
  }
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 1) << outcome.stderrText;  // for the line that is not JSON
  expectEachShownOnce(outcome, {"none", "image", "fixed"});
  const json attachments = image(address, outcome.shown("image"));
  EXPECT_EQ(
      outcome.shown("image"),
      line("image", {{"source", "extension"}, {"call", 1}, {"expired", false}, {"shown", true}},
           withImage, attachments));
  // Content that may not change is shown at once as it arrived; nothing is fetched.
  EXPECT_EQ(outcome.shown("fixed"),
            line("fixed", {{"source", "original"}, {"reason", "not-mutable"}, {"shown", true}},
                 fixed, json::array()));
  EXPECT_EQ(server_.hits("/images/fixed.png"), 0);

  std::map<std::string, std::vector<json>> events;  // by "id"; "" for the run's own
  std::vector<std::string> plain;
  std::istringstream lines(outcome.stderrText);
  for (std::string text; std::getline(lines, text);) {
    json e = json::parse(text, nullptr, false);
    if (!e.is_object()) {
      plain.push_back(text);
      continue;
    }
    const std::string id = e["id"].is_string() ? e["id"].get<std::string>() : "";
    for (const char* varying : {"id", "time", "level", "subsystem", "ms"}) e.erase(varying);
    events[id].push_back(std::move(e));
  }
  EXPECT_EQ(plain,
            std::vector<std::string>{"HalvicourtNotificationService: line 3: not valid JSON"});
  const std::string file = cacheFile(address);
  const auto bytes = pngBytes().size();
  EXPECT_EQ(
      events["image"],
      (std::vector<json>{
          logged("host", "request", {{"mutable", true}, {"reason", nullptr}}),
          logged("URLSession", "transfer",
                 {{"url", address},
                  {"status", 200},
                  {"bytes", bytes},
                  {"httpVersion", "1.1"},
                  {"redirects", 0},
                  {"error", nullptr}}),
          logged("Data", "write", {{"file", file}, {"bytes", bytes}, {"error", nullptr}}),
          logged("UNNotificationAttachment", "attachment",
                 {{"file", file}, {"accepted", true}, {"type", "public.png"}, {"reason", nullptr}}),
          logged("host", "delivery", {{"call", 1}, {"expired", false}, {"attachments", 1}}),
          loggedShown(nullptr, false, 1, 1)}));
  EXPECT_EQ(events["fixed"],
            (std::vector<json>{logged("host", "request",
                                      {{"mutable", false}, {"reason", "mutable-content is not 1"}}),
                               loggedShown("not-mutable", false, 0, 0)}));
  EXPECT_EQ(events["none"],
            (std::vector<json>{
                logged("host", "request", {{"mutable", true}, {"reason", nullptr}}),
                logged("host", "delivery", {{"call", 1}, {"expired", true}, {"attachments", 0}}),
                loggedShown(nullptr, true, 0, 0)}));
  EXPECT_EQ(events[""], std::vector<json>{logged("host", "summary",
                                                 {{"requests", 3},
                                                  {"withImage", 1},
                                                  {"withoutImage", 0},
                                                  {"atExpiry", 1},
                                                  {"original", 1},
                                                  {"toApp", 0}})});

  // The address answers with an HTML page now, which the extension stores under the same
  // name and which is not attached: the file shown before keeps its bytes.
  server_.serveFile("changing.png", "<html><body>moved</body></html>");
  const Outcome again =
      runExtension(run({"--time-limit", "3600"}, requestLine("again", withImage)));
  EXPECT_EQ(again.shown("again")["content"]["attachments"], json::array()) << again.stderrText;
  EXPECT_NE(readFile(cacheFile(address)), pngBytes());
  EXPECT_EQ(readFile(attachments[0]["url"].get<std::string>().substr(7)), pngBytes());
}

TEST_F(ExtensionProcessTest, ExpiryShowsWhatThereIsAndALateImageIsDeliveredAgain) {
  const std::string address = server_.url("/gate/slow.png");
  const json slow = payload(address);
  const json none = payload(std::nullopt);
  ExtensionProcess process(
      run({"--time-limit", "2"}, requestLine("slow", slow) + requestLine("none", none)));
  // The download may end only after its request was shown at the expiry.
  while (std::optional<std::string> text = process.readLine()) {
    if (text->find("\"id\":\"slow\"") != std::string::npos) server_.openGate("slow.png");
  }
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  expectEachShownOnce(outcome, {"slow", "none"});
  const json expired = {{"source", "extension"}, {"call", 1}, {"expired", true}, {"shown", true}};
  EXPECT_EQ(outcome.shown("none"), line("none", expired, none, json::array()));
  const std::vector<json> slowLines = outcome.of("slow");
  ASSERT_EQ(slowLines.size(), 2u);
  EXPECT_EQ(
      slowLines,
      (std::vector<json>{
          line("slow", expired, slow, json::array()),
          line("slow", {{"source", "extension"}, {"call", 2}, {"expired", true}, {"shown", false}},
               slow, image(address, slowLines[1]))}));
}

// Each directory keeps to its limit, oldest first, bursts included: a caches file is spared
// only until its attachment is done, accepted or refused.
TEST_F(ExtensionProcessTest, StorageStaysWithinItsLimitsOldestFirst) {
  // Room for four images in each of the caches directory and the store.
  const std::uint64_t room = 4 * pngBytes().size();
  testing_support::Run limited = run({"--time-limit", "3600", "--cache-limit", std::to_string(room),
                                      "--attachments-limit", std::to_string(room)});
  limited.holdInput = true;
  ExtensionProcess process(limited);
  // Sends `count` requests for `path`s of their own and waits for each one's line.
  auto send = [&](const std::string& batch, const std::string& path, int count) {
    for (int i = 0; i < count; ++i) {
      const std::string id = batch + std::to_string(i);
      process.write(requestLine(id, payload(server_.url(path + id + ".png"))));
    }
    for (int shown = 0; shown < count; ++shown) ASSERT_TRUE(process.readLine());
  };
  auto cachedBytes = [&] {
    std::uint64_t bytes = 0;
    for (const std::string& name : listDirectory(caches()))
      bytes += fs::file_size(caches() + "/" + name);
    return bytes;
  };
  send("old", "/images/", 6);
  EXPECT_EQ(listDirectory(caches()).size(), 4u);
  // A burst of pages, each over the limit alone and refused as no image.
  send("page", "/pages/", 8);
  EXPECT_LE(cachedBytes(), room);
  send("new", "/images/", 4);
  process.closeInput();
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  // The newest four are kept, the rest went oldest first.
  std::vector<std::string> cached;
  std::vector<std::string> stored;
  for (int i = 0; i < 4; ++i) {
    const std::string id = "new" + std::to_string(i);
    cached.push_back(md5Hex(server_.url("/images/" + id + ".png")) + ".png");
    // The last line: the image may have come after the expiry had shown the request.
    const std::string url = outcome.of(id).back()["content"]["attachments"].at(0)["url"];
    stored.push_back(fs::path(url).filename());
  }
  std::sort(stored.begin(), stored.end());
  std::sort(cached.begin(), cached.end());
  EXPECT_EQ(listDirectory(caches()), cached);
  EXPECT_EQ(listDirectory(storeDirectory(state_.path())), stored);
}

TEST_F(ExtensionProcessTest, DirectoriesRemovedWhileRunningAreMadeAgain) {
  testing_support::Run held = run({"--time-limit", "3600"});
  held.holdInput = true;
  ExtensionProcess process(held);
  // As cleaners do: the whole cache home, the caches directory alone, the directory moved
  // away; and the whole state home, with the store in it.
  const std::function<void()> cleanings[] = {
      [&] { fs::remove_all(cache_.path()); },
      [&] { fs::remove_all(caches()); },
      [&] { fs::rename(caches(), cwd_.file("moved")); },
      [&] { fs::remove_all(state_.path()); },
  };
  for (int i = 0; i <= 4; ++i) {
    if (i > 0) cleanings[i - 1]();
    const std::string id = "r" + std::to_string(i);
    const std::string address = server_.url("/images/" + id + ".png");
    process.write(requestLine(id, payload(address)));
    const std::optional<std::string> text = process.readLine();
    ASSERT_TRUE(text);
    image(address, json::parse(*text));
  }
  process.closeInput();
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
}

// SIGTERM, and SIGHUP as when the terminal or ssh session of a long-lived pipe closes: the run
// ends as at the end of the input, and nothing already read is lost.
TEST_F(ExtensionProcessTest, AStopShowsEveryRequestAtOnceAndExitsAsAtTheEndOfInput) {
  int arrivals = 0;
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    // Standard input stays open, so the input reader is waiting on it when the signal comes,
    // with the start of a third line read (one write under PIPE_BUF, read whole).
    testing_support::Run held =
        run({"--time-limit", "3600", "--log", "info"},
            requestLine("plain", payload(std::nullopt)) +
                requestLine("slow", payload(server_.url("/gate/held.png"))) +
                R"({"id": "cut", "payload": {"aps")");
    held.holdInput = true;
    ExtensionProcess process(held);
    // Both requests are with the extension once the second one's download has begun.
    ASSERT_TRUE(server_.waitForGateArrivals("held.png", ++arrivals));
    ASSERT_EQ(kill(process.pid(), signal), 0);
    const Outcome outcome = process.finish();
    // The line cut by the stop is input the run did not read, which the status says.
    EXPECT_EQ(outcome.status, 1) << outcome.stderrText;
    expectEachShownOnce(outcome, {"plain", "slow"});
    EXPECT_EQ(outcome.lines.size(), 2u);
    for (const char* id : {"plain", "slow"}) {
      EXPECT_EQ(outcome.shown(id)["expired"], true) << id;
    }
    EXPECT_NE(outcome.stderrText.find("line 3: its end was not read before the stop"),
              std::string::npos)
        << outcome.stderrText;
    // The cancelled transfer's completion delivers again after the end: dropped from the log
    // as from the output.
    std::size_t deliveries = 0;
    for (std::size_t at = 0;
         (at = outcome.stderrText.find(R"("event":"delivery")", at)) != std::string::npos; ++at) {
      ++deliveries;
    }
    EXPECT_EQ(deliveries, outcome.lines.size()) << outcome.stderrText;
  }
}

// A stop while payload files are read: the file being read and those after it are input
// not read, said as such, and the status says that named files went unread.
TEST_F(ExtensionProcessTest, SIGINTWhileReadingFilesSaysWhichWereNotRead) {
  const std::string first = cwd_.file("first.json"), held = cwd_.file("held.json");
  writeFile(first, payload(std::nullopt).dump());
  ASSERT_EQ(mkfifo(held.c_str(), 0600), 0);
  ExtensionProcess process(run({"--time-limit", "3600", first, held, cwd_.file("last.json")}));
  // Opening the FIFO for writing returns once the host has it open for reading; the test then
  // never writes.
  const int writer = open(held.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(kill(process.pid(), SIGINT), 0);
  const Outcome outcome = process.finish();
  close(writer);
  EXPECT_EQ(outcome.status, 1) << outcome.stderrText;
  expectEachShownOnce(outcome, {first});
  EXPECT_EQ(outcome.stderrText, "HalvicourtNotificationService: " + held +
                                    ": not read before the stop, nor the 1 file after it\n");
}

// The app's own tables give a localized alert its texts, in the user's language or else the
// app's; the extension runs on them and delivers them.
TEST_F(ExtensionProcessTest, AlertsAreLocalizedFromTheAppsTables) {
  json localized = payload(std::nullopt);
  localized["aps"]["alert"] = {{"title-loc-key", "HARBOUR_TITLE"},
                               {"loc-key", "HARBOUR_BODY"},
                               {"loc-args", {"Marie", "3"}}};
  const struct {
    const char* lang;
    const char* title;
    const char* body;
  } rows[] = {
      {"fr_FR.UTF-8", "Coucher de soleil sur Halvicourt", "3 photos du port, partagées par Marie"},
      {"de_DE.UTF-8", "Sunset over Halvicourt", "Marie shared 3 photos of the harbour"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lang);
    testing_support::Run localizedRun =
        run({"--time-limit", "0.5"}, requestLine("localized", localized));
    localizedRun.env = {std::string("LANG=") + row.lang, "LANGUAGE=", "LC_ALL=", "LC_MESSAGES="};
    const Outcome outcome = runExtension(localizedRun);
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    const json shown = outcome.shown("localized");
    EXPECT_EQ(shown["source"], "extension");
    EXPECT_EQ(shown["content"]["title"], row.title);
    EXPECT_EQ(shown["content"]["body"], row.body);
  }
}

}  // namespace
