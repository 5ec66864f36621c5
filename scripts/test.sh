#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets, then runs
# every lane in scripts/lanes/ in name order. Ends with one summary line,
# "lanes: N passed, M failed", and fails if any lane failed.
#
# LANE_TIMEOUT (seconds, default 1200) bounds each lane; the whole process
# group of a lane that overruns is ended. Give lane names as arguments to run
# only those (e.g. scripts/test.sh 10-linux-unit 30-wine-process).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$QUILLON_ROOT"

lanes=()
if (($# > 0)); then
  for name in "$@"; do lanes+=("scripts/lanes/${name%.sh}.sh"); done
else
  for lane in scripts/lanes/*.sh; do lanes+=("$lane"); done
fi

# Without dependencies or a build no lane can run: all of them count as failed.
setup_failed() {
  echo "test: $1 failed; no lane was run" >&2
  echo "lanes: 0 passed, ${#lanes[@]} failed"
  exit 1
}
bash scripts/install-deps.sh || setup_failed "installing dependencies"
bash scripts/build.sh || setup_failed "the build"

passed=0 failed=0 report=()
for lane in "${lanes[@]}"; do
  name=$(basename "$lane" .sh)
  printf '\n=== lane %s\n' "$name"
  start=$SECONDS
  timeout --kill-after=30 "${LANE_TIMEOUT:-1200}" bash "$lane" </dev/null
  rc=$?
  took=$((SECONDS - start))
  if ((rc == 0)); then
    passed=$((passed + 1)) status=passed
  else
    failed=$((failed + 1)) status="FAILED (exit $rc$( ((rc == 124)) && echo ', timed out'))"
  fi
  printf -- '--- lane %s: %s in %d s\n' "$name" "$status" "$took"
  report+=("$(printf '%-24s %-28s %5d s' "$name" "$status" "$took")")
done

# The Wine lanes leave the prefix's server to wind down by itself; nothing of
# a run outlives it.
[[ -d build-win/wineprefix ]] && (source scripts/lib/wine.sh && wine_done)

printf '\n'
printf '%s\n' "${report[@]}"
echo "total (set-up, builds and lanes): $SECONDS s"
echo "lanes: $passed passed, $failed failed"
((failed == 0))
