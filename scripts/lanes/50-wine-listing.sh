#!/usr/bin/env bash
# Certificate listing through the Windows exe under Wine: the scripted test
# module, built as a DLL, stands at the first candidate path
# (C:\windows\system32\eToken.dll) of the prefix while this lane runs, scripted
# with one token holding a certificate made by openssl. Two listing frames go
# through a pipe in one process; the replies, the log and the module's
# journal are checked.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scripted-module-lane.sh"
cd "$QUILLON_ROOT"

scripted_module_lane_setup

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.der" -outform DER \
  -days 30 -subj "/CN=FULANO WINE:12345678900/O=Quillon Teste" 2>/dev/null
thumbprint=$(openssl x509 -inform DER -in "$work/cert.der" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
python3 - "$work/cert.der" >"$placed.json" <<'PY'
import json, sys
der = open(sys.argv[1], "rb").read().hex()
print(json.dumps({"slots": [{"id": 1, "readOnly": True, "objects": [
    {"class": "certificate", "id": "01", "valueHex": der},
    {"class": "certificate", "id": "02", "valueHex": der},
    {"class": "certificate", "valueHex": "0badc0de"}]}]}))
PY

python3 scripts/lib/frames.py '{"type":"QUILLON_LIST_CERTS"}' '{"type":"QUILLON_LIST_CERTS","pin":"0000"}' \
  >"$work/request.bin"
run_agent_once "$work/request.bin" "$work/reply.bin"

PYTHONPATH=scripts/lib python3 - "$work/reply.bin" "$thumbprint" <<'PY'
import sys
from frames import replies
replies = replies(open(sys.argv[1], "rb").read())
assert len(replies) == 2, replies
for r in replies:
    assert r["type"] == "QUILLON_LIST_CERTS_RESPONSE", r
    certs = r["certificates"]
    assert len(certs) == 1, certs
    c = certs[0]
    assert c["thumbprint"] == sys.argv[2], (c["thumbprint"], sys.argv[2])
    assert c["commonName"] == "FULANO WINE:12345678900" and c["taxId"] == "12345678900", c
    assert c["issuer"] == "FULANO WINE:12345678900", c
    assert len(c["notAfter"]) == 20 and c["notAfter"].endswith("Z"), c
print("replies: 2 listings, 1 certificate each, thumbprint", sys.argv[2])
PY

need_line() {
  grep -qxF -- "$1" "$2" || { echo "missing line in $(basename "$2"): $1" >&2; cat "$2" >&2; exit 1; }
}
need_line 'tentando lib: C:\windows\System32\eToken.dll' "$work/log.txt"
need_line '  slot 1: 2 certificados' "$work/log.txt"
need_line 'total certificados retornados: 1' "$work/log.txt"
if grep -q '0000' "$work/log.txt"; then echo "the request's PIN reached the log" >&2; exit 1; fi
echo "log: candidate found, read-only token listed, duplicate dropped"

journal="$placed.journal"
[[ $(grep -c '^C_Initialize ' "$journal") -eq 1 ]] || { echo "module initialised more than once" >&2; exit 1; }
need_line 'C_Initialize flags=0x2 mutexes=0 rv=0x0' "$journal"
need_line 'C_OpenSession slot=1 flags=0x6 rv=0xE2' "$journal"
journal_balanced
if grep -q '^C_Login' "$journal"; then echo "the listing logged in" >&2; exit 1; fi
echo "journal: one C_Initialize, read-only retry, every session closed, every search finished, no login"
