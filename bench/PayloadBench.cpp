// A JSON Lines input line to a request, as the host does it for every line it reads.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "host/Payload.hpp"

namespace {

constexpr std::string_view kLine =
    R"({"id":"r1234","payload":{"aps":{"alert":{"title":"Sunset over Halvicourt",)"
    R"("body":"Tonight's view from the harbour"},"badge":1,"sound":"default",)"
    R"("thread-id":"harbour","mutable-content":1},)"
    R"("image":"http://127.0.0.1:8080/img/01234.png"}})";

void BM_InputLineToRequest(benchmark::State& state) {
  for (auto _ : state) {
    foundation::Result<host::PushRequest> request = host::requestFromLine(kLine, 1);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kLine.size()));
}
BENCHMARK(BM_InputLineToRequest);

}  // namespace
