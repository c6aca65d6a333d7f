"""Reads a built setup.exe back from the file alone: its settings and options, its string
tables, its version resource and its payloads, and refuses a file that is not a setup.exe of this
project. Standard library only."""

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

from .. import pe_image

RT_DIALOG = 5
RT_STRING = 6
RT_VERSION = 16
RT_SETTING = 40
RT_PRODUCT_OPTION = 41
PAYLOAD_TYPE = "EXE"
ENGLISH_US = 1033

# What marks the program's own resources: the progress dialog and the string rows that give the
# settings their defaults. A product can replace texts, not these ids.
PROGRESS_DIALOG = 1101
DEFAULT_PRODUCT_NAME = 17
DEFAULT_DATABASE = 38
DEFAULT_MINIMUM_MSI = 39
MSXML_X86_PATH = 40
MSXML_X64_PATH = 41
DEFAULT_UPDATE = 42
RUNTIME_FILE = 90

# The settings the program reads, in the order it reads them.
SETTING_NAMES = ("OPERATION", "PRODUCTNAME", "DATABASE", "MINIMUM_MSI", "UPDATE",
                 "UPDATELOCATION", "BASEURL", "PACKAGESIGNER", "PROPERTIES")
PACKAGE_PAYLOAD = 1004


class NotASetup(Exception):
    """The file is not a setup.exe that this project builds."""


@dataclass
class SetupImage:
    path: Path
    data: bytes
    pe: pe_image.PeImage
    settings: Dict[str, str]
    strings: Dict[int, str]             # the default table, the one most users see
    string_tables: Dict[int, Dict[int, str]]   # every table, by LANGID
    options: Dict[str, str]             # the product options, by resource name
    version: Optional[Dict[str, str]]
    payloads: Dict[int, memoryview]

    def setting(self, name: str, default_row: Optional[int] = None) -> Optional[str]:
        """A setting as the program sees it: stored, else its default row, else None."""
        if name in self.settings:
            return self.settings[name]
        return self.strings.get(default_row) if default_row is not None else None

    @property
    def database(self) -> str:
        return self.setting("DATABASE", DEFAULT_DATABASE)


def _string_tables(resources: List[pe_image.Resource]) -> Dict[int, Dict[int, str]]:
    """The rows of each string table, by LANGID."""
    tables: Dict[int, Dict[int, str]] = {}
    for block in resources:
        if block.type != RT_STRING or not isinstance(block.name, int):
            continue
        table = tables.setdefault(block.language, {})
        data, offset = bytes(block.data), 0
        for index in range(16):
            if offset + 2 > len(data):
                break
            length = int.from_bytes(data[offset:offset + 2], "little")
            text = data[offset + 2:offset + 2 + 2 * length].decode("utf-16-le", "replace")
            offset += 2 + 2 * length
            if length:
                table[(block.name - 1) * 16 + index] = text
    return tables


def _text_resources(resources: List[pe_image.Resource], kind: int) -> Dict[str, str]:
    """Named resources of one type that hold UTF-16LE text with its terminator."""
    values = {}
    for r in resources:
        if r.type == kind and isinstance(r.name, str):
            value = bytes(r.data).decode("utf-16-le", "replace")
            values[r.name] = value.split("\0", 1)[0]
    return values


def _version_block(data: bytes, offset: int, end: int):
    """One block of a version resource: its key, where its children start and where it ends."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    if length < 6:
        raise struct.error("a version block shorter than its header")
    stop = min(offset + length, end)
    key_end = offset + 6
    while key_end + 1 < stop and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le", "replace")
    value_start = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    return key, value_start, (value_start + value_size + 3) & ~3, stop


def read_version(data: bytes) -> Optional[Dict[str, str]]:
    """The strings of a VERSIONINFO resource, of its first language."""
    strings: Dict[str, str] = {}
    try:
        key, _, child, end = _version_block(data, 0, len(data))
        while key == "VS_VERSION_INFO" and child + 6 <= end and not strings:
            name, _, table, table_end = _version_block(data, child, end)
            if name == "StringFileInfo" and table + 6 <= table_end:
                _, _, entry, language_end = _version_block(data, table, table_end)
                while entry + 6 <= language_end:
                    # A string's length is counted in characters by some tools and in bytes by
                    # others: its text runs to its terminator.
                    name, start, _, entry_end = _version_block(data, entry, language_end)
                    strings[name] = data[start:entry_end].decode("utf-16-le", "replace") \
                        .split("\0", 1)[0]
                    entry = (entry_end + 3) & ~3
            child = (table_end + 3) & ~3
    except struct.error:
        pass
    return strings or None


def read_setup(path: Path) -> SetupImage:
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise NotASetup(f"cannot be read: {error.strerror}") from error
    try:
        pe = pe_image.read(data)
    except pe_image.PeFormatError as error:
        raise NotASetup(f"not a Windows program: {error}") from error
    tables = _string_tables(pe.resources)
    strings = tables.get(ENGLISH_US) or next(iter(tables.values()), {})
    has_dialog = any(r.type == RT_DIALOG and r.name == PROGRESS_DIALOG for r in pe.resources)
    if not has_dialog or any(row not in strings for row in
                             (DEFAULT_PRODUCT_NAME, DEFAULT_DATABASE, DEFAULT_MINIMUM_MSI)):
        raise NotASetup("a Windows program without the resources of this project's setup.exe "
                        f"(dialog {PROGRESS_DIALOG}, string rows {DEFAULT_PRODUCT_NAME}, "
                        f"{DEFAULT_DATABASE} and {DEFAULT_MINIMUM_MSI})")
    versions = [r for r in pe.resources if r.type == RT_VERSION]
    payloads = {r.name: r.data for r in pe.resources
                if r.type == PAYLOAD_TYPE and isinstance(r.name, int)}
    return SetupImage(Path(path), data, pe, _text_resources(pe.resources, RT_SETTING), strings,
                      tables, _text_resources(pe.resources, RT_PRODUCT_OPTION),
                      read_version(bytes(versions[0].data)) if versions else None, payloads)
