#!/usr/bin/env bash
# Builds GoogleTest from Debian's googletest sources (/usr/src/googletest) with
# the MinGW-w64 cross compiler and prints its install prefix on stdout.
# Cached outside the repository, keyed by the package version.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

version=$(dpkg-query -W -f '${Version}' googletest)
cache=$(quillon_cache_dir)
prefix="$cache/googletest-mingw64-$version"
if [[ -f "$prefix/.complete" ]]; then
  echo "$prefix"
  exit 0
fi

log_step "building GoogleTest $version for Windows into $prefix"
mkdir -p "$cache"
work=$(mktemp -d "$cache/googletest-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix.partial"
cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$QUILLON_ROOT/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix.partial" >&2
cmake --build "$work" >&2
cmake --install "$work" >&2
rm -rf "$prefix"
mv "$prefix.partial" "$prefix"
touch "$prefix/.complete"
echo "$prefix"
