#!/usr/bin/env bash
# Sets the machine up, builds the demo product's signed setup.exe and runs it under Wine in a
# fresh prefix on an Xvfb display of its own, then shows the boxes, the exit code, bootstrap.log
# and the products installed afterwards: one step of the scenario check (scripts/check-setup.sh),
# whose report goes to build/demo-report. Where this machine cannot run 32-bit programs it runs
# the 64-bit setup.exe, and says why.
# Usage: scripts/demo.sh [--setup SETUP_EXE] [--media FOLDER] [--keep] [--] [switches...]
#   --setup   run another built setup.exe (any product's) instead of the demo's; nothing is
#             set up or built then unless it is missing
#   --media   lay this folder's contents (OEM\Feature.ini, the product's ini file...) beside it
#   --keep    keep the Wine prefix afterwards and print where it is
#   switches  passed to setup.exe; the default is a basic-UI install (/qb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BOOTSTRAPPER_BUILD_DIR:-$root/build}

setup= media= keep=()
while [ $# -gt 0 ]; do
  case $1 in
    --setup) setup=$2; shift 2 ;;
    --media) media=$2; shift 2 ;;
    --keep) keep=(--keep); shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || set -- /qb

if [ -z "$setup" ]; then
  "$root/scripts/setup-machine.sh"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  # Every file the demo's description asks for, the 64-bit setup.exe included, and no test.
  cmake --build "$build" -j"$(nproc)" --target products
  setup=$build/out/demo
fi

# One step: its name, the media, then the switches, each in double quotes.
step=demo
[ -z "$media" ] || step+=" \"media=$media\""
for switch in "$@"; do
  step+=" \"$switch\""
done
exec "$root/scripts/check-setup.sh" --build "$build" --report "$build/demo-report" --details \
  "${keep[@]}" --step "$step" "$setup"
