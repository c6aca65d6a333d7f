#!/usr/bin/env bash
# Checks built setup.exe files the way a customer's machine meets them: install, the same again,
# an upgrade, a repair, a removal... in one Wine prefix with Wine's own Windows Installer, with a
# readable report, JSON and JUnit XML. See `scripts/check-setup.sh --help`.
# It sets the machine up (scripts/setup-machine.sh) only when a program it needs is missing, and
# builds only the Windows-side harness, only when that is missing: a check of a built setup.exe
# starts in seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

missing=()
for program in Xvfb wineserver msiinfo cmake x86_64-w64-mingw32-g++-win32; do
  command -v "$program" >/dev/null || missing+=("$program")
done
[ -x "${BOOTSTRAPPER_WINE64:-/usr/lib/wine/wine64}" ] || missing+=(wine64)
if [ ${#missing[@]} -gt 0 ]; then
  echo "check-setup: ${missing[*]} missing: running scripts/setup-machine.sh first" >&2
  "$root/scripts/setup-machine.sh"
fi
export PYTHONPATH="$root${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
exec python3 -m tooling.scenarios "$@"
