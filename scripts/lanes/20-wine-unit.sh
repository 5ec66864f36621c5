#!/usr/bin/env bash
# The portable unit tests, cross-built for Windows, run under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

tests=build-win/packages/agent/tests/agent_tests.exe
[[ -f $tests ]] || { echo "missing $tests: run scripts/build.sh windows" >&2; exit 1; }
wine_ready
trap wine_done EXIT
echo "running $tests under $(wine --version)"
wine "$tests" --gtest_color=no 2>&1 | tr -d '\r'
