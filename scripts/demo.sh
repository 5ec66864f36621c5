#!/usr/bin/env bash
# Runs the agent the way a browser does, against a throwaway SoftHSM2 token:
# frames (4-byte little-endian length + JSON) through a pipe on stdin, replies
# read back from stdout. Makes a token (PIN 123456) holding an RSA key and a
# demo certificate, then sends a ping, a listing, a CMS signature, a raw
# signature and a small batch in one run; prints the exchange readably, checks
# every signature with openssl and shows the log of the run.
# Builds the Linux target first if it is not there yet.
#   QUILLON_AGENT=<path>  another agent binary (default build/quillon-agent)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$QUILLON_ROOT"

agent=${QUILLON_AGENT:-build/quillon-agent}
if [[ ! -x $agent ]]; then
  bash scripts/install-deps.sh
  bash scripts/build.sh linux
fi
softhsm=/usr/lib/softhsm/libsofthsm2.so
for tool in softhsm2-util pkcs11-tool openssl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The token: SoftHSM2 keeps it in the scratch folder.
mkdir -p "$scratch/tokens" "$scratch/Windows/System32" "$scratch/pf" "$scratch/pf86"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch" \
  >"$scratch/softhsm2.conf"
export SOFTHSM2_CONF="$scratch/softhsm2.conf"
pin=123456
softhsm2-util --init-token --free --label "Quillon Demo" --pin $pin --so-pin 87654321 >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 365 \
  -subj "/CN=FULANO DE TAL:12345678900/O=Quillon Demo" 2>/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$scratch/key.pem" -outform DER -out "$scratch/key.der"
openssl x509 -in "$scratch/cert.pem" -outform DER -out "$scratch/cert.der"
openssl x509 -in "$scratch/cert.pem" -pubkey -noout >"$scratch/pub.pem"
for object in "key.der --type privkey" "cert.der --type cert"; do
  # shellcheck disable=SC2086
  pkcs11-tool --module $softhsm --login --pin $pin --id 01 --label demo --write-object "$scratch"/$object >/dev/null 2>&1
done
thumbprint=$(openssl x509 -in "$scratch/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')

# The agent looks for token drivers at fixed Windows places under SystemRoot,
# ProgramFiles and ProgramFiles(x86); here the first of them holds SoftHSM2.
cp "$(readlink -f $softhsm)" "$scratch/Windows/System32/eToken.dll"
echo "token: SoftHSM2 \"Quillon Demo\", PIN $pin, certificate $thumbprint"
echo "driver: $scratch/Windows/System32/eToken.dll"
echo

# The agent's log goes to the temporary folder; the scratch one keeps it apart.
env TMPDIR="$scratch" SystemRoot="$scratch/Windows" ProgramFiles="$scratch/pf" "ProgramFiles(x86)=$scratch/pf86" \
  PYTHONPATH="$QUILLON_ROOT/scripts/lib" python3 - "$agent" "$thumbprint" "$pin" "$scratch" <<'PY'
import base64, json, subprocess, sys
from frames import bodies as frames, frame

agent, thumbprint, pin, scratch = sys.argv[1:5]
document = "Contrato de demonstração, assinado pelo Quillon Agent.\n".encode()
b64 = base64.b64encode(document).decode()
requests = [
    {"type": "QUILLON_PING"},
    {"type": "QUILLON_LIST_CERTS"},
    {"type": "QUILLON_AGENT_SIGN", "thumbprint": thumbprint, "data": b64, "pin": pin},
    {"type": "QUILLON_AGENT_SIGN", "thumbprint": thumbprint, "data": b64, "format": "raw", "pin": pin},
    {"type": "QUILLON_AGENT_SIGN_BATCH", "thumbprint": thumbprint, "pin": pin, "items": [
        {"id": "doc-1", "data": b64},
        {"id": "doc-2", "data": "não é base64"},
        {"id": "doc-3", "data": base64.b64encode(b"abc").decode(), "format": "raw"}]},
]
bodies = [json.dumps(r, ensure_ascii=False, separators=(",", ":")).encode() for r in requests]
stream = b"".join(frame(b) for b in bodies)
run = subprocess.run([agent], input=stream, capture_output=True, timeout=60)

def short(value):
    """Long Base64 values shortened for the screen."""
    if isinstance(value, dict):
        return {k: short(v) for k, v in value.items()}
    if isinstance(value, list):
        return [short(v) for v in value]
    if isinstance(value, str) and len(value) > 48:
        return f"{value[:24]}…({len(value)} chars)"
    return value

replies = [json.loads(f) for f in frames(run.stdout)]
for body, reply in zip(bodies, replies):
    print(f"→ [{len(body):>5} bytes] {json.dumps(short(json.loads(body)), ensure_ascii=False)}")
    print(f"← {json.dumps(short(reply), ensure_ascii=False)}")
    print()
print(f"{len(requests)} requests, {len(replies)} replies, exit status {run.returncode}")
if len(replies) != len(requests) or run.returncode != 0:
    sys.exit(1)

# Files for openssl: the document, and each signature.
open(f"{scratch}/document.bin", "wb").write(document)
open(f"{scratch}/abc.bin", "wb").write(b"abc")
pong, listing, cms, raw, batch = replies
assert pong["type"] == "QUILLON_PONG", pong
assert [c["thumbprint"] for c in listing["certificates"]] == [thumbprint], listing
assert cms["type"] == raw["type"] == "QUILLON_AGENT_SIGN_RESPONSE", (cms, raw)
results = batch["results"]
assert [r["id"] for r in results] == ["doc-1", "doc-2", "doc-3"] and "error" in results[1], batch
for name, text in (("cms.der", cms["signature"]), ("raw.sig", raw["signature"]),
                   ("batch-1.der", results[0]["signature"]), ("batch-3.sig", results[2]["signature"])):
    open(f"{scratch}/{name}", "wb").write(base64.b64decode(text))
PY

echo
echo "checks with openssl:"
check() {
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "  ✓ $what"; else echo "  ✗ $what"; exit 1; fi
}
check "CMS signature verifies over the document (certificate as trust anchor)" \
  openssl cms -verify -binary -inform DER -in "$scratch/cms.der" -content "$scratch/document.bin" \
  -CAfile "$scratch/cert.pem" -purpose any -out /dev/null
check "raw signature verifies with the certificate's public key" \
  openssl dgst -sha256 -verify "$scratch/pub.pem" -signature "$scratch/raw.sig" "$scratch/document.bin"
check "batch item doc-1 (CMS) verifies" \
  openssl cms -verify -binary -inform DER -in "$scratch/batch-1.der" -content "$scratch/document.bin" \
  -noverify -out /dev/null
check "batch item doc-3 (raw over \"abc\") verifies" \
  openssl dgst -sha256 -verify "$scratch/pub.pem" -signature "$scratch/batch-3.sig" "$scratch/abc.bin"
echo
echo "CMS structure (openssl asn1parse, certificate folded away):"
openssl asn1parse -inform DER -in "$scratch/cms.der" -i | awk '
  /cont \[ 0 \]/ && !seen++ { print; next }
  /d=3/ && /cont \[ 0 \]/ { print "   ... certificate ..."; skip = 1; next }
  skip && /d=3/ { skip = 0 }
  !skip' | sed 's/^/  /'
echo
echo "log ($scratch/quillon-agent.log):"
sed 's/^/  /' "$scratch/quillon-agent.log"
