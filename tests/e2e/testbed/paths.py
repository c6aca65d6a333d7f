"""Where the built Windows programs and the scratch space are.

CTest sets BOOTSTRAPPER_WIN_BUILD (the Windows build tree) and BOOTSTRAPPER_WORK (scratch space
for prefixes and their templates). A test file run by hand falls back to the places the host build
gives them: windows/ and work/ in the build folder (BOOTSTRAPPER_BUILD_DIR, or build/ in the
repository).
"""

import functools
import os
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[3]


def build_dir() -> Path:
    return Path(os.environ.get("BOOTSTRAPPER_BUILD_DIR") or REPO_ROOT / "build")


def win_build_dir() -> Path:
    """The Windows build tree of this process's flavour: windows/ or windows-x64/."""
    from . import flavours
    tree = "windows-x64" if flavours.current() == flavours.X64 else "windows"
    return Path(os.environ.get("BOOTSTRAPPER_WIN_BUILD") or build_dir() / tree)


def work_dir() -> Path:
    path = Path(os.environ.get("BOOTSTRAPPER_WORK") or build_dir() / "work")
    path.mkdir(parents=True, exist_ok=True)
    return path


@functools.lru_cache(maxsize=None)
def artifact(name: str) -> Path:
    """Finds a built program by file name in the Windows build tree.

    The test tools sit in tests/windows/harness of the tree; anything else is looked for at the
    top and then anywhere below it, so the layout of the tree can change without touching the
    tests.
    """
    root = win_build_dir()
    for candidate in (root / name, root / "tests" / "windows" / "harness" / name):
        if candidate.is_file():
            return candidate
    if root.is_dir():
        found = sorted(root.rglob(name))
        if found:
            return found[0]
    raise FileNotFoundError(
        f"{name} not found under {root}; build the Windows tree or set BOOTSTRAPPER_WIN_BUILD")
