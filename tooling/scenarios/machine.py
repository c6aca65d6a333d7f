"""What a scenario check needs besides the setup.exe files, made only when it is missing: the
decision which Windows programs Wine runs here, and the Windows-side harness (runharness and
wintool) in the flavour that runs. Each says in one line what it makes, and nothing is made when
everything is there: a check of a built setup.exe then starts in seconds."""

import json
import subprocess
import sys
from pathlib import Path

from .. import REPO_ROOT
from .setups import X64, X86

HARNESS_SOURCES = REPO_ROOT / "tests" / "harness"
HARNESS_TOOLS = ("runharness", "wintool")
PROBE_SOURCE = REPO_ROOT / "tests" / "tools" / "flavour_probe.c"
COMPILERS = {X86: "i686-w64-mingw32-gcc", X64: "x86_64-w64-mingw32-gcc"}


class MachineError(RuntimeError):
    """Something the check needs could not be made; the message says what and why."""


def _say(text: str) -> None:
    print(f"check-setup: {text}", file=sys.stderr, flush=True)


def _run(command, what: str) -> None:
    done = subprocess.run([str(c) for c in command], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if done.returncode != 0:
        output = (done.stdout + done.stderr).strip().splitlines()[-20:]
        raise MachineError(f"{what} failed ({done.returncode}):\n" + "\n".join(output))


def runs_32bit(build: Path) -> tuple:
    """(whether Wine runs 32-bit Windows programs here, why), as the build decided when it was
    configured; decided now (and kept in the build folder) where no build did."""
    answer = build / "testbed" / "flavours.json"
    if not answer.is_file():
        _say(f"deciding once whether Wine runs 32-bit programs here, kept in {answer}")
        probes = {}
        for flavour, compiler in COMPILERS.items():
            probes[flavour] = answer.parent / f"probe-{flavour}.exe"
            answer.parent.mkdir(parents=True, exist_ok=True)
            _run([compiler, "-Os", "-s", "-o", probes[flavour], PROBE_SOURCE],
                 f"building the {flavour} probe")
        from testbed import WineError, flavours
        try:
            decision = flavours.decide(probes[X86], probes[X64])
        except WineError as error:
            raise MachineError(str(error)) from None
        answer.write_text(json.dumps(decision) + "\n")
    decision = json.loads(answer.read_text())
    return bool(decision["x86"]), decision["reason"]


def _up_to_date(folder: Path, stamp: Path) -> bool:
    """Whether both tools are there and were built, by this check, after their sources last
    changed (a tree that make left alone keeps its older programs)."""
    if not stamp.is_file() or not all((folder / f"{name}.exe").is_file()
                                      for name in HARNESS_TOOLS):
        return False
    built = stamp.stat().st_mtime
    return all(source.stat().st_mtime <= built for source in HARNESS_SOURCES.iterdir())


def harness(build: Path, flavour: str) -> Path:
    """The folder of runharness.exe and wintool.exe of the flavour. A Windows tree of the build
    that has the tests gives them; otherwise a tree of their own below testbed/, which builds
    these two programs and nothing else. make is asked only when a tool is missing or its
    sources changed since this check last asked."""
    tree = build / ("windows-x64" if flavour == X64 else "windows")
    cache = tree / "CMakeCache.txt"
    if cache.is_file() and "BOOTSTRAPPER_BUILD_TESTS:BOOL=ON" in cache.read_text():
        folder = tree / "tests" / "windows" / "harness"
    else:
        tree = build / "testbed" / f"harness-{flavour}"
        folder = tree
    stamp = build / "testbed" / f"harness-{flavour}.built"
    if _up_to_date(folder, stamp):
        return folder
    if all((folder / f"{name}.exe").is_file() for name in HARNESS_TOOLS):
        _say(f"bringing the Windows-side harness ({flavour}) in {tree} up to date")
    else:
        _say(f"building the Windows-side harness ({', '.join(HARNESS_TOOLS)}, {flavour}) in "
             f"{tree}")
    if not (tree / "CMakeCache.txt").is_file():
        _run(["cmake", "-S", HARNESS_SOURCES, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
              f"-DCMAKE_TOOLCHAIN_FILE={REPO_ROOT / 'cmake' / 'mingw.cmake'}",
              f"-DBOOTSTRAPPER_WINDOWS_ARCH={flavour}"], "configuring the harness")
    _run(["cmake", "--build", tree, "-j2", "--target", *HARNESS_TOOLS], "building the harness")
    stamp.parent.mkdir(parents=True, exist_ok=True)
    stamp.touch()
    return folder
