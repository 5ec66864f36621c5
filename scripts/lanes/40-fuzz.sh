#!/usr/bin/env bash
# Fuzzing lane: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz, replays every kept
# regression input, then fuzzes each target for a bounded time from the seeds.
# A crash fails the lane; its input is left in build-fuzz/findings/ to be kept
# under packages/agent/fuzz/regressions/<target>/ with a unit test beside it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

FUZZ_SECONDS=${FUZZ_SECONDS:-30}   # per target
build=build-fuzz
fuzz=packages/agent/fuzz
targets=(fuzz_decode fuzz_dispatch fuzz_certificate)

echo "== configuring $build with clang-14"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQUILLON_FUZZ=ON -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCH=OFF >/dev/null
echo "== building ${targets[*]}"
ninja -C "$build" "${targets[@]}" certificate_seeds >/dev/null

# The request targets start from the JSON seeds with the JSON dictionary; the
# certificate target from certificates the test builders make, and from the
# system's trusted certificates (real ones from many issuers) when it has them.
certificate_seeds="$build/seeds/fuzz_certificate"
rm -rf "$certificate_seeds" && mkdir -p "$certificate_seeds"
"$build/packages/agent/fuzz/certificate_seeds" "$certificate_seeds"
mapfile -t trusted < <(find /etc/ssl/certs -maxdepth 1 -name '*.pem' 2>/dev/null | sort | head -40)
for pem in "${trusted[@]}"; do
  openssl x509 -in "$pem" -outform DER -out "$certificate_seeds/system-$(basename "$pem" .pem).der" 2>/dev/null || true
done
declare -A seeds=([fuzz_decode]="$fuzz/seeds" [fuzz_dispatch]="$fuzz/seeds" [fuzz_certificate]="$certificate_seeds")
declare -A options=([fuzz_decode]="-dict=$fuzz/json.dict -max_len=65536" [fuzz_dispatch]="-dict=$fuzz/json.dict -max_len=65536"
                    [fuzz_certificate]="-max_len=8192")

status=0
for target in "${targets[@]}"; do
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
  echo "== $target: fuzzing for ${FUZZ_SECONDS}s (seeds: ${seeds[$target]}, corpus: $corpus)"
  # shellcheck disable=SC2086  # the options are words
  if "$bin" -max_total_time="$FUZZ_SECONDS" ${options[$target]} -timeout=10 -rss_limit_mb=4096 \
       -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "${seeds[$target]}" \
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
