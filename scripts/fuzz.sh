#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang 14 with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while from its seed corpus in fuzz/corpus.
# Fails when a target crashes, leaks, trips a sanitizer or an input takes over 10 s; the
# input that did it is kept as crash-*, leak-* or timeout-* in the artifact folder printed.
#   scripts/fuzz.sh                    every target for 20 s
#   scripts/fuzz.sh --seconds 600      every target for ten minutes
#   scripts/fuzz.sh --target cache_url --seconds 3600 --jobs 2
#   scripts/fuzz.sh --build-dir DIR    build there instead of build/fuzz
# New inputs the fuzzer finds go to a scratch corpus (--keep-corpus DIR to keep them), never
# into fuzz/corpus: add an input there by hand when it is worth keeping as a seed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=20
targets=()
build_dir=
keep_corpus=
jobs=1
usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --target) targets+=("$2"); shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --keep-corpus) keep_corpus=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
for n in "$seconds" "$jobs"; do
  case "$n" in ''|*[!0-9]*) echo "fuzz.sh: --seconds and --jobs take whole numbers" >&2; exit 2 ;; esac
done
[ ${#targets[@]} -eq 0 ] && targets=($(ls fuzz/corpus))

if [ -n "$build_dir" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DHALVICOURT_SANITIZE=address,undefined -DHALVICOURT_FUZZ=ON \
    -DHALVICOURT_TESTS=OFF -DHALVICOURT_BENCH=OFF >/dev/null
else
  cmake --preset fuzz >/dev/null
  build_dir=$root/build/fuzz
fi
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" \
  --target $(printf 'fuzz_%s ' "${targets[@]}")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts=$build_dir/fuzz/artifacts
mkdir -p "$artifacts"

# More than one job: libFuzzer's fork mode, which also survives and reports each crash.
parallel=()
[ "$jobs" -gt 1 ] && parallel=(-fork="$jobs" -ignore_crashes=0)

failed=()
for target in "${targets[@]}"; do
  corpus=${keep_corpus:+$keep_corpus/$target}
  corpus=${corpus:-$scratch/$target}
  mkdir -p "$corpus"
  log=$scratch/$target.log
  dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  printf '\n== fuzz_%s for %s s\n' "$target" "$seconds"
  # The first corpus folder takes the new inputs; the seeds are only read.
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     "$build_dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
       ${parallel[@]+"${parallel[@]}"} ${dict[@]+"${dict[@]}"} -artifact_prefix="$artifacts/$target-" \
       "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$log" \
      || tail -n 3 "$log"
    echo "corpus: $(ls "$corpus" | wc -l) inputs"
  else
    tail -n 60 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "fuzz.sh: every target ran ${seconds} s without a finding"
