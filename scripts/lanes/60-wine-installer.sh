#!/usr/bin/env bash
# The installer process tests (the same tests as on Linux) against the
# Windows exe under Wine: the real registry (read back with reg query, and as
# Wine saves it), the real cmd for the delayed removal, files through the
# prefix's drive C, a pseudo-terminal as a real console. Runs in a scratch
# copy of the project's Wine prefix.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

tests=build/packages/agent/tests/installer/process/installer_process_tests
exe=build-win/quillon-agent.exe
require_built "$tests" "$exe"
wine_scratch_prefix quillon-wine-installer
wine_ready
export QUILLON_INSTALLER_EXE=$QUILLON_ROOT/$exe
"$tests" --gtest_color=no
