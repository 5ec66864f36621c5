# Shared bits for the scripts: repository root, cache folder, privilege helper.
# Sourced, never run.

QUILLON_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Third-party builds for the Windows target live outside the repository so a
# fresh clone (CI) reuses them. Root gets a system cache, anyone else their own.
quillon_cache_dir() {
  if [[ -n "${QUILLON_CACHE_DIR:-}" ]]; then
    echo "$QUILLON_CACHE_DIR"
  elif [[ $(id -u) -eq 0 ]]; then
    echo /var/cache/quillon
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/quillon"
  fi
}

# Runs a command as root (apt, /etc/apt) whether or not we already are.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

log_step() { printf '==> %s\n' "$*" >&2; }

# Ends a lane with a clear word when a file the build makes is missing.
require_built() {
  local f
  for f in "$@"; do
    [[ -f $f ]] || { echo "missing $f: run scripts/build.sh" >&2; exit 1; }
  done
}
