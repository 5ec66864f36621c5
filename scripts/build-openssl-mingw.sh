#!/usr/bin/env bash
# Builds a static libcrypto for x86_64 Windows (MinGW-w64) from Debian's own
# openssl source package and prints its install prefix on stdout.
#
# The result is cached outside the repository, keyed by the source version and
# the configuration, so a fresh clone reuses it; a new Debian security release
# or a changed configuration builds a new one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

CROSS=x86_64-w64-mingw32

# Nothing in libcrypto may make the exe import a DLL outside the system's
# KnownDLLs: such a DLL is looked for in the exe's own folder first (the
# Downloads folder for the installer). Engines (CAPI) need CRYPT32, sockets
# WS2_32, and the GUI fatal-error box USER32, each also a cost on every start;
# the agent uses none of them. OPENSSL_SYS_WIN_CORE keeps the fatal-error
# report away from USER32 (a hidden host has no one to click a box).
CONFIG=(mingw64 no-shared no-module no-tests no-engine no-capieng no-sock -DOPENSSL_SYS_WIN_CORE)
CONFIG_KEY=$(printf '%s ' "${CONFIG[@]}" | sha256sum | cut -c1-12)

# apt-get source needs a deb-src entry; mirror the binary entries if none is active.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  log_step "adding deb-src entries for apt-get source"
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      as_root tee /etc/apt/sources.list.d/quillon-deb-src.sources >/dev/null
  elif [[ -f /etc/apt/sources.list ]]; then
    sed -nE 's/^deb (.*)/deb-src \1/p' /etc/apt/sources.list |
      as_root tee /etc/apt/sources.list.d/quillon-deb-src.list >/dev/null
  else
    echo "no apt sources found to derive a deb-src entry from" >&2
    exit 1
  fi
}

# Source versions apt knows, newest first (apt-cache showsrc lists them unordered).
source_versions() {
  local listed
  listed=$(apt-cache showsrc openssl 2>/dev/null | sed -nE 's/^Version: //p')
  if [[ -z "$listed" ]]; then
    as_root apt-get update -qq || log_step "apt-get update failed"
    listed=$(apt-cache showsrc openssl 2>/dev/null | sed -nE 's/^Version: //p')
  fi
  [[ -z "$listed" ]] || sort -u <<<"$listed" | sort -r -V
}

# Downloads, configures and builds one source version into $2.
build_version() {
  local version=$1 prefix=$2 work
  work=$(mktemp -d "$cache/openssl-src.XXXXXX")
  # apt drops privileges to _apt for downloads; a private folder makes it warn.
  chmod 755 "$work"
  if ! (cd "$work" && apt-get source -qq "openssl=$version" >"$work/fetch.log" 2>&1); then
    sed 's/^/    /' "$work/fetch.log" | grep -E '^ +E:' | head -n1 >&2
    rm -rf "$work"
    return 1
  fi
  log_step "building libcrypto $version for $CROSS into $prefix"
  rm -rf "$prefix.partial"
  (
    cd "$work"/openssl-*/
    CC=$CROSS-gcc-posix AR=$CROSS-ar RANLIB=$CROSS-ranlib RC=$CROSS-windres \
      ./Configure "${CONFIG[@]}" --prefix="$prefix.partial" --libdir=lib >&2
    make -j"$(nproc)" build_libs >&2
    make install_dev >&2
  ) || { rm -rf "$work" "$prefix.partial"; exit 1; }
  rm -rf "$work" "$prefix"
  mv "$prefix.partial" "$prefix"
  touch "$prefix/.complete"
}

ensure_deb_src
cache=$(quillon_cache_dir)
mkdir -p "$cache"
# Builds that start together (several worktrees) make one libcrypto, not one each.
exec 9>"$cache/openssl-mingw64.lock"
flock 9

# The newest version that is cached or can be fetched wins; a version the
# mirror does not carry (yet) is passed over.
for version in $(source_versions); do
  prefix="$cache/openssl-mingw64-$version-$CONFIG_KEY"
  if [[ -f "$prefix/.complete" ]] || build_version "$version" "$prefix"; then
    echo "$prefix"
    exit 0
  fi
  log_step "openssl $version is not available, trying an older one"
done
# Offline, or nothing listed: any complete earlier build of this configuration still serves.
cached=$(find "$cache" -maxdepth 2 -path "$cache/openssl-mingw64-*-$CONFIG_KEY/.complete" 2>/dev/null | sort -V | tail -n1)
if [[ -n "$cached" ]]; then
  log_step "using the cached build $(dirname "$cached")"
  dirname "$cached"
  exit 0
fi
echo "no openssl source version could be fetched" >&2
exit 1
