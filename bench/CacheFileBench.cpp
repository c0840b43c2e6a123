// The digest and the cache file name that every downloaded image is stored under.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "Foundation/URL.hpp"
#include "service/NotificationServiceInternal.hpp"

namespace {

constexpr const char* kAddress = "http://127.0.0.1:8080/img/01234.png";

void BM_Md5(benchmark::State& state) {
  const std::string address = kAddress;
  for (auto _ : state) {
    std::string digest = notification_service::md5(address);
    benchmark::DoNotOptimize(digest);
  }
}
BENCHMARK(BM_Md5);

void BM_CacheFileURL(benchmark::State& state) {
  const std::optional<URL> url = URL::fromString(kAddress);
  if (!url) {
    state.SkipWithError("the sample address does not parse");
    return;
  }
  for (auto _ : state) {
    std::optional<URL> file = notification_service::cacheFileURL(*url);
    benchmark::DoNotOptimize(file);
  }
}
BENCHMARK(BM_CacheFileURL);

}  // namespace
