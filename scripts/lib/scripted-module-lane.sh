# Set-up shared by the lanes that drive the Windows exe under Wine against the
# scripted test module. `scripted_module_lane_setup` checks the Windows build,
# readies the prefix and puts the module DLL at the first candidate path
# (C:\windows\system32\eToken.dll) for the lane's duration. It sets:
#   exe     the agent under test
#   placed  where the DLL stands; its script goes to "$placed.json" and it
#           writes its journal to "$placed.journal"
#   work    a scratch folder
# and removes all of it (and winds Wine down) when the lane exits.
#   QUILLON_WIN_BUILD=<dir>  another Windows build tree (default build-win)
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

scripted_module_lane_setup() {
  local win=${QUILLON_WIN_BUILD:-build-win}
  exe=$win/quillon-agent.exe
  local dll=$win/packages/agent/tests/token/scripted_module/quillon_scripted_module.dll
  local f
  require_built "$exe" "$dll"
  wine_ready

  placed="$WINEPREFIX/drive_c/windows/system32/eToken.dll"
  [[ ! -e $placed ]] || { echo "$placed already exists; not touching it" >&2; exit 1; }
  work=$(mktemp -d)
  trap scripted_module_lane_cleanup EXIT
  cp "$dll" "$placed"
}

scripted_module_lane_cleanup() {
  rm -f "$placed" "$placed.json" "$placed.journal"
  rm -rf "$work"
  wine_done
}
