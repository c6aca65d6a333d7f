#!/usr/bin/env bash
# The benchmark command: sets the machine up, builds setup.exe and everything the benchmark
# runs, runs it under Wine (a prefix and an Xvfb display of its own) and writes the table to
# docs/benchmark-results.md.
# Usage: bench/run.sh [build dir] [runs]     (build dir defaults to ./build, runs to 5)
#
# It measures the flavour that this machine runs, as the build's configuration decided: the
# 32-bit programs where 32-bit programs run, else the 64-bit ones (NSIS's peer included).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-5}

# What the benchmark needs, NSIS for its peer included; quick when everything is there.
"$root/scripts/setup-machine.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
flavour=$(python3 - "$build/testbed/flavours.json" <<'EOF'
import json, sys
from pathlib import Path
decided = Path(sys.argv[1])
print("x64" if decided.is_file() and not json.loads(decided.read_text())["x86"] else "x86")
EOF
)
tree=windows
if [ "$flavour" = x64 ]; then
  tree=windows-x64
fi
# The Windows tree: setup.exe, the harness and wintool; then the benchmark's own programs.
cmake --build "$build" --target "$tree" -j"$(nproc)" >/dev/null
make -C "$build/$tree" bench -j"$(nproc)" >/dev/null
exec python3 "$root/bench/benchmark.py" --build "$build" --runs "$runs" --flavour "$flavour"
