"""Reads what the Windows loader reads from a PE image, 32-bit (PE32) or 64-bit (PE32+): the
headers, the section table, the data directories, the import table and the resources. Standard
library only."""

import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple, Union

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x010B
PE32_PLUS_MAGIC = 0x020B
SUBSYSTEM_WINDOWS_GUI = 2

# Data directory indexes.
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4
DIRECTORY_TLS = 9
DIRECTORY_LOAD_CONFIG = 10
DIRECTORY_DELAY_IMPORT = 13
DIRECTORY_CLR = 14


class PeFormatError(ValueError):
    pass


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


@dataclass
class Import:
    dll: str
    name: Optional[str]      # None for an import by ordinal
    ordinal: Optional[int]


@dataclass
class Resource:
    type: Union[int, str]   # an integer type (6 strings, 40 settings) or a name ("EXE")
    name: Union[int, str]
    language: int
    data: memoryview


@dataclass
class PeImage:
    machine: int
    magic: int
    subsystem: int
    subsystem_version: Tuple[int, int]
    os_version: Tuple[int, int]
    sections: List[Section]
    directories: List[Tuple[int, int]]   # (rva, size) per index
    imports: List[Import] = field(default_factory=list)
    resources: List[Resource] = field(default_factory=list)
    # Where the optional header starts: the Authenticode digest leaves out two fields in it.
    optional_header_offset: int = 0

    @property
    def is_64_bit(self) -> bool:
        return self.magic == PE32_PLUS_MAGIC

    @property
    def directories_offset(self) -> int:
        """Where the data directories start in the file: PE32+ has a 64-bit image base and
        64-bit stack and heap sizes, which put them 16 bytes further on."""
        return self.optional_header_offset + (112 if self.is_64_bit else 96)

    def directory(self, index: int) -> Tuple[int, int]:
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def has_directory(self, index: int) -> bool:
        rva, size = self.directory(index)
        return rva != 0 or size != 0

    def section(self, name: str) -> Optional[Section]:
        return next((s for s in self.sections if s.name == name), None)

    def imported_dlls(self) -> List[str]:
        seen: Dict[str, None] = {}
        for entry in self.imports:
            seen.setdefault(entry.dll, None)
        return list(seen)


def _unpack(fmt: str, data: bytes, offset: int) -> tuple:
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeFormatError(f"read of {size} bytes at {offset:#x} is outside the file")
    return struct.unpack_from(fmt, data, offset)


def _c_string(data: bytes, offset: int) -> str:
    end = data.find(b"\0", offset)
    if offset >= len(data) or end < 0:
        raise PeFormatError(f"unterminated name at {offset:#x}")
    return data[offset:end].decode("ascii")


def _file_offset(sections: List[Section], rva: int) -> int:
    for s in sections:
        if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
            offset = rva - s.virtual_address
            if offset >= s.raw_size:
                raise PeFormatError(f"RVA {rva:#x} lies in the uninitialised part of {s.name}")
            return s.raw_offset + offset
    raise PeFormatError(f"RVA {rva:#x} is in no section")


def _read_imports(data: bytes, sections: List[Section], rva: int,
                  wide: bool) -> List[Import]:
    # A lookup entry is 32 bits in PE32, 64 bits in PE32+; its top bit marks an ordinal.
    entry_format, entry_size, by_ordinal = ("<Q", 8, 1 << 63) if wide else ("<I", 4, 1 << 31)
    imports: List[Import] = []
    descriptor = _file_offset(sections, rva)
    while True:
        lookup, _, _, name_rva, first_thunk = _unpack("<5I", data, descriptor)
        if lookup == 0 and name_rva == 0 and first_thunk == 0:
            return imports
        dll = _c_string(data, _file_offset(sections, name_rva))
        # The lookup table stays as linked; the address table is overwritten once bound.
        thunk = _file_offset(sections, lookup or first_thunk)
        while True:
            (value,) = _unpack(entry_format, data, thunk)
            if value == 0:
                break
            if value & by_ordinal:
                imports.append(Import(dll, None, value & 0xFFFF))
            else:
                name_rva = value & 0x7FFFFFFF
                imports.append(Import(dll, _c_string(data, _file_offset(sections, name_rva) + 2),
                                      None))
            thunk += entry_size
        descriptor += 20


