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
status=0
ctest -j"$(nproc)" --output-on-failure --timeout 900 "$@" || status=$?
# CTest lists the skipped tests without their reason: say it once.
python3 - "$build/testbed/flavours.json" 2>/dev/null <<'EOF' || true
import json, sys
answer = json.load(open(sys.argv[1]))
if not answer["x86"]:
    print("test.sh: the x86 tests were skipped: they need 32-bit Windows programs, which this "
          f"machine cannot run ({answer['reason']}); their x64 flavour (*.x64) ran instead")
EOF
exit $status
