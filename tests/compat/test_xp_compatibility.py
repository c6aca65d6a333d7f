"""Static checks that setup.exe loads on Windows XP SP3 (and its 64-bit build on XP x64): its
headers, its import table against the committed allow-list (xp-imports.txt), and the absence of
what an XP loader would not handle or a check of the import table would not see.

What ships is read from BOOTSTRAPPER_OUTPUT_DIR, the Windows build trees from BOOTSTRAPPER_WIN_BUILD
and BOOTSTRAPPER_WIN_BUILD_X64 (all set by CTest), else build/out, build/windows and
build/windows-x64."""

import os
import re
import sys
import unittest
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

HERE = Path(__file__).resolve().parent
# The PE reader is the release tooling's, which reads setup.exe's resources and signature too.
sys.path.insert(0, str(HERE.parents[1]))
from tooling import pe_image  # noqa: E402

ALLOW_LIST = HERE / "xp-imports.txt"
ALLOW_LIST_X64 = HERE / "xp64-imports.txt"
XP = (5, 1)
XP_X64 = (5, 2)

# What the program binds at run time because Windows XP SP3 (or an early XP) lacks it or a system
# may miss it, and functions of later Windows that are easy to reach for by mistake: none of it may
# be imported at load time, whatever the allow-list says.
RUN_TIME_DLLS = {"msi.dll", "wintrust.dll", "crypt32.dll", "urlmon.dll", "wininet.dll",
                 "version.dll"}
RUN_TIME_FUNCTIONS = {
    "IsWow64Process", "SetDefaultDllDirectories", "SetDllDirectoryW", "AddDllDirectory",
    "CheckTokenMembership", "OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges",
    "WinVerifyTrust", "GetTickCount64", "InitializeCriticalSectionEx",
    "GetFinalPathNameByHandleW", "CompareStringOrdinal", "SystemFunction036",
    "NtCreateFile", "NtSetInformationFile", "RtlNtStatusToDosError",
}
# Runtime DLLs of the compiler that would have to travel with the executable.
MINGW_RUNTIME_DLL = re.compile(
    r"^(libgcc_s.*|libstdc\+\+.*|libwinpthread.*|libssp.*|libatomic.*|libgomp.*|mingwm10)\.dll$",
    re.IGNORECASE)


def build_path(variable: str, default: str) -> Path:
    configured = os.environ.get(variable)
    if configured:
        return Path(configured)
    build = os.environ.get("BOOTSTRAPPER_BUILD_DIR") or HERE.parents[1] / "build"
    return Path(build) / default


def win_build_dir(flavour: str = "x86") -> Path:
    """The Windows build tree of the 32-bit (x86) or the 64-bit (x64) programs."""
    if flavour == "x86":
        return build_path("BOOTSTRAPPER_WIN_BUILD", "windows")
    return build_path("BOOTSTRAPPER_WIN_BUILD_X64", "windows-x64")


def output_dir() -> Path:
    """Where each description's setup.exe ships: <name>/setup.exe, <name>/x64/setup.exe."""
    return build_path("BOOTSTRAPPER_OUTPUT_DIR", "out")


@dataclass
class AllowedDll:
    name: str
    known: bool
    functions: Dict[str, Tuple[int, int]]


def parse_allow_list(text: str) -> Dict[str, AllowedDll]:
    """Sections "[dll] known|not-known" with lines "Function major.minor"; keyed by lower-case
    DLL name."""
    dlls: Dict[str, AllowedDll] = {}
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        section = re.fullmatch(r"\[([^\]]+)\]\s+(known|not-known)", line)
        if section:
            current = AllowedDll(section.group(1), section.group(2) == "known", {})
            if current.name.lower() in dlls:
                raise ValueError(f"line {number}: {current.name} listed twice")
            dlls[current.name.lower()] = current
            continue
        entry = re.fullmatch(r"(\S+)\s+(\d+)\.(\d+)", line)
        if not entry or current is None:
            raise ValueError(f"line {number}: not a section or 'Function major.minor': {raw!r}")
        if entry.group(1) in current.functions:
            raise ValueError(f"line {number}: {entry.group(1)} listed twice")
        current.functions[entry.group(1)] = (int(entry.group(2)), int(entry.group(3)))
    return dlls


def unlisted_imports(image: pe_image.PeImage, allowed: Dict[str, AllowedDll]) -> List[str]:
    """Every import that the allow-list does not cover, as the line to look up and add."""
    problems = []
    for entry in image.imports:
        dll = allowed.get(entry.dll.lower())
        if entry.name is None:
            problems.append(f"{entry.dll} ordinal {entry.ordinal}: import by name instead")
        elif dll is None:
            problems.append(f"{entry.dll} {entry.name}: DLL not on the list")
        elif entry.name not in dll.functions:
            problems.append(f"{entry.dll} {entry.name}: not on the list")
    return problems


def loader_incompatibilities(image: pe_image.PeImage) -> List[str]:
    """What an XP loader does not do, or does in a way a check of the import table misses."""
    problems = []
    if image.has_directory(pe_image.DIRECTORY_TLS) or image.section(".tls"):
        problems.append("thread-local storage directory or .tls section (loader-run callbacks)")
    if image.has_directory(pe_image.DIRECTORY_DELAY_IMPORT):
        problems.append("delay-load imports (they escape the import allow-list)")
    if image.has_directory(pe_image.DIRECTORY_CLR):
        problems.append("a .NET header")
    return problems


