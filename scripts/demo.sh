#!/usr/bin/env bash
# Runs the agent the way a browser does: frames (4-byte little-endian length +
# JSON) through a pipe on stdin, replies read back from stdout. Shows a ping and
# a malformed request with their replies, then the log lines of the run.
# Builds the Linux target first if it is not there yet.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$QUILLON_ROOT"

agent=build/quillon-agent
if [[ ! -x $agent ]]; then
  bash scripts/install-deps.sh
  bash scripts/build.sh linux
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The agent's log goes to the temporary folder; a scratch one keeps it apart.
TMPDIR="$scratch" python3 - "$agent" <<'PY'
import json, struct, subprocess, sys

requests = [
    b'{"type":"QUILLON_PING"}',
    b'{"type":"QUILLON_PING"',          # cut short: not JSON
]

stream = b"".join(struct.pack("<I", len(body)) + body for body in requests)
agent = subprocess.run([sys.argv[1]], input=stream, capture_output=True, timeout=30)

def frames(data):
    while data:
        (length,) = struct.unpack_from("<I", data)
        yield data[4:4 + length]
        data = data[4 + length:]

def header(body):
    return " ".join(f"{b:02X}" for b in struct.pack("<I", len(body)))

replies = list(frames(agent.stdout))
for request, reply in zip(requests, replies):
    print(f"→ request  [{header(request)}] {request.decode()}")
    print(f"← reply    [{header(reply)}] {reply.decode()}")
    print()
print(f"{len(requests)} requests, {len(replies)} replies, exit status {agent.returncode}")
if agent.stderr:
    print("stderr:", agent.stderr.decode(errors="replace"))
if len(replies) != len(requests) or agent.returncode != 0:
    sys.exit(1)
PY

echo
echo "log ($scratch/quillon-agent.log):"
sed 's/^/  /' "$scratch/quillon-agent.log"
