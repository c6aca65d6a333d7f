"""Reads a Windows Installer package with msitools' msiinfo: its tables, its properties and the
PackageCode of its summary information. A file that is no package is said in one sentence, never
with msiinfo's own messages."""

import re
import subprocess
from pathlib import Path
from typing import Dict, List, Optional, Union

PathLike = Union[str, Path]


class NotAPackage(ValueError):
    """The file is not a Windows Installer package that msiinfo can read."""


def _msiinfo(*args: str) -> str:
    done = subprocess.run(['msiinfo', *args], capture_output=True)
    if done.returncode != 0:
        raise NotAPackage('msiinfo cannot read it as a Windows Installer package')
    return done.stdout.decode('utf-8', 'replace').replace('\r\n', '\n')


def tables(package: PathLike) -> List[str]:
    return [name for name in _msiinfo('tables', str(package)).split('\n') if name]


def table(package: PathLike, name: str, present: Optional[List[str]] = None) -> List[List[str]]:
    """The rows of a table, each a list of its columns; none when the package has no such table
    (`present`, the package's tables, saves asking for them again)."""
    if name not in (present if present is not None else tables(package)):
        return []
    lines = _msiinfo('export', str(package), name).split('\n')
    # Three header lines: column names, column types, table name and keys.
    return [line.split('\t') for line in lines[3:] if line]


def properties(package: PathLike) -> Dict[str, str]:
    return {row[0]: row[1] if len(row) > 1 else '' for row in table(package, 'Property')}


def package_code(package: PathLike) -> Optional[str]:
    """The PackageCode, which the summary information calls the revision number."""
    found = re.search(r'^Revision number \(UUID\): (\S+)', _msiinfo('suminfo', str(package)), re.M)
    return found.group(1) if found else None


def long_name(file_name: str) -> str:
    """The long name of a File or RemoveFile name column, which may be "SHORT|Long name"."""
    return file_name.split('|', 1)[-1]
