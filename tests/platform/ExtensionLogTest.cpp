// The log of the extension process (--log): every event of a request carries the request's
// identifier, whichever stand-in wrote it on whichever thread, though the extension never
// hands the identifier on; error lines stay whole plain text among the events; the run ends
// with a summary.
#include <gtest/gtest.h>
#include <signal.h>

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

TEST(ExtensionLog, EveryEventOfARequestCarriesItsIdAndTheRunEndsWithASummary) {
  TempDir cache;
  TestServer server;
  const std::string address = server.url("/image.png");
  const std::string file = cache.file(bundleIdentifier() + "/" + md5Hex(address) + ".png");
  ExtensionProcess process({.args = {"--time-limit", "3600", "--log", "info"},
                            .input = requestLine("none", payload(std::nullopt)) +
                                     requestLine("fixed", payload(address, false)) + "not json\n" +
                                     requestLine("image", payload(address)),
                            .cacheHome = cache.path()});
  // "none" has no image address: only the stop, which expires it at once, shows it. The
  // requests start in order, so "image" shown means that every one has started.
  while (std::optional<std::string> line = process.readLine()) {
    if (line->find("\"id\":\"image\"") != std::string::npos) kill(process.pid(), SIGTERM);
  }
  const Outcome outcome = process.finish();
  EXPECT_EQ(outcome.status, 1) << outcome.stderrText;  // for the line that is not JSON

  std::map<std::string, std::vector<json>> events;  // by "id"; "" for the run's own
  std::vector<std::string> plain;
  std::istringstream lines(outcome.stderrText);
  for (std::string line; std::getline(lines, line);) {
    json event = json::parse(line, nullptr, false);
    if (!event.is_object()) {
      plain.push_back(line);
      continue;
    }
    EXPECT_EQ(event["level"], "info") << line;
    EXPECT_TRUE(event["time"].is_string() && event["subsystem"].is_string()) << line;
    EXPECT_TRUE(!event.contains("ms") || event["ms"].is_number()) << line;
    for (const char* varying : {"time", "level", "subsystem", "ms"}) event.erase(varying);
    const std::string id = event["id"].is_string() ? event["id"].get<std::string>() : "";
    event.erase("id");
    events[id].push_back(std::move(event));
  }
  EXPECT_EQ(plain,
            std::vector<std::string>{"HalvicourtNotificationService: line 3: not valid JSON"});
  auto request = [](bool mutableContent, json reason) {
    return json{{"category", "host"},
                {"event", "request"},
                {"mutable", mutableContent},
                {"reason", reason}};
  };
  auto shown = [](json reason, bool expired, int attachments, int transfers) {
    return json{{"category", "host"},
                {"event", "shown"},
                {"source", reason.is_null() ? "extension" : "original"},
                {"reason", reason},
                {"expired", expired},
                {"attachments", attachments},
                {"transfers", transfers}};
  };
  auto delivery = [](bool expired, int attachments) {
    return json{{"category", "host"},
                {"event", "delivery"},
                {"call", 1},
                {"expired", expired},
                {"attachments", attachments}};
  };
  const auto bytes = pngBytes().size();
  EXPECT_EQ(events["image"], (std::vector<json>{
                                 request(true, nullptr),
                                 {{"category", "URLSession"},
                                  {"event", "transfer"},
                                  {"url", address},
                                  {"status", 200},
                                  {"bytes", bytes},
                                  {"httpVersion", "1.1"},
                                  {"redirects", 0},
                                  {"error", nullptr}},
                                 {{"category", "Data"},
                                  {"event", "write"},
                                  {"file", file},
                                  {"bytes", bytes},
                                  {"error", nullptr}},
                                 {{"category", "UNNotificationAttachment"},
                                  {"event", "attachment"},
                                  {"file", file},
                                  {"accepted", true},
                                  {"type", "public.png"},
                                  {"reason", nullptr}},
                                 delivery(false, 1),
                                 shown(nullptr, false, 1, 1),
                             }));
  EXPECT_EQ(events["fixed"], (std::vector<json>{request(false, "mutable-content is not 1"),
                                                shown("not-mutable", false, 0, 0)}));
  EXPECT_EQ(events["none"], (std::vector<json>{request(true, nullptr), delivery(true, 0),
                                               shown(nullptr, true, 0, 0)}));
  EXPECT_EQ(events[""], (std::vector<json>{{{"category", "host"},
                                            {"event", "summary"},
                                            {"requests", 3},
                                            {"withImage", 1},
                                            {"withoutImage", 0},
                                            {"atExpiry", 1},
                                            {"original", 1}}}));
}

}  // namespace
