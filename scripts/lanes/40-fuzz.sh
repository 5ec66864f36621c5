#!/usr/bin/env bash
# Fuzzing lane: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz, replays every kept
# regression input, then fuzzes each target for a bounded time from the seeds.
# A crash fails the lane; its input is left in build-fuzz/findings/ to be kept
# under packages/agent/fuzz/regressions/<target>/ with a unit test beside it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

FUZZ_SECONDS=${FUZZ_SECONDS:-30}   # per target; two targets
build=build-fuzz
fuzz=packages/agent/fuzz

echo "== configuring $build with clang-14"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQUILLON_FUZZ=ON -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCH=OFF >/dev/null
echo "== building fuzz_decode fuzz_dispatch"
ninja -C "$build" fuzz_decode fuzz_dispatch >/dev/null

status=0
for target in fuzz_decode fuzz_dispatch; do
  bin="$build/packages/agent/fuzz/$target"
  regressions="$fuzz/regressions/$target"
  mkdir -p "$regressions"
  mapfile -t kept < <(find "$regressions" -type f ! -name '.*' | sort)
  echo "== $target: replaying ${#kept[@]} kept regression input(s)"
  if ((${#kept[@]})); then
    "$bin" "${kept[@]}" >/dev/null 2>"$build/$target.replay.log" || {
      echo "FAIL: $target crashes on a kept regression input:"; tail -30 "$build/$target.replay.log"; status=1; }
  fi

  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "== $target: fuzzing for ${FUZZ_SECONDS}s (seeds: $fuzz/seeds, corpus: $corpus)"
  if "$bin" -max_total_time="$FUZZ_SECONDS" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
       -dict="$fuzz/json.dict" -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "$fuzz/seeds" \
       >"$build/$target.fuzz.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/$target.fuzz.log" | sed 's/^/   /'
    echo "   corpus now $(find "$corpus" -type f | wc -l) input(s); no crash"
  else
    echo "FAIL: $target found a crash; input(s) in $findings:"
    ls -l "$findings"; tail -40 "$build/$target.fuzz.log"
    status=1
  fi
done
exit $status
