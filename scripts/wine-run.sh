#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix (build-win/wineprefix),
# creating the prefix on first use. The cross build's ctest uses it as emulator.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/wine.sh"
wine_prefix_ready
exec wine "$@"
