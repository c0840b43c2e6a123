// The log's lines: their shape, which types are written, and whole lines from many threads.
#include "System/os_log.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/LogCapture.hpp"

namespace {

using testing_support::LogCapture;

TEST(os_log, WritesOneObjectPerLineWithTheLineKeysFirst) {
  LogCapture capture(OS_LOG_TYPE_INFO);
  os_log_t log = os_log_create("com.halvicourt.test", "shape");
  EXPECT_EQ(log, os_log_create("com.halvicourt.test", "shape"));
  const nlohmann::ordered_json attachment = {{"identifier", "image_downloaded"}, {"bytes", 3}};
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "transfer.finish",
                   {{"url", std::string("http://127.0.0.1/\"a b\"\n\x01")},
                    {"status", 200},
                    {"bytes", std::uint64_t{18446744073709551615u}},
                    {"seconds", 0.25},
                    {"cached", false},
                    {"error", nullptr},
                    {"attachment", attachment},
                    {"path", "caf\xc3\xa9/\xff"}});
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_ERROR, "cache.full");

  std::vector<std::string> lines;
  for (auto event : capture.events()) {
    EXPECT_EQ(event.begin().key(), "time");
    EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << event["time"];
    event.erase("time");
    lines.push_back(event.dump());
  }
  // The byte that is not UTF-8 comes out as U+FFFD (EF BF BD).
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                R"({"level":"info","subsystem":"com.halvicourt.test","category":"shape",)"
                R"("id":null,"event":"transfer.finish","url":"http://127.0.0.1/\"a b\"\n\u0001",)"
                R"("status":200,"bytes":18446744073709551615,"seconds":0.25,"cached":false,)"
                R"("error":null,"attachment":{"identifier":"image_downloaded","bytes":3},)"
                "\"path\":\"caf\xc3\xa9/\xef\xbf\xbd\"}",
                R"({"level":"error","subsystem":"com.halvicourt.test","category":"shape",)"
                R"("id":null,"event":"cache.full"})"}));
}

TEST(os_log, WritesTheConfiguredTypeAndLessVerboseOnes) {
  // From the most verbose type to the least.
  const std::vector<std::string> all = {"debug", "info", "default", "error", "fault"};
  const std::pair<const char*, std::size_t> rows[] = {
      {"off", all.size()},  // a level's name; any other text is off
      {"info", 1},
      {"debug", 0},
  };
  os_log_t log = os_log_create("com.halvicourt.test", "levels");
  for (const auto& [configured, firstWritten] : rows) {
    SCOPED_TRACE(configured);
    LogCapture capture(system_log::typeNamed(configured));
    for (std::size_t i = 0; i < all.size(); ++i) {
      const os_log_type_t type = *system_log::typeNamed(all[i]);
      EXPECT_EQ(os_log_type_enabled(log, type), i >= firstWritten) << all[i];
      // Called without the check, as a careless caller would: the type still filters.
      system_log::event(log, type, all[i]);
    }
    std::vector<std::string> levels;
    for (const auto& event : capture.events()) levels.push_back(event["level"].get<std::string>());
    EXPECT_EQ(levels,
              std::vector<std::string>(all.begin() + static_cast<long>(firstWritten), all.end()));
  }
  LogCapture off(std::nullopt);
  system_log::writeLine("plain text");
  EXPECT_EQ(off.text(), "plain text\n");
}

TEST(os_log, LinesFromManyThreadsStayWhole) {
  LogCapture capture(OS_LOG_TYPE_DEBUG);
  os_log_t log = os_log_create("com.halvicourt.test", "threads");
  // Longer than a pipe writes at once, so a line written in pieces would show.
  const std::string big(6000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) {
        SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_DEBUG, "tick", {{"thread", t}, {"big", big}});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(capture.events().size(), 2000u);
}

}  // namespace
