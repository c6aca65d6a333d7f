"""The base class of the end-to-end tests: one display and one prefix per test file."""

import shutil
import threading
import unittest
from pathlib import Path
from typing import ClassVar, Optional, Tuple

from . import flavours, paths
from .display import Display
from .httpserver import HttpServer
from .prefix import Prefix


class SetupTestCase(unittest.TestCase):
    """Gives every test class a Wine prefix of its own on the test process's display.

    A class chooses its Windows through the class attributes below. Each test starts with an
    empty Temp folder; anything else a test changes in the prefix (registry, installed products,
    files) it must undo or leave to a class of its own.
    """

    # None: the flavour's own Windows (32-bit for x86, 64-bit for x64); "win32" or "win64" for
    # a class that is about one of them. An x64 program does not run on 32-bit Windows, so
    # such a class is skipped for the x64 flavour.
    arch: ClassVar[Optional[str]] = None
    # The flavours for which the class means something; skipped for the others.
    for_flavours: ClassVar[Tuple[str, ...]] = (flavours.X86, flavours.X64)
    windows_version: ClassVar[Optional[str]] = None  # e.g. "winxp"; None keeps Wine's default
    root_cert: ClassVar[Optional[str]] = None       # certificate file for the machine's Root store
    dll_overrides: ClassVar[Optional[str]] = None   # WINEDLLOVERRIDES for every Wine start

    display: ClassVar[Display]
    prefix: ClassVar[Prefix]

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        flavour = flavours.current()
        if flavour not in cls.for_flavours:
            raise unittest.SkipTest(f"not a case of the {flavour} flavour")
        if flavour == flavours.X64 and cls.arch == "win32":
            raise unittest.SkipTest("a 64-bit program does not run on 32-bit Windows")
        cls.display = Display.shared()
        cls.prefix = Prefix(cls.display, arch=cls.arch, windows_version=cls.windows_version,
                            root_cert=cls.root_cert, dll_overrides=cls.dll_overrides,
                            name=cls.__name__)
        # Registered before opening, so a half-opened prefix is removed too.
        cls.addClassCleanup(cls.prefix.close)
        cls.prefix.open()

    def setUp(self) -> None:
        super().setUp()
        self.prefix.reset_temp()

    def run_program(self, exe, **kwargs):
        """Prefix.run, named so as not to hide unittest's own run()."""
        return self.prefix.run(exe, **kwargs)

    def assert_work_folder_gone(self, result) -> None:
        """The run named its own folder in the log, and that folder, with whatever the run wrote
        to it, is gone."""
        self.assertIsNotNone(result.work_folder, result.describe())
        self.assertFalse(self.prefix.to_linux(result.work_folder).exists(), result.describe())

    def media_copy(self, variant: str = "setup.exe") -> Path:
        """C:\\media with the built `variant` in it as setup.exe, so that files beside it belong
        to the test; removed again when the test ends."""
        media = self.prefix.drive_c / "media"
        shutil.rmtree(media, ignore_errors=True)
        media.mkdir()
        self.addCleanup(shutil.rmtree, media, True)
        shutil.copy(paths.artifact(variant), media / "setup.exe")
        return media

    @staticmethod
    def wait_for_file(path: Path, seconds: float = 60.0) -> bool:
        """Waits until another process has made `path`; whether it did in time."""
        for _ in range(int(seconds / 0.05)):
            if path.exists():
                return True
            threading.Event().wait(0.05)
        return path.exists()

    def http_server(self, **kwargs) -> HttpServer:
        """An HttpServer that is already serving and stops when the test ends."""
        server = HttpServer(**kwargs).start()
        self.addCleanup(server.stop)
        return server

    @staticmethod
    def artifact(name: str):
        return paths.artifact(name)
