#!/usr/bin/env bash
# Host benchmarks of the settings steps, optimised build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BENCH=ON >/dev/null
cmake --build build/bench --target kv_bench
build/bench/tests/bench/kv_bench "$@"
