#!/usr/bin/env bash
# The installer and uninstaller of the Windows exe under Wine, for what the
# installer process tests (lane 62, the same tests as on Linux) do not reach:
# the registry as Wine saves it, the default LOCALAPPDATA, letter case, silent
# words, a pipe on stdin, a folder at the program's path, ping.bat and cmd.exe
# plants, and a real console. Runs in a scratch copy of the project's
# Wine prefix.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
cd "$QUILLON_ROOT"

exe=${QUILLON_WIN_EXE:-$QUILLON_ROOT/build-win/quillon-agent.exe}
require_built "$exe"
wine_scratch_prefix quillon-wine-installer
scratch=$WINE_SCRATCH
drive_c=$WINEPREFIX/drive_c

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1"; }
# same <name> <file> <expected text>: the file holds exactly the text.
same() {
  if cmp -s "$2" <(printf '%s' "$3"); then ok "$1"; else
    bad "$1"; diff <(printf '%s' "$3") "$2" | head -20 | sed 's/^/     /' || true; fi
}
# same_text <name> <text> <expected text>, trailing line feeds aside.
same_text() {
  if [[ $2 == "$3" ]]; then ok "$1"; else
    bad "$1"; diff <(printf '%s\n' "$3") <(printf '%s\n' "$2") | head -20 | sed 's/^/     /' || true; fi
}
check() { local name=$1; shift; if "$@"; then ok "$name"; else bad "$name"; fi; }
wait_gone() { for _ in $(seq 50); do [[ -e $1 ]] || return 0; sleep 0.2; done; return 1; }

# run <out file> <program> [args...], stdin on the null device (installer
# mode; every pause returns at once), LOCALAPPDATA the prefix's. Sets rc.
run() {
  local out=$1; shift
  rc=0
  wine "$@" </dev/null >"$out" 2>"$out.err" || rc=$?
}
# run_in <folder> <out file> <program> [args...]: as run, in that current folder.
run_in() {
  local folder=$1 out=$2; shift 2
  rc=0
  wine cmd /c cd /d "$folder" "&" "$@" </dev/null >"$out" 2>"$out.err" || rc=$?
}
unix_path() { winepath -u "$1" 2>/dev/null; }
reg_query() { wine reg query "$1" 2>/dev/null | tr -d '\r'; }
reg_exists() { wine reg query "$1" >/dev/null 2>&1; }
reg_missing() { ! reg_exists "$1"; }

local_app_data=$(wine cmd /c echo %LOCALAPPDATA% </dev/null 2>/dev/null | tr -d '\r\n')
install_dir="$local_app_data\\Quillon"
target_exe="$install_dir\\quillon-agent.exe"
manifest="$install_dir\\br.quillon.agent.json"
install_unix=$(unix_path "$install_dir")
mkdir -p "$drive_c/Downloads"
cp "$exe" "$drive_c/Downloads/quillon-agent.exe"
download='C:\Downloads\quillon-agent.exe'
# One token driver where the module list looks first.
touch "$WINEPREFIX/drive_c/windows/system32/eToken.dll"

