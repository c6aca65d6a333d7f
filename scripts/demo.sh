#!/usr/bin/env bash
# Sets the machine up, builds the demo product's signed setup.exe and runs it under Wine in a
# fresh prefix (on an Xvfb display of its own unless DISPLAY is set), then shows the boxes, the
# exit code, bootstrap.log and the install state of the product whose package setup.exe carries.
# Where this machine cannot run 32-bit programs it runs the 64-bit setup.exe, and says why.
# Usage: scripts/demo.sh [--setup SETUP_EXE] [--media FOLDER] [--keep] [--] [switches...]
#   --setup   run another built setup.exe (any product's) instead of the demo's
#   --media   lay this folder's contents (OEM\Feature.ini, the product's ini file...) beside it
#   --keep    keep the Wine prefix afterwards and print where it is
#   switches  passed to setup.exe; the default is a basic-UI install (/qb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTSTRAPPER_BUILD_DIR:-$root/build}

"$root/scripts/setup-machine.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target windows
# Where the configuration found that 32-bit programs do not run here, the 64-bit setup.exe and
# the tools that run it, without the rest of the 64-bit tree.
if ! python3 -c 'import json, sys; sys.exit(not json.load(open(sys.argv[1]))["x86"])' \
    "$build/testbed/flavours.json" 2>/dev/null; then
  cmake --build "$build" -j"$(nproc)" --target windows-x64-configure
  cmake --build "$build/windows-x64" -j"$(nproc)" --target product-demo runharness wintool
fi
exec python3 "$root/tests/tools/demo.py" --build "$build" "$@"
