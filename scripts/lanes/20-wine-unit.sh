#!/usr/bin/env bash
# The portable unit tests, cross-built for Windows, run under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

tests=build-win/packages/agent/tests/agent_tests.exe
require_built "$tests"
wine_ready
echo "running $tests under $(wine --version)"

# A program that crashes under Wine may still leave with status 0 (the crash
# goes through Wine's debugger), so the lane passes only on the report the
# test binary writes at a clean end, with nothing failed in it.
report=build-win/agent_tests.xml
rm -f "$report"
status=0
wine "$tests" --gtest_color=no --gtest_output="xml:$report" 2>&1 | tr -d '\r' || status=$?
if [[ ! -f $report ]]; then
  echo "20-wine-unit: agent_tests.exe ended without its report (crashed?)" >&2
  exit 1
fi
summary=$(grep -m1 -o '<testsuites tests="[0-9]*" failures="[0-9]*" disabled="[0-9]*" errors="[0-9]*"' "$report")
echo "report: ${summary#<testsuites }"
if ((status != 0)) || ! grep -q 'failures="0" disabled="[0-9]*" errors="0"' <<<"$summary"; then
  exit 1
fi
