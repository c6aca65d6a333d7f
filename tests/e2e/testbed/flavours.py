"""The two flavours of the Windows programs under test, and which of them this machine runs.

The x86 flavour is the 32-bit setup.exe with its 32-bit tools, run by Wine's 32-bit loader (the
`wine` script picks it); the x64 flavour is the 64-bit build of the same sources, run by
/usr/lib/wine/wine64 in a 64-bit prefix. Some machines cannot run 32-bit programs at all (the
kernel's 32-bit emulation is off, or only an emulator would run them, far too slowly): there
only the x64 flavour runs.

Whether this machine runs 32-bit Windows programs is decided once per build, when the build is
configured, by running one: `decide` makes a 32-bit prefix and runs a tiny console program in it,
which must end with PROBE_EXIT within seconds. The answer is written to the build's
testbed/flavours.json; CTest gives each test its flavour in BOOTSTRAPPER_FLAVOUR and the answer
in BOOTSTRAPPER_RUNS_32BIT. BOOTSTRAPPER_64BIT_ONLY=1 makes a machine that can run 32-bit
programs decide as one that cannot (to try that case where it did not happen by itself).
"""

import json
import os
import subprocess
from pathlib import Path
from typing import Dict, Optional

X86, X64 = "x86", "x64"
# The 64-bit loader; BOOTSTRAPPER_WINE64 names another (a Wine built elsewhere, with its own
# `wine` and `wineserver` first on PATH).
WINE64 = os.environ.get("BOOTSTRAPPER_WINE64", "/usr/lib/wine/wine64")
PROBE_EXIT = 42
SKIP_REASON = "needs 32-bit Windows programs, which this machine cannot run"
# A native 32-bit loader runs the probe in about a second; an emulated one takes minutes.
_PROBE_TIMEOUT = 15
_TEMPLATE_TIMEOUT = 120


def current() -> str:
    """The flavour of the programs under test in this process."""
    flavour = os.environ.get("BOOTSTRAPPER_FLAVOUR", X86)
    if flavour not in (X86, X64):
        raise ValueError(f"BOOTSTRAPPER_FLAVOUR is {X86} or {X64}, not {flavour!r}")
    return flavour


def forced_64bit_only() -> bool:
    return os.environ.get("BOOTSTRAPPER_64BIT_ONLY") == "1"


def runs_32bit() -> bool:
    """Whether this machine runs 32-bit Windows programs, as the build decided; a process that
    CTest did not start reads the decision from the build folder."""
    told = os.environ.get("BOOTSTRAPPER_RUNS_32BIT")
    if told in ("0", "1"):
        return told == "1"
    answer = _recorded()
    return bool(answer["x86"]) if answer else not forced_64bit_only()


def _recorded() -> Optional[dict]:
    from . import paths
    recorded = paths.build_dir() / "testbed" / "flavours.json"
    return json.loads(recorded.read_text()) if recorded.is_file() else None


def reason() -> str:
    """Why the build decided as it did, in a few words."""
    answer = _recorded()
    return answer["reason"] if answer else "not decided by a build"


def loader(flavour: str) -> str:
    """The Wine command that starts a program of the flavour. The `wine` script prefers the
    32-bit loader whenever it is installed, also where it cannot run, so the 64-bit programs are
    started by the 64-bit loader itself."""
    return WINE64 if flavour == X64 else "wine"


def _run_probe(command, env: Dict[str, str]) -> Optional[int]:
    try:
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=_PROBE_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.returncode


def decide(probe32: Path, probe64: Path) -> dict:
    """Runs the probes and returns {"x86": bool, "x64": bool, "reason": text}. The x86 flavour
    runs where a 32-bit probe ran in a 32-bit prefix within seconds; the x64 flavour must run
    wherever the tests run at all, so a 64-bit probe that fails raises WineError."""
    from .prefix import WineError, run_in_template

    if forced_64bit_only():
        x86, reason = False, "BOOTSTRAPPER_64BIT_ONLY=1 asks to behave as such a machine"
    else:
        try:
            status = run_in_template("win32", [loader(X86), str(probe32)], _run_probe,
                                     runs_32bit=True, timeout=_TEMPLATE_TIMEOUT)
        except (WineError, OSError, subprocess.TimeoutExpired) as error:
            # Wine's last word says why, e.g. that its 32-bit loader could not be executed.
            lines = [line.strip() for line in str(error).splitlines() if line.strip()]
            status, detail = None, f"Wine could not make a 32-bit Windows: {lines[-1]}"
            # Without its 32-bit loader, `wine` starts the 64-bit one, whose complaint about a
            # 32-bit prefix would say little.
            if not Path(WINE64).with_name("wine").exists():
                detail = f"wine32 is not installed: no 32-bit Wine loader beside {WINE64}"
        else:
            detail = ("a 32-bit test program did not end within "
                      f"{_PROBE_TIMEOUT} s" if status is None else
                      f"a 32-bit test program ended with {status}, not {PROBE_EXIT}")
        x86 = status == PROBE_EXIT
        reason = "a 32-bit test program ran under Wine" if x86 else detail
    status = run_in_template("win64", [loader(X64), str(probe64)], _run_probe, runs_32bit=x86,
                             timeout=_TEMPLATE_TIMEOUT)
    if status != PROBE_EXIT:
        raise WineError(f"Wine cannot run 64-bit Windows programs here: a 64-bit test program "
                        f"ended with {status}, not {PROBE_EXIT}")
    return {"x86": x86, "x64": True, "reason": reason[:300]}


def main(argv) -> int:
    """decide, for the build: flavours.py PROBE32 PROBE64 OUT.json; prints one line."""
    import sys
    from .prefix import WineError
    probe32, probe64, out = (Path(a) for a in argv)
    try:
        answer = decide(probe32, probe64)
    except WineError as error:
        print(f"testbed: {error}", file=sys.stderr)
        return 1
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(answer) + "\n")
    if answer["x86"]:
        print("testbed: this machine runs 32-bit Windows programs: the tests run for x86, and "
              "for x64 where the flavours differ", file=sys.stderr)
    else:
        print(f"testbed: this machine cannot run 32-bit Windows programs ({answer['reason']}): "
              f"the tests run with the x64 flavour, and the x86 ones are skipped",
              file=sys.stderr)
    return 0