def _read_resources(data: bytes, sections: List[Section], rva: int) -> List[Resource]:
    """The three levels of the resource tree: type, name, language. Names are counted UTF-16
    strings at offsets from the start of the tree."""
    root = _file_offset(sections, rva)

    def key(value: int) -> Union[int, str]:
        if not value & 0x80000000:
            return value
        offset = root + (value & 0x7FFFFFFF)
        (length,) = _unpack("<H", data, offset)
        return bytes(data[offset + 2:offset + 2 + 2 * length]).decode("utf-16-le")

    def entries(offset: int) -> List[Tuple[Union[int, str], int]]:
        named, numbered = _unpack("<HH", data, root + offset + 12)
        found = []
        for i in range(named + numbered):
            name, target = _unpack("<II", data, root + offset + 16 + 8 * i)
            found.append((key(name), target))
        return found

    view = memoryview(data)
    resources: List[Resource] = []
    for type_key, names in entries(0):
        for name_key, languages in entries(names & 0x7FFFFFFF):
            for language, leaf in entries(languages & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise PeFormatError("resource tree deeper than type, name and language")
                data_rva, size = _unpack("<II", data, root + leaf)
                start = _file_offset(sections, data_rva)
                if start + size > len(data):
                    raise PeFormatError(f"resource {type_key}/{name_key} runs past the file")
                resources.append(Resource(type_key, name_key, int(language),
                                          view[start:start + size]))
    return resources


def read(source: Union[str, Path, bytes]) -> PeImage:
    data = source if isinstance(source, bytes) else Path(source).read_bytes()
    if data[:2] != b"MZ":
        raise PeFormatError("no MZ header")
    (pe_offset,) = _unpack("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise PeFormatError("no PE signature")
    coff = pe_offset + 4
    machine, section_count, _, _, _, optional_size, _ = _unpack("<HHIIIHH", data, coff)
    optional = coff + 20
    (magic,) = _unpack("<H", data, optional)
    if magic not in (PE32_MAGIC, PE32_PLUS_MAGIC):
        raise PeFormatError(f"optional header magic {magic:#x} is neither PE32 nor PE32+")
    os_major, os_minor = _unpack("<HH", data, optional + 40)
    sub_major, sub_minor = _unpack("<HH", data, optional + 48)
    (subsystem,) = _unpack("<H", data, optional + 68)
    directories_at = optional + (112 if magic == PE32_PLUS_MAGIC else 96)
    (directory_count,) = _unpack("<I", data, directories_at - 4)
    directories = [_unpack("<II", data, directories_at + 8 * i) for i in range(directory_count)]

    sections = []
    table = optional + optional_size
    for i in range(section_count):
        raw_name, vsize, vaddr, raw_size, raw_offset = _unpack("<8sIIII", data, table + 40 * i)
        sections.append(Section(raw_name.rstrip(b"\0").decode("ascii", "replace"), vaddr, vsize,
                                raw_offset, raw_size))

    image = PeImage(machine, magic, subsystem, (sub_major, sub_minor), (os_major, os_minor),
                    sections, [tuple(d) for d in directories], optional_header_offset=optional)
    if image.has_directory(DIRECTORY_IMPORT):
        image.imports = _read_imports(data, sections, image.directory(DIRECTORY_IMPORT)[0],
                                      image.is_64_bit)
    if image.has_directory(DIRECTORY_RESOURCE):
        image.resources = _read_resources(data, sections, image.directory(DIRECTORY_RESOURCE)[0])
    return image