class AllowListTest(unittest.TestCase):
    """The committed list itself: readable, and nothing on it beyond Windows XP."""

    def test_every_entry_exists_on_windows_xp(self):
        for path, oldest in ((ALLOW_LIST, XP), (ALLOW_LIST_X64, XP_X64)):
            dlls = parse_allow_list(path.read_text())
            too_new = [f"{d.name} {f} {v[0]}.{v[1]}" for d in dlls.values()
                       for f, v in d.functions.items() if v > oldest]
            self.assertEqual([], too_new, path.name)

    def test_run_time_bindings_are_not_on_it(self):
        dlls = parse_allow_list(ALLOW_LIST.read_text())
        self.assertEqual(set(), RUN_TIME_DLLS & set(dlls))
        listed = {f for d in dlls.values() for f in d.functions}
        self.assertEqual(set(), RUN_TIME_FUNCTIONS & listed)

    def test_malformed_lines_are_refused(self):
        for text in ("CloseHandle 5.0\n",                       # outside a section
                     "[KERNEL32.dll] known\nCloseHandle\n",     # no version
                     "[KERNEL32.dll]\nCloseHandle 5.0\n",       # no known/not-known
                     "[a.dll] known\nF 5.0\nF 5.1\n"):          # twice
            with self.subTest(text=text), self.assertRaises(ValueError):
                parse_allow_list(text)


class CheckerTest(unittest.TestCase):
    """The checks find what they look for: a program linked with the runtime's defaults (the test
    harness) has the TLS directory and imports that setup.exe must not have."""

    @classmethod
    def setUpClass(cls):
        # The 32-bit tools are not built where only 64-bit programs run; either will do.
        candidates = [win_build_dir(f) / "tests" / "windows" / "harness" / "wintool.exe"
                      for f in ("x86", "x64")]
        path = next((p for p in candidates if p.is_file()), candidates[0])
        cls.image = pe_image.read(path)

    def test_finds_the_runtime_tls_directory(self):
        self.assertIn("thread-local storage directory or .tls section (loader-run callbacks)",
                      loader_incompatibilities(self.image))

    def test_finds_imports_off_the_list(self):
        problems = unlisted_imports(self.image, parse_allow_list(ALLOW_LIST.read_text()))
        self.assertTrue(any(p.lower().startswith("msi.dll ") for p in problems), problems)


class SetupImageTest(unittest.TestCase):
    """Every 32-bit setup.exe that the build ships, as it signs them."""

    flavour = "x86"
    header = (pe_image.MACHINE_I386, pe_image.PE32_MAGIC)

    @classmethod
    def setUpClass(cls):
        paths = cls.paths()
        if not paths:
            raise AssertionError(f"the build shipped no {cls.flavour} setup.exe in {output_dir()}")
        cls.images = [(path, pe_image.read(path)) for path in paths]
        cls.allowed = cls.allow_list()

    @staticmethod
    def paths() -> List[Path]:
        return sorted(output_dir().glob("*/setup.exe"))

    @staticmethod
    def allow_list() -> Dict[str, AllowedDll]:
        return parse_allow_list(ALLOW_LIST.read_text())

    def each_image(self) -> Iterator[pe_image.PeImage]:
        for path, image in self.images:
            with self.subTest(str(path)):
                yield image

    def test_header_is_a_gui_program_for_windows_xp(self):
        for image in self.each_image():
            self.assertEqual(self.header, (image.machine, image.magic))
            self.assertEqual(pe_image.SUBSYSTEM_WINDOWS_GUI, image.subsystem)
            # XP's loader refuses a subsystem version above its own 5.1.
            self.assertEqual(XP, image.subsystem_version)
            self.assertLessEqual(image.os_version, XP)

    def test_no_compiler_runtime_dll(self):
        for image in self.each_image():
            self.assertEqual([], [d for d in image.imported_dlls() if MINGW_RUNTIME_DLL.match(d)])

    def test_every_import_is_on_the_allow_list(self):
        for image in self.each_image():
            self.assertNotEqual([], image.imports)
            self.assertEqual([], unlisted_imports(image, self.allowed),
                             f"add each with its documented minimum Windows version to "
                             f"{ALLOW_LIST}, or bind it at run time if Windows XP SP3 lacks it")

    def test_run_time_bindings_are_not_imported(self):
        for image in self.each_image():
            dlls = {d.lower() for d in image.imported_dlls()}
            self.assertEqual(set(), dlls & RUN_TIME_DLLS)
            names = {e.name for e in image.imports}
            self.assertEqual(set(), names & RUN_TIME_FUNCTIONS)

    def test_nothing_the_xp_loader_would_run_or_miss(self):
        for image in self.each_image():
            self.assertEqual([], loader_incompatibilities(image))

    def test_signed(self):
        # The header checks above read the file as signed: the signature covers the header, so
        # nothing may change it after signing.
        for image in self.each_image():
            self.assertTrue(image.has_directory(pe_image.DIRECTORY_SECURITY))


class Setup64ImageTest(SetupImageTest):
    """The 64-bit setup.exe holds to the same: it loads on every 64-bit Windows from XP x64 on,
    whose loader and system libraries are those of Windows Server 2003 (5.2)."""

    flavour = "x64"
    header = (pe_image.MACHINE_AMD64, pe_image.PE32_PLUS_MAGIC)

    @staticmethod
    def paths() -> List[Path]:
        # The tests' one as well: it is built whether or not a description ships an x64 one.
        return sorted(output_dir().glob("*/x64/setup.exe")) + [win_build_dir("x64") / "setup.exe"]

    @staticmethod
    def allow_list() -> Dict[str, AllowedDll]:
        allowed = parse_allow_list(ALLOW_LIST.read_text())
        for name, dll in parse_allow_list(ALLOW_LIST_X64.read_text()).items():
            allowed.setdefault(name, dll).functions.update(dll.functions)
        return allowed


if __name__ == "__main__":
    unittest.main()
