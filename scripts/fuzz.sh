#!/usr/bin/env bash
# Runs each fuzz target for the given seconds (default 60) from a seed corpus.
# Expects build/fuzz (see scripts/test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
cd "$root/build/fuzz"
for target in codec settings; do
  corpus="corpus-$target"
  mkdir -p "$corpus"
  cp "$root"/tests/fuzz/seeds/* "$corpus"/
  echo "fuzz_$target: ${seconds}s"
  "./tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$corpus" 2>&1 | grep -E "^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY|Done)" || true
  # libFuzzer leaves crash-* files behind on a finding.
  if ls crash-* leak-* timeout-* >/dev/null 2>&1; then
    echo "fuzz_$target found a failure" >&2
    exit 1
  fi
done
