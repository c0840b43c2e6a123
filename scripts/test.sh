#!/usr/bin/env bash
# Builds and runs every test: the g++ build, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, a short fuzzing
# run, the check that nothing exported may throw, and the formatting check. Installs
# missing Debian packages first (as root).
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the g++ build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n== %s ==\n' "$*"; }

run_preset() {
  local preset=$1; shift
  step "build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  step "test: $preset"
  ctest --preset "$preset" --no-tests=error "$@"
}

run_preset default
[ "${1:-}" = "--quick" ] && exit 0

run_preset asan
run_preset tsan -L 'concurrency|robustness'

if [ -x scripts/fuzz.sh ]; then
  step "fuzz: a short run of every target"
  bash scripts/fuzz.sh --seconds 20
fi

step "exports: nothing exported may throw"
bash scripts/check-exports.sh build/default

step "format"
if git ls-files '*.cpp' '*.hpp' | xargs clang-format-14 --dry-run --Werror 2>&1 | grep -q .; then
  git ls-files '*.cpp' '*.hpp' | xargs clang-format-14 --dry-run --Werror
  exit 1
fi
echo "clang-format: clean"
