#!/usr/bin/env bash
# Builds the Linux target (build/) and the Windows target (build-win/).
#   scripts/build.sh            both
#   scripts/build.sh linux      only build/quillon-agent
#   scripts/build.sh windows    only build-win/quillon-agent.exe
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$QUILLON_ROOT"

build_linux() {
  log_step "Linux build (build/)"
  cmake --preset linux >/dev/null
  cmake --build --preset linux
}

# The exe may import only DLLs Windows always takes from System32: the
# KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs
# of Windows 10 and 11) and ntdll. Any other DLL is looked for in the exe's own
# folder first, so one planted beside the installer in Downloads would run
# inside it; such a DLL is loaded at run time from System32 by full path.
KNOWN_DLLS=(advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf
  msvcrt normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32
  wldap32 ws2_32)

# The DLLs an exe imports, one a line.
imported_dlls() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p'
}

# The DLLs an exe imports that are not among the names given (without .dll),
# one a line, in lower case.
imports_outside() {
  local exe=$1 dll allowed
  shift
  allowed=" $* "
  while read -r dll; do
    dll=${dll,,}
    [[ $dll == *.dll && $allowed == *" ${dll%.dll} "* ]] || echo "$dll"
  done < <(imported_dlls "$exe")
}

check_windows_imports() {
  local exe=$1 dll bad=0
  # Every Windows program imports kernel32: without it the list was not read.
  imported_dlls "$exe" | grep -qix kernel32.dll || { echo "could not read the imports of $exe" >&2; return 1; }
  while read -r dll; do
    echo "$exe imports $dll, which is not one of the KnownDLLs" >&2
    bad=1
  done < <(imports_outside "$exe" "${KNOWN_DLLS[@]}")
  return $bad
}

# What the loader does before the first request is read is done on each start
# a browser makes. Every DLL the exe imports is loaded: the agent imports only
# what any MinGW-w64 program does, and loads any other DLL when a request
# first needs it. Sections aligned to pages in the file let Wine map the image
# rather than copy it in.
STARTUP_DLLS=(kernel32 msvcrt)

check_startup_cost() {
  local exe=$1 dll bad=0
  if ! x86_64-w64-mingw32-objdump -p "$exe" | grep -E '^FileAlignment\s+0*1000$' >/dev/null; then
    echo "$exe has sections not aligned to pages in the file" >&2
    bad=1
  fi
  while read -r dll; do
    echo "$exe imports $dll, which every start would load; load it on first use" >&2
    bad=1
  done < <(imports_outside "$exe" "${STARTUP_DLLS[@]}")
  return $bad
}

build_windows() {
  local openssl gtest
  openssl=$(bash scripts/build-openssl-mingw.sh)
  gtest=$(bash scripts/build-gtest-mingw.sh)
  export QUILLON_MINGW_PREFIXES="$openssl;$gtest"
  log_step "Windows build (build-win/)"
  # libcrypto's folder changes with its version and configuration; a build tree
  # configured before must look for it again, not keep the old one's paths.
  cmake --preset windows -U 'OPENSSL_*' -U 'LIB_EAY*' >/dev/null
  cmake --build --preset windows
  check_windows_imports build-win/quillon-agent.exe
  check_startup_cost build-win/quillon-agent.exe
  # The prefix the Wine lanes run in belongs to this build tree.
  (source scripts/lib/wine.sh && wine_prefix_ready)
}

case "${1:-all}" in
  linux) build_linux ;;
  windows) build_windows ;;
  all) build_linux; build_windows ;;
  *) echo "usage: $0 [linux|windows|all]" >&2; exit 2 ;;
esac
