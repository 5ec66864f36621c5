#!/usr/bin/env bash
# The process tests (real pipes, a real child process) against the Windows exe
# run under Wine: a pipe on stdin gives agent mode, the NUL device installer
# mode, and the log lands in the prefix's temporary folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

tests=build/packages/agent/tests/host/process/agent_process_tests
exe=build-win/quillon-agent.exe
require_built "$tests" "$exe"
wine_ready
# The tests give each run its own TMPDIR, and Wine keeps its server socket
# under TMPDIR: pin it so every run joins the one warm server of the prefix
# (the agent's log follows the prefix's %TEMP%, not TMPDIR).
export QUILLON_AGENT_CMD="env TMPDIR=${TMPDIR:-/tmp} wine $QUILLON_ROOT/$exe"
export QUILLON_LOG_DIR="$WINE_TEMP_DIR"
echo "agent: $QUILLON_AGENT_CMD; log folder: $QUILLON_LOG_DIR"
# Wine cannot query a Unix regular file passed as stdin
# (GetFileInformationByHandle fails with ERROR_INVALID_HANDLE), so the agent
# rightly falls back to installer mode there; Windows itself answers the query.
# That one case is covered by the Linux lane only.
"$tests" --gtest_color=no --gtest_filter=-AgentProcess.ReadsRequestsFromADiskFile
