#!/usr/bin/env bash
# Builds the demo product's setup.exe and photographs its progress window and a message box under
# Xvfb and Wine, into docs/images (see docs/screenshots.md).
# Usage: scripts/screenshots.sh [--out DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTSTRAPPER_BUILD_DIR:-$root/build}

"$root/scripts/setup-machine.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target windows
BOOTSTRAPPER_WIN_BUILD="$build/windows" BOOTSTRAPPER_WORK="$build/work" \
  exec python3 "$root/tests/screenshots/take_screenshots.py" "$@"
