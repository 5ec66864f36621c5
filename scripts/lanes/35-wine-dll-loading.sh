#!/usr/bin/env bash
# How the Windows exe loads DLLs, under Wine: a module the agent loads sees
# the process's error mode: no critical-error, fault or missing-file dialogs.
# The marker DLL writes "<its path>.loaded", holding the error mode, when loaded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

exe=build-win/quillon-agent.exe
marker=build-win/packages/agent/tests/loading_probes/quillon_load_marker.dll
for f in "$exe" "$marker"; do
  [[ -f $f ]] || { echo "missing $f: run scripts/build.sh windows" >&2; exit 1; }
done
wine_ready
work=$(mktemp -d)
module="$WINEPREFIX/drive_c/windows/system32/eToken.dll"
cleanup() {
  rm -rf "$work"
  [[ ${placed_module:-} ]] && rm -f "$module" "$module.loaded"
  wine_done
}
trap cleanup EXIT

failed=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failed=1; fi
}
# One request through a pipe, as a browser sends it.
frame() { python3 -c 'import struct,sys; b=sys.argv[1].encode(); sys.stdout.buffer.write(struct.pack("<I",len(b))+b)' "$1"; }

echo "== a module the agent loads runs with error dialogs off"
[[ ! -e $module ]] || { echo "$module already exists; not touching it" >&2; exit 1; }
placed_module=1
cp "$marker" "$module"
frame '{"type":"QUILLON_LIST_CERTS"}' | timeout 60 wine "$exe" >"$work/list.bin" 2>/dev/null || true
check "the listing answered" grep -qF '"QUILLON_LIST_CERTS_RESPONSE"' "$work/list.bin"
check "the module was loaded" test -f "$module.loaded"
# SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX
check "error mode 0x8003 when it was" grep -qx 'error mode 0x8003' "$module.loaded"

((failed == 0))
