#!/usr/bin/env bash
# Builds and runs the extraction benchmark under Wine, in a prefix of its own below the build
# directory (made on first use), and prints its figures.
# Usage: bench/run.sh [build dir] [rounds]     (build dir defaults to ./build, rounds to 21)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-21}

make -C "$build/windows" bench -j"$(nproc)" >/dev/null
export WINEPREFIX="$build/bench-prefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
bin="$build/windows/bench"
echo "== 55,595,008-byte package: ExtractFileFromResource against CopyFileW ($rounds rounds)"
wine "$bin/bench-extraction-55595008.exe" time "$rounds"
for size in 5242880 104857600; do
  echo "== private memory around one extraction of $size bytes"
  wine "$bin/bench-extraction-$size.exe" memory
done
wineserver -w
