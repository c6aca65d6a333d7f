"""An Xvfb X server for the windows of the programs under test."""

import atexit
import os
import random
import signal
import socket
import subprocess
import time
from pathlib import Path
from typing import Optional

_SOCKET_DIR = Path("/tmp/.X11-unix")
_START_TIMEOUT = 15.0
_ATTEMPTS = 20


class DisplayError(RuntimeError):
    pass


def _accepts_connections(number: int) -> bool:
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(str(_SOCKET_DIR / f"X{number}"))
        return True
    except OSError:
        return False
    finally:
        sock.close()


def _exit_on_sigterm(signum, _frame) -> None:
    # sys.exit() would only fail the current test and let the run go on.
    atexit._run_exitfuncs()
    os._exit(128 + signum)


class Display:
    """One Xvfb server on a display number that nobody else uses.

    A number is free when neither its socket nor its lock file exists; two test processes that
    pick the same number at once are told apart by Xvfb itself, which refuses the second, and the
    loser tries another number.
    """

    _shared: Optional["Display"] = None

    def __init__(self, width: int = 1280, height: int = 1024, depth: int = 24):
        self.geometry = f"{width}x{height}x{depth}"
        self.number: Optional[int] = None
        self._process: Optional[subprocess.Popen] = None

    @property
    def name(self) -> str:
        if self.number is None:
            raise DisplayError("display not started")
        return f":{self.number}"

    @classmethod
    def shared(cls) -> "Display":
        """The one display of this test process, started on first use and stopped at exit."""
        if cls._shared is None:
            display = cls()
            display.start()
            atexit.register(display.stop)
            # A test run ended by SIGTERM (a CTest time-out) still runs its exit handlers, so
            # neither the server nor a prefix is left behind.
            if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
                signal.signal(signal.SIGTERM, _exit_on_sigterm)
            cls._shared = display
        return cls._shared

    def start(self) -> "Display":
        rng = random.Random(os.getpid() ^ time.monotonic_ns())
        for _ in range(_ATTEMPTS):
            number = rng.randrange(100, 1000)
            if (_SOCKET_DIR / f"X{number}").exists() or Path(f"/tmp/.X{number}-lock").exists():
                continue
            if self._try_start(number):
                return self
        raise DisplayError(f"no Xvfb could be started in {_ATTEMPTS} attempts")

    def _try_start(self, number: int) -> bool:
        process = subprocess.Popen(
            ["Xvfb", f":{number}", "-screen", "0", self.geometry, "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + _START_TIMEOUT
        while time.monotonic() < deadline:
            if process.poll() is not None:
                return False  # another server took the number first
            if _accepts_connections(number):
                self.number = number
                self._process = process
                return True
            # Xvfb needs a moment to create its socket; poll it without a fixed sleep.
            try:
                process.wait(timeout=0.02)
            except subprocess.TimeoutExpired:
                pass
        process.kill()
        process.wait()
        return False

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self.number = None

    def __enter__(self) -> "Display":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
