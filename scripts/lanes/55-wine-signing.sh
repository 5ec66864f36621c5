#!/usr/bin/env bash
# Signing through the Windows exe under Wine: the scripted test module, built
# as a DLL, stands at the first candidate path (C:\windows\system32\eToken.dll)
# of the prefix while this lane runs, scripted with one token (PIN 1234)
# holding an RSA key and its certificate made by openssl. One process gets a
# CMS signature, a raw signature, a batch (CMS, bad Base64, raw) and a
# single request with a wrong PIN; openssl verifies every signature, and the
# log and the module's journal are checked.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scripted-module-lane.sh"
cd "$QUILLON_ROOT"

scripted_module_lane_setup

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=ASSINANTE WINE:12345678900/O=Quillon Teste" 2>/dev/null
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
openssl x509 -in "$work/cert.pem" -pubkey -noout >"$work/pub.pem"
thumbprint=$(openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
head -c 3000 /dev/urandom >"$work/doc.bin"
python3 - "$work/cert.der" "Z:$work/key.pem" >"$placed.json" <<'PY'
import json, sys
der = open(sys.argv[1], "rb").read().hex()
print(json.dumps({"slots": [{"id": 1, "pin": "1234", "objects": [
    {"class": "certificate", "id": "01", "valueHex": der},
    {"class": "privateKey", "id": "01", "keyFile": sys.argv[2]}]}]}))
PY

PYTHONPATH=scripts/lib python3 - "$thumbprint" "$work/doc.bin" >"$work/request.bin" <<'PY'
import base64, sys
import frames
tp, doc = sys.argv[1], base64.b64encode(open(sys.argv[2], "rb").read()).decode()
def frame(**fields):
    sys.stdout.buffer.write(frames.frame(fields))
frame(type="QUILLON_AGENT_SIGN", thumbprint=tp, data=doc, pin="1234")
frame(type="QUILLON_AGENT_SIGN", thumbprint=tp, data=doc, format="raw", pin="1234")
frame(type="QUILLON_AGENT_SIGN_BATCH", thumbprint=tp, pin="1234", items=[
    {"id": "cms", "data": doc}, {"id": "ruim", "data": "YW*j"}, {"id": "raw", "data": "YWJj", "format": "raw"}])
frame(type="QUILLON_AGENT_SIGN", thumbprint=tp, data=doc, pin="9876")
PY
run_agent_once "$work/request.bin" "$work/reply.bin"

PYTHONPATH=scripts/lib python3 - "$work" "$thumbprint" <<'PY'
import base64, sys
from frames import replies
work, tp = sys.argv[1], sys.argv[2]
replies = replies(open(work + "/reply.bin", "rb").read())
assert len(replies) == 4, replies
cert = open(work + "/cert.der", "rb").read()
cms, raw, batch, wrong = replies
for r in (cms, raw):
    assert r["type"] == "QUILLON_AGENT_SIGN_RESPONSE", r
    assert r["algorithm"] == "SHA256withRSA" and r["signedAt"].endswith("Z"), r
    assert base64.b64decode(r["certDer"]) == cert, "certDer differs from the token's bytes"
open(work + "/cms.der", "wb").write(base64.b64decode(cms["signature"]))
open(work + "/raw.sig", "wb").write(base64.b64decode(raw["signature"]))
assert batch["type"] == "QUILLON_AGENT_SIGN_BATCH_RESPONSE", batch
ids = [r["id"] for r in batch["results"]]
assert ids == ["cms", "ruim", "raw"], ids
assert batch["results"][1] == {"id": "ruim", "error": "data base64 inválido: illegal base64 data at input byte 2"}, batch
open(work + "/batch-cms.der", "wb").write(base64.b64decode(batch["results"][0]["signature"]))
open(work + "/batch-raw.sig", "wb").write(base64.b64decode(batch["results"][2]["signature"]))
want = "erro ao assinar: certificado com thumbprint '%s' não encontrado em nenhum token conectado" % tp
assert wrong == {"type": "ERROR", "error": want}, wrong
print("replies: CMS, raw, batch of 3 with one bad item, wrong PIN as not found")
PY

printf 'abc' >"$work/abc.bin"
openssl cms -verify -binary -inform DER -in "$work/cms.der" -content "$work/doc.bin" -noverify -out /dev/null 2>/dev/null
openssl cms -verify -binary -inform DER -in "$work/cms.der" -content "$work/doc.bin" -CAfile "$work/cert.pem" \
  -purpose any -out /dev/null 2>/dev/null
openssl cms -verify -binary -inform DER -in "$work/batch-cms.der" -content "$work/doc.bin" -noverify -out /dev/null 2>/dev/null
openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/raw.sig" "$work/doc.bin" >/dev/null
openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/batch-raw.sig" "$work/abc.bin" >/dev/null
echo "openssl: both CMS signatures and both raw signatures verify"

# Leave out the run's first line and the loop's end at the closed pipe.
grep -vE '^=== agente iniciado|^readMessage erro: EOF$' "$work/log.txt" >"$work/lines.txt" || true
diff -u - "$work/lines.txt" <<'EOF_LOG'
signInSlot 1: Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT
signInSlot 1: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT
EOF_LOG
if grep -qE '9876|1234|'"$thumbprint" "$work/log.txt"; then echo "request data reached the log" >&2; exit 1; fi
echo "log: only the wrong PIN's two lines, nothing of the requests"

journal="$placed.journal"
[[ $(grep -c '^C_Login ' "$journal") -eq 4 ]] || { echo "expected one login per request" >&2; exit 1; }
[[ $(grep -c '^C_Login ' "$journal") -eq $(grep -c '^C_Logout ' "$journal") ]]
journal_balanced
[[ $(grep -c '^C_SignInit .*rv=0x0$' "$journal") -eq 4 ]]
grep -q '^C_Sign .*dataLen=51 buffer=1 .*rv=0x0$' "$journal"
echo "journal: one login per request, every login undone, every session closed, every search finished"
