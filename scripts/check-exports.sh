#!/usr/bin/env bash
# Checks that no exception can leave a framework: every function an image exports (it carries
# an export mark, or belongs to a class that does) must be noexcept. Each framework links its
# own private copy of the C++ runtime, so an exception thrown in one image cannot be caught in
# another; the rule keeps that from ever being tried. Reads the compile commands of a build.
#   scripts/check-exports.sh [build dir]     (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
[ -f "$build/compile_commands.json" ] || { echo "check-exports: no $build/compile_commands.json" >&2; exit 2; }

query=$(mktemp)
trap 'rm -f "$query"' EXIT
cat >"$query" <<'Q'
set output diag
match functionDecl(anyOf(hasAttr("attr::Visibility"), cxxMethodDecl(ofClass(hasAttr("attr::Visibility")))), unless(isNoThrow()), unless(isImplicit()), unless(isDeleted()), isExpansionInFileMatching("/system/"))
Q

# Every header is seen through the sources that include it; two halves keep both cores busy.
mapfile -t sources < <(git ls-files 'system/*.cpp' | grep -v '^system/TerminateHandler.cpp$')
half=$(( (${#sources[@]} + 1) / 2 ))
found=$(
  { clang-query-14 -p "$build" -f "$query" "${sources[@]:0:half}" 2>&1 &
    clang-query-14 -p "$build" -f "$query" "${sources[@]:half}" 2>&1; wait; } |
  grep -E '"root" binds here|error:' | sed 's/: note: "root" binds here//' | sort -u || true)
if [ -n "$found" ]; then
  echo "check-exports: exported but not noexcept:" >&2
  echo "$found" >&2
  exit 1
fi
echo "check-exports: every exported function is noexcept"
