#!/usr/bin/env bash
# Host benchmarks of the settings steps, optimised build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/tests/bench/kv_bench "$@"