expected_install() {  # <copies: yes|no>
  printf '\n  ╔══════════════════════════════════════╗\n  ║   Quillon — Instalação  v1.1.2  ║\n'
  printf '  ║   Agente de Certificado A3            ║\n  ╚══════════════════════════════════════╝\n\n'
  [[ $1 == yes ]] && printf '  → Copiando agente para %s\n' "$install_dir"
  printf '  ✓ Agente instalado em: %s\n  → Registrando nos browsers...\n' "$target_exe"
  printf '  ✓ Chrome configurado.\n  ✓ Brave configurado.\n  ✓ Edge configurado.\n'
  printf '  ✓ Entrada de desinstalação registrada.\n\n'
  printf '  ✓ Driver(s) de token detectado(s): 1\n    • C:\\windows\\System32\\eToken.dll\n\n'
  printf '  ╔══════════════════════════════════════╗\n  ║   Instalação concluída!               ║\n'
  printf '  ╚══════════════════════════════════════╝\n\n  Feche e reabra o browser para ativar.\n\n'
  printf '  Pressione Enter para fechar...'
}
uninstall_lines=$'\n  → Desinstalando Quillon Agent...\n  ✓ Quillon Agent desinstalado.\n\n  Pressione Enter para fechar...'
uninstall_key='HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Quillon.Agent'
expected_entry=$(printf '\nHKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillon.Agent
    DisplayIcon    REG_SZ    %s
    DisplayName    REG_SZ    Quillon Agent
    DisplayVersion    REG_SZ    1.1.2
    InstallLocation    REG_SZ    %s
    NoModify    REG_DWORD    0x1
    NoRepair    REG_DWORD    0x1
    Publisher    REG_SZ    Quillon
    QuietUninstallString    REG_SZ    "%s" --uninstall --silent
    UninstallString    REG_SZ    "%s" --uninstall\n' "$target_exe" "$install_dir" "$target_exe" "$target_exe")

echo "== install from $download (LOCALAPPDATA $local_app_data)"
# Its lines, copy, manifest and keys are the process tests' to check.
run "$scratch/install.out" "$download"

echo "== registry as saved by Wine: texts stored with exactly their closing NUL"
wineserver -w
user_reg=$WINEPREFIX/user.reg
reg_text() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
for line in "\"DisplayName\"=\"Quillon Agent\"" "\"DisplayVersion\"=\"1.1.2\"" \
            "\"InstallLocation\"=\"$(reg_text "$install_dir")\"" \
            "\"UninstallString\"=\"$(reg_text "\"$target_exe\" --uninstall")\"" \
            "@=\"$(reg_text "$manifest")\"" "\"NoModify\"=dword:00000001" "\"NoRepair\"=dword:00000001"; do
  check "user.reg: $line" grep -qxF "$line" "$user_reg"
done

echo "== install again"
cp "$install_unix/br.quillon.agent.json" "$scratch/manifest.first"
run "$scratch/again.out" "$download"
check "second install exits 0" test "$rc" -eq 0
same "second install prints the same" "$scratch/again.out" "$(expected_install yes)"
check "manifest rewritten identically" cmp -s "$scratch/manifest.first" "$install_unix/br.quillon.agent.json"
same_text "uninstall entry unchanged" "$(reg_query "$uninstall_key")" "$expected_entry"

echo "== the installed copy installs itself when started in another letter case"
# Started by its path in another letter case it is still the same file: a
# copy onto it would fail with a sharing violation.
for started in "${target_exe,,}" "${target_exe^^}"; do
  run "$scratch/case.out" "$started"
  check "started as $started: exit 0" test "$rc" -eq 0
  same "started as $started: copies nothing" "$scratch/case.out" "$(expected_install no)"
done
check "the copy is still whole" cmp -s "$exe" "$install_unix/quillon-agent.exe"

echo "== silent words"
for word in --silent /S /quiet; do
  run "$scratch/silent.out" "$download" "$word"
  check "$word: exit 0" test "$rc" -eq 0
  same "$word: writes nothing" "$scratch/silent.out" ""
done
run "$scratch/lower.out" "$download" /s
same "/s is not a silent word" "$scratch/lower.out" "$(expected_install yes)"

echo "== a pipe on stdin runs the agent, whatever the arguments"
ping='{"type":"QUILLON_PING"}'
printf "\\x$(printf %02x ${#ping})\\x00\\x00\\x00%s" "$ping" |
  wine "$download" --uninstall --silent >"$scratch/agent.out" 2>/dev/null || true
check "agent answered the ping" grep -qF '{"type":"QUILLON_PONG","version":"1.1.2"}' "$scratch/agent.out"
check "manifest still there" test -f "$install_unix/br.quillon.agent.json"
check "uninstall entry still there" reg_exists "$uninstall_key"

