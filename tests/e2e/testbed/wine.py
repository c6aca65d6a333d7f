"""Running a Windows console program (a GoogleTest binary) under Wine in a prefix of its own."""

import os
import subprocess
from pathlib import Path
from typing import IO, Optional, Sequence

from . import flavours
from .display import Display
from .prefix import Prefix

_UNIT_TEST_TIMEOUT = 600


def run_unit_test(program: str, args: Sequence[str] = (), arch: Optional[str] = None,
                  stdout: Optional[IO] = None, timeout: float = _UNIT_TEST_TIMEOUT) -> int:
    """Runs `program ARGS` in a fresh prefix of the flavour's Windows on this process's display;
    returns its status.

    The program's output goes straight to `stdout` (this process's own by default), so a test
    runner shows it as the program writes it. The status is Wine's, the low 8 bits of the Windows
    exit code, which is enough for a program that ends with 0 or 1; a crash ends non-zero too.
    """
    display = Display.shared()
    with Prefix(display, arch=arch, name=Path(program).stem) as prefix:
        done = subprocess.run([flavours.loader(prefix.flavour), os.fspath(program), *args],
                              env=prefix.env(),
                              cwd=str(Path(program).parent), stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.STDOUT, timeout=timeout)
        return done.returncode
