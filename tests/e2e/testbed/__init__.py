"""Test bed of the end-to-end tests: Xvfb, Wine prefixes, the run harness, wintool and an HTTP
server, for tests that run Windows programs under Wine the way a user would."""

from . import flavours
from .case import SetupTestCase
from .display import Display, DisplayError
from .httpserver import HttpServer
from .leftovers import TempLeftovers
from .paths import artifact, win_build_dir, work_dir
from .prefix import Prefix, WineError, ensure_template
from .results import Box, Dialog, HarnessError, HarnessTimeout, Rect, RunResult

__all__ = [
    "flavours", "SetupTestCase", "Display", "DisplayError", "HttpServer", "artifact", "win_build_dir",
    "work_dir", "Prefix", "WineError", "ensure_template", "Box", "Dialog", "HarnessError",
    "HarnessTimeout", "Rect", "RunResult", "TempLeftovers",
]