echo "== anything but a plain file at the program's path is left alone"
# The removal's del forces its way through read-only files and empties a
# folder it is handed; a link to a folder shows to Windows as a reparse point.
mkdir -p "$drive_c/Elsewhere"
for kind in folder link; do
  run "$scratch/$kind-install.out" "$download" --silent
  rm "$install_unix/quillon-agent.exe"
  if [[ $kind == folder ]]; then
    mkdir "$install_unix/quillon-agent.exe"
    kept=$install_unix/quillon-agent.exe/keep.txt
  else
    ln -s "$drive_c/Elsewhere" "$install_unix/quillon-agent.exe"
    kept=$drive_c/Elsewhere/keep.txt
  fi
  echo mine >"$kept"
  chmod a-w "$kept"  # read-only to Windows
  run "$scratch/$kind.out" "$download" --uninstall
  check "$kind: uninstall exits 0" test "$rc" -eq 0
  same "$kind: uninstall console bytes" "$scratch/$kind.out" "$uninstall_lines"
  check "$kind: keys removed" reg_missing "$uninstall_key"
  check "$kind: manifest removed" test ! -e "$install_unix/br.quillon.agent.json"
  sleep 3
  check "$kind: the read-only file in it stays" test -f "$kept"
  check "$kind: and so does the $kind" test -e "$install_unix/quillon-agent.exe"
  rm -rf "$install_unix"
done

echo "== the removal runs the system's ping from a folder of its own"
# A ping.bat in the current folder would run in place of the system's ping.
mkdir -p "$drive_c/Here"
printf 'echo ran>C:\\Here\\ran.txt\r\n' >"$drive_c/Here/ping.bat"
run "$scratch/here-install.out" "$download" --silent
run_in 'C:\Here' "$scratch/here.out" "$download" --uninstall --silent
check "from a folder holding ping.bat: exit 0" test "$rc" -eq 0
check "from a folder holding ping.bat: removed after the delay" wait_gone "$install_unix"
check "and ping.bat did not run" test ! -e "$drive_c/Here/ran.txt"
# Typed inside the install folder, the installed copy still takes the folder
# with it: the removal does not run in it.
run "$scratch/inside-install.out" "$download" --silent
run_in "$install_dir" "$scratch/inside.out" "$target_exe" --uninstall --silent
check "typed in the install folder: exit 0" test "$rc" -eq 0
check "typed in the install folder: no empty folder stays" wait_gone "$install_unix"

echo "== silent uninstall from the installed copy (QuietUninstallString)"
run "$scratch/quiet-install.out" "$download" --silent
run "$scratch/quiet.out" "$target_exe" --uninstall --silent
check "quiet uninstall exits 0" test "$rc" -eq 0
same "quiet uninstall writes nothing" "$scratch/quiet.out" ""
check "the installed copy and its folder go after it ended" wait_gone "$install_unix"

echo "== a cmd.exe planted beside the uninstalling copy is not run"
# The plant is a copy of the program: were it run, it would install again.
mkdir -p "$drive_c/Plant"
cp "$exe" "$drive_c/Plant/quillon-agent.exe"
cp "$exe" "$drive_c/Plant/cmd.exe"
run "$scratch/plant-install.out" "$download" --silent
run "$scratch/plant.out" 'C:\Plant\quillon-agent.exe' --uninstall --silent
check "the system interpreter removed the installation" wait_gone "$install_unix"
sleep 2
check "and the plant did not install it again" test ! -e "$install_unix"
check "nor register it again" reg_missing "$uninstall_key"

echo "== at a console (a pseudo-terminal) the markers show as text"
# A pseudo-terminal gives Wine a console; Enter is typed a little later.
(sleep 3; printf '\r\n') | timeout 60 script -qec "wine '$download' --uninstall" /dev/null \
  >"$scratch/console.raw" 2>&1 || true
sed 's/\x1b\[[?0-9;]*[a-zA-Z]//g' "$scratch/console.raw" | tr -d '\r' >"$scratch/console.out"
check "console shows the arrow line" grep -qxF "  → Desinstalando Quillon Agent..." "$scratch/console.out"
check "console shows the tick line" grep -qxF "  ✓ Quillon Agent desinstalado." "$scratch/console.out"
check "console shows the prompt" grep -qF "  Pressione Enter para fechar..." "$scratch/console.out"

echo "wine installer: $passed passed, $failed failed"
((failed == 0))
