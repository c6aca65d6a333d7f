#!/usr/bin/env bash
# The benchmark command: builds setup.exe and everything the benchmark runs, runs it under Wine
# (a prefix and an Xvfb display of its own) and writes the table to docs/benchmark-results.md.
# Usage: bench/run.sh [build dir] [runs]     (build dir defaults to ./build, runs to 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-5}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# The Windows tree: setup.exe, the harness and wintool; then the benchmark's own programs.
cmake --build "$build" --target windows -j"$(nproc)" >/dev/null
make -C "$build/windows" bench -j"$(nproc)" >/dev/null
exec python3 "$root/bench/benchmark.py" --build "$build" --runs "$runs"
