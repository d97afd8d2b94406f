#!/usr/bin/env bash
# Runs each fuzz target from a seed corpus (an XML dictionary for the
# document target): for the given seconds (default 60), or with "smoke" a
# fixed, repeatable pass (fixed seed and run count, fresh corpus) as the test
# command uses. Expects build/fuzz (see test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-60}
cd "$root/build/fuzz"
for target in codec settings; do
  corpus="corpus-$target"
  if [ "$mode" = smoke ]; then
    rm -rf "$corpus"
    limits=(-seed=1 -runs=100000)
  else
    limits=(-max_total_time="$mode")
  fi
  if [ "$target" = settings ]; then
    limits+=(-dict="$root/tests/fuzz/xml.dict")
  fi
  mkdir -p "$corpus"
  cp "$root"/tests/fuzz/seeds/* "$corpus"/
  rm -f crash-* leak-* timeout-* oom-*
  echo "fuzz_$target: ${limits[*]}"
  status=0
  "./tests/fuzz/fuzz_$target" "${limits[@]}" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 "$corpus" \
    >"fuzz_$target.log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::new_units_added|SUMMARY)" "fuzz_$target.log" || true
  if [ "$status" != 0 ] || compgen -G "crash-*" >/dev/null || compgen -G "leak-*" >/dev/null ||
     compgen -G "timeout-*" >/dev/null || compgen -G "oom-*" >/dev/null; then
    echo "fuzz_$target found a failure (see build/fuzz/fuzz_$target.log)" >&2
    exit 1
  fi
done
