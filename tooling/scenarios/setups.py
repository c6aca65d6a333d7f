"""The setup.exe files a scenario check runs: which file of a build this machine can run, what
product each carries (or downloads), and where a download product's server files are."""

import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from .. import msi
from ..inspection.contents import package_file, package_identity
from ..inspection.image import DEFAULT_PRODUCT_NAME, NotASetup, read_setup
from ..inspection.render import upgrade_path
from ..inspection.signature import find_upload

X86, X64 = "x86", "x64"
LOCAL_HOSTS = ("127.0.0.1", "localhost")


class SetupError(ValueError):
    """A setup.exe that cannot be checked here; the message says why in one sentence."""


@dataclass
class Setup:
    number: int
    given: Path
    path: Path                      # the file that runs: the given one or its 64-bit build
    flavour: str
    product_name: str               # PRODUCTNAME, which names the installer's log
    package: Optional[dict]         # the identity of the package it installs
    base_url: Optional[str]
    upload: Optional[Path]          # the package for the server of a download product
    note: Optional[str] = None      # why another file than the given one runs

    @property
    def version(self) -> Optional[str]:
        return self.package.get("ProductVersion") if self.package else None

    @property
    def label(self) -> str:
        if not self.package:
            return f"{self.path} (its package is not at hand)"
        return f"{self.path} ({self.package.get('ProductName')} {self.version})"

    @property
    def served_here(self) -> bool:
        """Whether it downloads its package from this machine, where its upload folder can be
        served."""
        return bool(self.base_url and self.upload
                    and urllib.parse.urlsplit(self.base_url).hostname in LOCAL_HOSTS)

    def served_files(self) -> Optional[Dict[str, bytes]]:
        """What a server on 127.0.0.1 gives a download product: its upload folder under the
        path of its BASEURL. None when it downloads from elsewhere."""
        if not self.served_here:
            return None
        folder = urllib.parse.urlsplit(self.base_url).path.rstrip("/")
        return {f"{folder}/{file.name}": file.read_bytes()
                for file in sorted(self.upload.parent.iterdir()) if file.is_file()}

    @property
    def port(self) -> int:
        url = urllib.parse.urlsplit(self.base_url or "")
        return url.port or (443 if url.scheme == "https" else 80)


def _is_64_bit(path: Path) -> bool:
    try:
        return read_setup(path).pe.is_64_bit
    except NotASetup as error:
        raise SetupError(f"{path}: not a setup.exe of this project: {error}") from None


def runnable_file(given: Path, runs_32bit: bool, why: str) -> tuple:
    """(file, note): the setup.exe to run for `given` (a setup.exe or an output folder), and
    why it is another file. Where 32-bit programs do not run, a 32-bit setup.exe is replaced by
    the 64-bit build beside it (x64/setup.exe, where the build puts it)."""
    path = given / "setup.exe" if given.is_dir() else given
    if not path.is_file():
        raise SetupError(f"{path}: no such file")
    if runs_32bit or _is_64_bit(path):
        return path, None
    other = path.parent / "x64" / "setup.exe"
    if other.is_file() and _is_64_bit(other):
        return other, (f"this machine cannot run 32-bit programs ({why}): {other} runs, the "
                       f"64-bit build of {path}")
    raise SetupError(f"{path} is a 32-bit program, which this machine cannot run, and there is "
                     f"no 64-bit build beside it ({other}; \"x64 = on\" in the description's "
                     f"[build] section makes one)")


def read(number: int, given: Path, runs_32bit: bool, why: str) -> Setup:
    path, note = runnable_file(given, runs_32bit, why)
    image = read_setup(path)
    base_url = image.settings.get("BASEURL")
    upload = find_upload(image, None) if base_url else None
    package = None
    with package_file(image, upload) as (_, package_path):
        if package_path is not None:
            try:
                package = package_identity(package_path)
            except msi.NotAPackage:
                package = None
    return Setup(number, given, path, X64 if image.pe.is_64_bit else X86,
                 image.setting("PRODUCTNAME", DEFAULT_PRODUCT_NAME), package, base_url, upload,
                 note)


def flavour_of(setups: Sequence[Setup]) -> str:
    """One flavour for the whole run, since every step runs in one prefix: a 64-bit setup.exe
    needs 64-bit Windows, where a 32-bit one runs too."""
    return X64 if any(s.flavour == X64 for s in setups) else X86


def _version_key(version: str) -> List[int]:
    return [int(part) if part.isdigit() else 0 for part in version.split(".")]


def versions_in_order(setups: Sequence[Setup]) -> List[int]:
    """The setup.exe by position, oldest product version first, for the standard set. Refused
    with a sentence when they cannot be put in order: a package that is not at hand, or two
    setup.exe of one version."""
    for setup in setups:
        if not setup.version:
            raise SetupError(f"{setup.path}: its package is not at hand (a download product "
                             f"needs its upload folder beside it), so its version is unknown")
    ordered = sorted(setups, key=lambda s: _version_key(s.version))
    for older, newer in zip(ordered, ordered[1:]):
        if same_version(older.version, newer.version):
            raise SetupError(f"{older.path} and {newer.path} both install version "
                             f"{older.version}: an upgrade needs two versions")
    return [s.number for s in ordered]


def upgrade_notes(setups: Sequence[Setup], order: Sequence[int]) -> List[str]:
    """What the installer is expected to do at each upgrade, as inspect --against says it."""
    by_number = {s.number: s for s in setups}
    notes = []
    for older, newer in zip(order, order[1:]):
        path = upgrade_path(by_number[newer].package, by_number[older].package)
        if path:
            notes.append(f"{by_number[older].version} -> {by_number[newer].version}: {path}")
    return notes


def same_version(a: Optional[str], b: Optional[str]) -> bool:
    """Versions as the installer compares them: by their numbers, "2.1" being "2.1.0"."""
    if a is None or b is None:
        return False
    left, right = _version_key(a), _version_key(b)
    width = max(len(left), len(right))
    return left + [0] * (width - len(left)) == right + [0] * (width - len(right))
