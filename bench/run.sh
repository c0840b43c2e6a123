#!/usr/bin/env bash
# Benchmarks the extension against curl on the same downloads from a loopback nginx, and as
# the push service's endpoint against nghttpd, and runs the micro-benchmarks.
# Usage: bash bench/run.sh [--quick] [--runs N] [--no-docs] [--no-tls] [--no-gateway]
#                          [--gateway-runs N] [--extension-args="ARGS"]
#        bash bench/run.sh --gateway-only [--gateway-runs N]
#        bash bench/run.sh --soak [--requests N] [--rate R] [--no-docs]
#   --soak     instead, 100,000 requests through one process with low storage limits, sampling
#              its memory, descriptors and bytes on disk every second (bench/soak.py, minutes)
#   --quick    fewer runs of each case (about a minute)
#   --no-tls   leave out the TLS + HTTP/2 cases
#   --gateway-only  only the endpoint against nghttpd (h2load) and the pushes' latency
#              (bench/gateway.py, about a minute); --no-gateway leaves it out
#   --gateway-runs N  runs of the endpoint's throughput case (default 3)
#   --runs N   runs of each end-to-end case, ours and curl's alternating (default 9)
#   --no-docs  leave docs/benchmarks-*.{md,png} alone; results stay in the build directory
#   --extension-args="ARGS"  options for every run of the extension, e.g. "--log info"
# Installs missing Debian packages first (as root), builds into build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh --bench
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHALVICOURT_BENCH=ON -DHALVICOURT_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target HalvicourtApp halvicourt_microbench halvicourt_measure
exe="$build/Halvicourt.app/PlugIns/HalvicourtNotificationService.appex/HalvicourtNotificationService"

if [ "${1:-}" = "--soak" ]; then
  shift
  exec python3 "$root/bench/soak.py" --exe "$exe" --results "$build/bench-results" \
    --docs "$root/docs" "$@"
fi
exec python3 "$root/bench/bench.py" \
  --exe "$exe" \
  --microbench "$build/bench/halvicourt_microbench" --measure "$build/bench/halvicourt_measure" \
  --results "$build/bench-results" --docs "$root/docs" "$@"
