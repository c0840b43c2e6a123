// The benchmarks' own entry point: libFoundation exports a main (the extension's), which a
// static benchmark_main would lose to, so it is defined in an object file here.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
