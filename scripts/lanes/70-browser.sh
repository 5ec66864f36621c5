#!/usr/bin/env bash
# Real-browser lane: headless Chromium with our test extension drives the
# Linux build (build/quillon-agent) as its native-messaging host, against a
# throwaway SoftHSM2 token, and the Windows build under Wine (skipped when
# build-win/ has none); then prints what a message costs per channel.
# Bounded in time; every process the browser started is ended by pid on exit.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/common.sh"
cd "$QUILLON_ROOT/packages/agent/tests/browser"

agent="${QUILLON_AGENT:-$QUILLON_ROOT/build/quillon-agent}"
[[ -x $agent ]] || { echo "70-browser: $agent is missing (run scripts/build.sh linux)" >&2; exit 1; }
for tool in node /usr/lib/chromium/chromium softhsm2-util pkcs11-tool openssl; do
  command -v "$tool" >/dev/null || { echo "70-browser: $tool is missing" >&2; exit 1; }
done

# The browser and everything it starts carry this mark in their environment;
# whatever survives a run (a crash, a time-out) is found by it and ended by pid.
export QUILLON_BROWSER_TAG="lane-$$-$RANDOM$RANDOM"
export QUILLON_AGENT="$agent"
export QUILLON_BROWSER_SCRATCH
QUILLON_BROWSER_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/quillon-browser-lane.XXXXXX")

cleanup() {
  node driver/reap.mjs "$QUILLON_BROWSER_TAG" || true
  rm -rf "$QUILLON_BROWSER_SCRATCH"
}
trap cleanup EXIT

log_step "browser end-to-end tests (Chromium $(/usr/lib/chromium/chromium --version 2>/dev/null | awk '{print $2}'))"
timeout --kill-after=10 300 node --test --test-reporter=tap browser.test.mjs wine.test.mjs

log_step "browser figures"
timeout --kill-after=10 180 node figures.mjs
