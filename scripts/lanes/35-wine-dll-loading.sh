#!/usr/bin/env bash
# Which DLLs the Windows exe loads under Wine, when Wine loads them the way Windows
# does (native before built-in, WINEDLLOVERRIDES=<name>=n,b):
# - a copy of the exe in a "Downloads" folder with marker DLLs planted beside
#   it under the names of system DLLs that are not KnownDLLs answers a ping
#   without loading any of them;
# - a module the agent loads sees the process's error mode: no critical-error,
#   fault or missing-file dialogs.
# The marker DLL writes "<its path>.loaded", holding the error mode, when loaded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

exe=build-win/quillon-agent.exe
marker=build-win/packages/agent/tests/token/loading_probes/quillon_load_marker.dll
require_built "$exe" "$marker"
# A copy of the prefix of the lane's own, for the module it places in the
# system folder; its exit trap removes the copy and the lane's files in it.
wine_scratch_prefix quillon-wine-dll-loading
wine_ready
work=$WINE_SCRATCH/work
mkdir "$work"
module="$WINEPREFIX/drive_c/windows/system32/eToken.dll"

failed=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failed=1; fi
}
# One ping (or another request) through a pipe, as a browser sends it.
frame() { python3 scripts/lib/frames.py "$1"; }
pong='{"type":"QUILLON_PONG","version":"1.1.2"}'

echo "== marker DLLs planted beside the exe are not loaded"
# System DLLs outside the KnownDLLs that libcrypto can make the exe import.
planted=(crypt32 bcrypt)
downloads="$work/Downloads"
mkdir -p "$downloads"
cp "$exe" "$downloads/quillon-agent.exe"
for name in "${planted[@]}"; do cp "$marker" "$downloads/$name.dll"; done
overrides="$WINEDLLOVERRIDES;$(IFS=,; echo "${planted[*]}")=n,b"
frame '{"type":"QUILLON_PING"}' |
  WINEDLLOVERRIDES=$overrides timeout 60 wine "$downloads/quillon-agent.exe" >"$work/reply.bin" 2>/dev/null || true
check "the planted copy answered the ping" grep -qF "$pong" "$work/reply.bin"
# Wine names the marker after the name the import asked for, in its case.
for name in "${planted[@]}"; do
  check "$name.dll beside the exe was not loaded" \
    test -z "$(find "$downloads" -maxdepth 1 -iname "$name.dll.loaded")"
done

echo "== a module the agent loads runs with error dialogs off"
rm -f "$module" "$module.loaded"
cp "$marker" "$module"
frame '{"type":"QUILLON_LIST_CERTS"}' | timeout 60 wine "$exe" >"$work/list.bin" 2>/dev/null || true
check "the listing answered" grep -qF '"QUILLON_LIST_CERTS_RESPONSE"' "$work/list.bin"
check "the module was loaded" test -f "$module.loaded"
# SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX
check "error mode 0x8003 when it was" grep -qx 'error mode 0x8003' "$module.loaded"

((failed == 0))
