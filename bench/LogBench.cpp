// The log's cost per event: nothing written (the check alone), and an info event with the
// fields a transfer logs, formatted and written to /dev/null under a request's activity.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <nlohmann/json.hpp>

#include "System/os_activity.hpp"
#include "System/os_log.hpp"

namespace {

const std::string kAddress = "http://127.0.0.1:8080/img/01234.png";

void logTransfer(os_log_t log, long status) {
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "transfer.finish",
                   {{"url", kAddress}, {"status", status}, {"bytes", 65536}, {"ms", 1.25}});
}

void BM_LogEventOff(benchmark::State& state) {
  os_log_t log = os_log_create("com.halvicourt.bench", "log");
  system_log::configure(std::nullopt);
  for (auto _ : state) logTransfer(log, 200);
}
BENCHMARK(BM_LogEventOff);

void BM_LogEventInfo(benchmark::State& state) {
  os_log_t log = os_log_create("com.halvicourt.bench", "log");
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  system_log::configure(OS_LOG_TYPE_INFO, fd);
  system_log::ActivityScope scope(
      os_activity_create("request-01234", OS_ACTIVITY_NONE, OS_ACTIVITY_FLAG_DEFAULT));
  for (auto _ : state) logTransfer(log, 200);
  system_log::configure(std::nullopt);
  close(fd);
}
BENCHMARK(BM_LogEventInfo);

}  // namespace
