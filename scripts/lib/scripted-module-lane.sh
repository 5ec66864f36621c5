# Set-up shared by the lanes that drive the Windows exe under Wine against the
# scripted test module. `scripted_module_lane_setup` checks the Windows build,
# readies a scratch copy of the prefix (a lane ended part-way leaves nothing
# in the shared one) and puts the module DLL at the first candidate path
# (C:\windows\system32\eToken.dll) of that copy. It sets:
#   exe     the agent under test
#   placed  where the DLL stands; its script goes to "$placed.json" and it
#           writes its journal to "$placed.journal"
#   work    a scratch folder
# and removes all of it (and winds Wine down) when the lane exits. The lane
# then runs the agent with `run_agent_once` and checks the journal with
# `journal_balanced`.
#   QUILLON_WIN_BUILD=<dir>  another Windows build tree (default build-win)
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

scripted_module_lane_setup() {
  local win=${QUILLON_WIN_BUILD:-build-win}
  exe=$win/quillon-agent.exe
  local dll=$win/packages/agent/tests/token/scripted_module/quillon_scripted_module.dll
  require_built "$exe" "$dll"
  # Its exit trap removes the copy with all the lane placed in it.
  wine_scratch_prefix quillon-scripted-module
  work=$WINE_SCRATCH/work
  mkdir "$work"
  wine_ready

  # The copy is the lane's own: whatever stood at this path in the shared
  # prefix is replaced here only.
  placed="$WINEPREFIX/drive_c/windows/system32/eToken.dll"
  rm -f "$placed" "$placed.json" "$placed.journal"
  cp "$dll" "$placed"
}

# Runs the agent once with the request frames of <request file> on a pipe
# (Wine cannot query a Unix regular file as standard input, which would
# choose installer mode) and its reply frames to <reply file>; the log lines
# it wrote go to $work/log.txt without their time stamps.
run_agent_once() {
  local request=$1 reply=$2 log=$WINE_TEMP_DIR/quillon-agent.log before=0
  [[ -f $log ]] && before=$(wc -l <"$log")
  cat "$request" | timeout 120 wine "$exe" >"$reply"
  tail -n +"$((before + 1))" "$log" | tr -d '\r' | sed 's/^\[[^]]*\] //' >"$work/log.txt"
}

# Fails the lane unless the module's journal shows every session it opened
# closed and every search it began finished.
journal_balanced() {
  local journal=$placed.journal
  [[ $(grep -c '^C_OpenSession .*rv=0x0$' "$journal") -eq $(grep -c '^C_CloseSession ' "$journal") ]] ||
    { echo "a session was left open" >&2; exit 1; }
  [[ $(grep -c '^C_FindObjectsInit .*rv=0x0$' "$journal") -eq $(grep -c '^C_FindObjectsFinal ' "$journal") ]] ||
    { echo "a search was left active" >&2; exit 1; }
}
