# Wine set-up shared by the lanes that run the Windows build. Sourced, never run.
#
# One prefix lives inside the Windows build tree (build-win/wineprefix) and is
# created once (about 25 s); lanes that need isolation copy it. After sourcing,
# call `wine_ready`: it creates the prefix if needed and sets WINE_TEMP_DIR to
# the Unix path of the prefix's %TEMP% folder, where the agent writes its log.
#
# Debian's `wine` launcher runs 64-bit programs (it falls back to wine64 when
# wine32 is absent); there is no `wine64` on PATH. Wine keeps its server
# socket under $TMPDIR: give every program of a lane the same TMPDIR (e.g.
# `env TMPDIR=/tmp wine ...`), or each start pays for a server of its own.

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

export WINEPREFIX="${WINEPREFIX:-$QUILLON_ROOT/build-win/wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko install prompts: nothing here needs .NET or a web view.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY

# Creates the prefix once.
wine_prefix_ready() {
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    log_step "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

# Creates the prefix if needed, starts the prefix's server and system
# processes, and sets WINE_TEMP_DIR.
#
# The first program in a fresh server starts Wine's system processes, which
# inherit its standard handles: a caller that reads the program's output to
# the end would then wait until the server winds down. Starting them here with
# detached handles, under a server that outlives short pauses between
# programs, keeps every later run at well under a second. The server ends on
# its own 3 s after the last program; `wine_done` waits for that, and the
# test command calls it once after the last lane.
wine_ready() {
  wine_prefix_ready
  # A server of the previous lane may still be lingering: asking it to linger
  # fails, and once it ends, the next program's server lingers not at all, so
  # every run of the lane would start a server of its own. Wait it out first.
  wineserver -w </dev/null >/dev/null 2>&1 || true
  wineserver -p3 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1
  # Right after a server starts, Wine's launcher has been seen to fail a start
  # ("ShellExecuteEx failed: Internal error", or exit 1 with no output) on a
  # fresh prefix. The lanes begin once two starts in a row answer.
  local temp tries=0 good=0
  while ((good < 2)); do
    temp=$(wine cmd /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')
    if [[ $temp =~ ^[A-Za-z]:\\ ]]; then
      good=$((good + 1))
    else
      good=0
      tries=$((tries + 1))
      ((tries < 20)) || { echo "wine: programs do not start in $WINEPREFIX: $temp" >&2; return 1; }
      log_step "wine: a start failed (${temp:-no output}); trying again"
      sleep 1
    fi
  done
  WINE_TEMP_DIR=$(readlink -f "$(winepath -u "$temp" 2>/dev/null)")
  mkdir -p "$WINE_TEMP_DIR"
  export WINE_TEMP_DIR
}

# Waits until the prefix's server has ended by itself.
wine_done() {
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

# Points WINEPREFIX at a scratch copy of the prefix, so a lane that writes to
# the registry leaves the shared prefix as it was. Sets WINE_SCRATCH (the
# scratch folder, also for the lane's own files); on exit the copy's server
# is let end by itself (it saves the registry), a program of it still waiting
# for input after that is ended with it, and the folder is removed.
wine_scratch_prefix() {
  wine_prefix_ready
  WINE_SCRATCH=$(mktemp -d "/tmp/$1.XXXXXX")
  trap wine_scratch_cleanup EXIT
  cp -a "$WINEPREFIX" "$WINE_SCRATCH/prefix"
  export WINEPREFIX=$WINE_SCRATCH/prefix
}

wine_scratch_cleanup() {
  timeout 30 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null || true
  rm -rf "$WINE_SCRATCH"
}
