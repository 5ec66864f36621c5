#!/usr/bin/env bash
# A module that talks on the standard streams, under Wine: the scripted test
# module, built as a DLL and scripted "chatty", prints a line through msvcrt
# and one through the raw standard handle, then reads standard input, in
# C_Initialize and C_GetSlotList. A listing and a ping through a pipe in one
# process must give exactly the two reply frames and nothing else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scripted-module-lane.sh"
cd "$QUILLON_ROOT"

scripted_module_lane_setup
echo '{"chatty": true, "slots": [{"id": 1}]}' >"$placed.json"

python3 scripts/lib/frames.py '{"type":"QUILLON_LIST_CERTS"}' '{"type":"QUILLON_PING"}' >"$work/request.bin"
run_agent_once "$work/request.bin" "$work/reply.bin"

python3 scripts/lib/frames.py '{"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[]}' \
  '{"type":"QUILLON_PONG","version":"1.1.2"}' >"$work/expected.bin"
if ! cmp -s "$work/expected.bin" "$work/reply.bin"; then
  echo "the replies are not exactly the two frames:" >&2
  od -c "$work/reply.bin" | head -20 >&2
  exit 1
fi
grep -q '^C_Initialize ' "$placed.journal"
grep -q '^C_GetSlotList ' "$placed.journal"
echo "replies: exactly the listing and the pong; the module talked in C_Initialize and C_GetSlotList"
