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

// An event as the log writes it, without the keys that vary from run to run.
json event(const char* category, const char* name, json fields) {
  fields["category"] = category;
  fields["event"] = name;
  return fields;
}

json shown(json reason, bool expired, int attachments, int transfers) {
  return event("host", "shown",
               {{"source", reason.is_null() ? "extension" : "original"},
                {"reason", reason},
                {"expired", expired},
                {"attachments", attachments},
                {"transfers", transfers}});
}

using ExtensionLog = ExtensionTest;

TEST_F(ExtensionLog, EveryEventOfARequestCarriesItsIdAndTheRunEndsWithASummary) {
  const std::string address = server_.url("/image.png");
  const std::string file = cacheFile(address);
  ExtensionProcess process(run({"--time-limit", "3600", "--log", "info"},
                               requestLine("none", payload(std::nullopt)) +
                                   requestLine("fixed", payload(address, false)) + "not json\n" +
                                   requestLine("image", payload(address))));
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
    json e = json::parse(line, nullptr, false);
    if (!e.is_object()) {
      plain.push_back(line);
      continue;
    }
    const std::string id = e["id"].is_string() ? e["id"].get<std::string>() : "";
    for (const char* varying : {"id", "time", "level", "subsystem", "ms"}) e.erase(varying);
    events[id].push_back(std::move(e));
  }
  EXPECT_EQ(plain,
            std::vector<std::string>{"HalvicourtNotificationService: line 3: not valid JSON"});
  const auto bytes = pngBytes().size();
  EXPECT_EQ(
      events["image"],
      (std::vector<json>{
          event("host", "request", {{"mutable", true}, {"reason", nullptr}}),
          event("URLSession", "transfer",
                {{"url", address},
                 {"status", 200},
                 {"bytes", bytes},
                 {"httpVersion", "1.1"},
                 {"redirects", 0},
                 {"error", nullptr}}),
          event("Data", "write", {{"file", file}, {"bytes", bytes}, {"error", nullptr}}),
          event("UNNotificationAttachment", "attachment",
                {{"file", file}, {"accepted", true}, {"type", "public.png"}, {"reason", nullptr}}),
          event("host", "delivery", {{"call", 1}, {"expired", false}, {"attachments", 1}}),
          shown(nullptr, false, 1, 1)}));
  EXPECT_EQ(events["fixed"],
            (std::vector<json>{event("host", "request",
                                     {{"mutable", false}, {"reason", "mutable-content is not 1"}}),
                               shown("not-mutable", false, 0, 0)}));
  EXPECT_EQ(events["none"],
            (std::vector<json>{
                event("host", "request", {{"mutable", true}, {"reason", nullptr}}),
                event("host", "delivery", {{"call", 1}, {"expired", true}, {"attachments", 0}}),
                shown(nullptr, true, 0, 0)}));
  EXPECT_EQ(events[""], std::vector<json>{event("host", "summary",
                                                {{"requests", 3},
                                                 {"withImage", 1},
                                                 {"withoutImage", 0},
                                                 {"atExpiry", 1},
                                                 {"original", 1}})});
}

}  // namespace
