#!/usr/bin/env bash
# Installs every Debian package the project needs to build both targets and run
# every test lane. Idempotent: when everything is present it only checks and
# returns (no apt-get update). Other parts of the project add their packages to
# the list below.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

packages=(
  # toolchains and build
  build-essential g++ cmake ninja-build python3 dpkg-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  # clang 14, its sanitizer and libFuzzer runtimes, and llvm-symbolizer for
  # their reports (fuzz and sanitizer lanes)
  clang clang-14 libclang-rt-14-dev llvm-14
  # libraries
  libssl-dev nlohmann-json3-dev libp11-kit-dev googletest libgtest-dev
  # running and checking: Windows build, tokens, independent checkers, browser
  wine wine64 softhsm2 opensc openssl chromium
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$pkg")
  fi
done
# Node may come from Debian or from a vendor package; the browser tests need
# node alone (no npm packages).
command -v node >/dev/null || missing+=(nodejs)

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi
log_step "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
