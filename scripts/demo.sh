#!/usr/bin/env bash
# Sets the machine up, builds the demo product's signed setup.exe and runs it under Wine in a
# fresh prefix (on an Xvfb display of its own unless DISPLAY is set), then shows the exit code
# and bootstrap.log. Arguments are passed to setup.exe; the default is a basic-UI install (/qb).
# Usage: scripts/demo.sh [setup.exe switches...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTSTRAPPER_BUILD_DIR:-$root/build}

"$root/scripts/setup-machine.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target windows
exec python3 "$root/tests/tools/demo.py" --build "$build" -- "${@:-/qb}"
