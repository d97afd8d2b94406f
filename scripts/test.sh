#!/usr/bin/env bash
# Every test: host unit and scripted tests (ASan/UBSan; the log binding also
# under TSan), the same tests built for Windows and run under Wine, the real
# tool end to end under Wine, the detection scripts beside the tool's own
# verdicts, the release artifact (reproducible, signed,
# its version record, manifest and imports), and a short fuzzing pass. Needs
# no terminal or input.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

bash scripts/setup.sh
. scripts/wine-prefix.sh

suites_passed=0
suite() {
  local name=$1; shift
  echo "=== $name"
  "$@"
  suites_passed=$((suites_passed + 1))
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

suite "host build (AddressSanitizer, UBSan)" build host
suite "host tests" ctest --preset host
suite "host build of the log binding's tests (ThreadSanitizer)" build tsan
suite "log binding under ThreadSanitizer" ctest --preset tsan
suite "windows build" build windows
kv_wine_prefix_up
kv_wine_settle
suite "windows tests under wine" ctest --preset windows
suite "detection scripts beside the tool (cscript under wine, PowerShell 7)" \
  bash tests/detect/columns.sh build/host/detection-rows
kv_wine_prefix_down
suite "release artifact" bash scripts/release-check.sh
suite "fuzz build (clang, libFuzzer)" build fuzz
suite "fuzz smoke" bash scripts/fuzz.sh smoke

echo "suites: $suites_passed passed, 0 failed"
