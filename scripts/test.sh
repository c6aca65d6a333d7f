#!/usr/bin/env bash
# Sets the machine up, builds everything and runs the whole test suite:
#   host-native unit tests, Windows unit tests under Wine, and end-to-end scenarios of setup.exe
#   under Wine with a real Windows Installer. Each test file starts its own Xvfb and Wine prefix.
# Usage: scripts/test.sh [ctest arguments...]   (e.g. -L host, -R e2e.main_road)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTSTRAPPER_BUILD_DIR:-$root/build}

"$root/scripts/setup-machine.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 900 "$@"
