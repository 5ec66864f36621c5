#!/usr/bin/env bash
# Sanitizer lane: builds the portable unit tests (agent_tests) with clang 14,
# AddressSanitizer and UndefinedBehaviorSanitizer into build-asan (preset
# linux-asan; the scripted test module and the other modules the tests load
# are built the same way), then runs the whole binary. Any sanitizer report
# fails the lane, also one from a child process whose status nobody reads: the
# reports go to build-asan/sanitizer/ and are printed here. LeakSanitizer is on
# with nothing suppressed (see below).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

build=build-asan
tests=$build/packages/agent/tests/agent_tests
reports=$PWD/$build/sanitizer

echo "== configuring $build with clang-14 (cmake --preset linux-asan)"
cmake --preset linux-asan >/dev/null
echo "== building agent_tests and the modules it loads"
start=$SECONDS
if ! cmake --build --preset linux-asan >"$build/build.log" 2>&1; then
  tail -40 "$build/build.log"
  echo "15-linux-sanitizers: the build failed (whole output in $build/build.log)" >&2
  exit 1
fi
echo "   built in $((SECONDS - start)) s"

# Every finding ends the process: compiled with -fno-sanitize-recover=all, and
# halt_on_error for whatever could still go on. Reports are written to
# $reports/report.<pid>, a file that exists only when something was found.
#
# Leaks: the agent never unloads a PKCS#11 module and keeps each module's
# context in its cache until the process ends; the cache is a global and the
# modules stay mapped, so all of that is still reachable at exit, and
# LeakSanitizer reports only memory that nothing points to any more. No
# suppression is needed for it, and none is given: any leak it reports is real.
rm -rf "$reports" && mkdir -p "$reports"
common="halt_on_error=1:abort_on_error=0:print_stacktrace=1:log_path=$reports/report"
common+=":external_symbolizer_path=/usr/lib/llvm-14/bin/llvm-symbolizer"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1"
ASAN_OPTIONS+=":strict_init_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="$common"

echo "== running $tests"
start=$SECONDS
status=0
"$tests" --gtest_color=no >"$build/agent_tests.log" 2>&1 || status=$?
took=$((SECONDS - start))
grep -E '^\[(  PASSED  |  FAILED  |==========)\]' "$build/agent_tests.log" | sed 's/^/   /' || true
echo "   ran in $took s, exit status $status"

mapfile -t found < <(find "$reports" -type f | sort)
if ((${#found[@]})); then
  echo "FAIL: ${#found[@]} sanitizer report(s):"
  grep -h 'SUMMARY:' "${found[@]}" | sed 's/^/   /' || true
  for report in "${found[@]}"; do
    echo "--- $report"
    cat "$report"
  done
  echo "--- the last lines of the tests' output ($build/agent_tests.log)"
  tail -5 "$build/agent_tests.log"
  exit 1
fi
if ((status != 0)); then
  echo "FAIL: agent_tests failed without a sanitizer report; its output:"
  cat "$build/agent_tests.log"
  exit 1
fi
