#!/usr/bin/env bash
# The process tests (real pipes, a real child process) against the Windows exe
# run under Wine: a pipe on stdin gives agent mode, the NUL device installer
# mode, and the log lands in the prefix's temporary folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

tests=build/packages/agent/tests/process/agent_process_tests
exe=build-win/quillon-agent.exe
for f in "$tests" "$exe"; do
  [[ -f $f ]] || { echo "missing $f: run scripts/build.sh" >&2; exit 1; }
done
wine_ready
export QUILLON_AGENT_CMD="wine $QUILLON_ROOT/$exe"
export QUILLON_LOG_DIR="$WINE_TEMP_DIR"
echo "agent: $QUILLON_AGENT_CMD; log folder: $QUILLON_LOG_DIR"
"$tests" --gtest_color=no
