#!/usr/bin/env bash
# A module that talks on the standard streams, under Wine: the scripted test
# module, built as a DLL and scripted "chatty", prints a line through msvcrt
# and one through the raw standard handle, then reads standard input, in
# C_Initialize and C_GetSlotList; in C_Initialize it also starts a program
# that inherits every inheritable handle, is handed the standard handles and
# outlives the agent by some 15 s. A listing and a ping through a pipe in one
# process must give exactly the two reply frames and nothing else, and the
# replies must end when the agent ends, not when that program does.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scripted-module-lane.sh"
cd "$QUILLON_ROOT"

scripted_module_lane_setup
child_ended=$work/child-ended
python3 - "$(winepath -w "$child_ended" 2>/dev/null)" >"$placed.json" <<'PY'
import json, sys
print(json.dumps({"chatty": True, "lingeringChild": sys.argv[1], "slots": [{"id": 1}]}))
PY

python3 scripts/lib/frames.py '{"type":"QUILLON_LIST_CERTS"}' '{"type":"QUILLON_PING"}' >"$work/request.bin"
# The replies through a pipe of their own: its reader sees the end only once
# no process holds the pipe any more.
cat "$work/request.bin" | timeout 120 wine "$exe" | cat >"$work/reply.bin"
if [[ -e $child_ended ]]; then
  echo "the replies were held open by the program the module started" >&2
  exit 1
fi

python3 scripts/lib/frames.py '{"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[]}' \
  '{"type":"QUILLON_PONG","version":"1.1.2"}' >"$work/expected.bin"
if ! cmp -s "$work/expected.bin" "$work/reply.bin"; then
  echo "the replies are not exactly the two frames:" >&2
  od -c "$work/reply.bin" | head -20 >&2
  exit 1
fi
grep -q '^C_Initialize ' "$placed.journal"
grep -q '^C_GetSlotList ' "$placed.journal"
echo "replies: exactly the listing and the pong, ended with the agent; the module talked in C_Initialize and C_GetSlotList"
