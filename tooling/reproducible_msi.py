"""Makes a Windows Installer package the same bytes for the same sources, in place: wixl stamps
each package with the time it was made and a random PackageCode, and its cabinet with the times
of the source files, so two builds of one commit would carry different packages. This sets the
summary information's creation and save times and the cabinet's file times to one moment (the
build's SOURCE_DATE_EPOCH), and the PackageCode to one derived from the package's content: the
same content gives the same code, other content another, as the installer expects.

    python3 -m tooling.reproducible_msi PACKAGE --epoch SECONDS

Only bytes of the same length are changed; the compound file's layout stays as wixl wrote it.
Standard library only."""

import argparse
import hashlib
import struct
import sys
import uuid
from datetime import datetime, timezone
from pathlib import Path
from typing import List

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
END_OF_CHAIN = 0xFFFFFFFE
SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVISION_NUMBER = 9      # the PackageCode
PID_CREATE_TIME = 12
PID_LAST_SAVE_TIME = 13
VT_LPSTR = 30
VT_FILETIME = 64
CABINET = b"MSCF"
CABINET_RESERVE_PRESENT = 0x0004


class CompoundFile:
    """The streams of an OLE compound file, each as the file offsets of its bytes."""

    def __init__(self, data: bytearray):
        if data[:8] != SIGNATURE:
            raise ValueError("not a compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (self.cutoff,) = struct.unpack_from("<I", data, 0x38)
        first_directory, = struct.unpack_from("<I", data, 0x30)
        mini_fat_start, mini_fat_count = struct.unpack_from("<II", data, 0x3C)
        difat_start, difat_count = struct.unpack_from("<II", data, 0x44)
        fat_sectors = [s for s in struct.unpack_from("<109I", data, 0x4C) if s < END_OF_CHAIN]
        per_sector = self.sector // 4
        for _ in range(difat_count):
            entries = struct.unpack_from(f"<{per_sector}I", data, self._at(difat_start))
            fat_sectors += [s for s in entries[:-1] if s < END_OF_CHAIN]
            difat_start = entries[-1]
        self.fat: List[int] = []
        for sector in fat_sectors:
            self.fat += struct.unpack_from(f"<{per_sector}I", data, self._at(sector))
        mini_fat_bytes = b"".join(data[o:o + self.sector]
                                  for o in map(self._at, self._chain(mini_fat_start)))
        self.mini_fat = list(struct.unpack_from(f"<{len(mini_fat_bytes) // 4}I", mini_fat_bytes))
        directory = b"".join(data[o:o + self.sector]
                             for o in map(self._at, self._chain(first_directory)))
        self.entries = []
        for at in range(0, len(directory), 128):
            length, kind = struct.unpack_from("<HB", directory, at + 64)
            name = directory[at:at + max(length - 2, 0)].decode("utf-16-le", "replace")
            start, size = struct.unpack_from("<II", directory, at + 116)
            self.entries.append((name, kind, start, size))
        root = self.entries[0]
        self.mini_stream = self._offsets(root[2], root[3], mini=False)

    def _at(self, sector: int) -> int:
        return (sector + 1) * self.sector

    def _chain(self, start: int) -> List[int]:
        sectors = []
        while start < END_OF_CHAIN and len(sectors) <= len(self.fat):
            sectors.append(start)
            start = self.fat[start]
        return sectors

    def _offsets(self, start: int, size: int, mini: bool) -> List[int]:
        """The file offset of each byte of a stream."""
        offsets: List[int] = []
        if mini:
            sector = start
            while sector < END_OF_CHAIN and len(offsets) < size:
                base = sector * self.mini_sector
                offsets += self.mini_stream[base:base + self.mini_sector]
                sector = self.mini_fat[sector]
        else:
            for sector in self._chain(start):
                offsets += range(self._at(sector), self._at(sector) + self.sector)
        return offsets[:size]

    def streams(self):
        """Each stream's name and the file offsets of its bytes."""
        for name, kind, start, size in self.entries:
            if kind == 2:
                yield name, self._offsets(start, size, mini=size < self.cutoff)

    def read(self, offsets: List[int]) -> bytes:
        return bytes(self.data[o] for o in offsets)

    def write(self, offsets: List[int], at: int, value: bytes) -> None:
        for i, byte in enumerate(value):
            self.data[offsets[at + i]] = byte


def _filetime(epoch: int) -> bytes:
    return struct.pack("<Q", (epoch + 11644473600) * 10_000_000)


def _dos_date_time(epoch: int) -> bytes:
    moment = datetime.fromtimestamp(max(epoch, 315532800), timezone.utc)
    date = ((moment.year - 1980) << 9) | (moment.month << 5) | moment.day
    time = (moment.hour << 11) | (moment.minute << 5) | (moment.second // 2)
    return struct.pack("<HH", date, time)


def _summary_properties(stream: bytes) -> dict:
    """Where each property's value starts in the summary information stream, by its id."""
    (section,) = struct.unpack_from("<I", stream, 44)
    (count,) = struct.unpack_from("<I", stream, section + 4)
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        found[pid] = section + offset
    return found


def _cabinet_file_times(stream: bytes) -> List[int]:
    """Where the date and time of each file of a cabinet lie in its stream."""
    files_at, = struct.unpack_from("<I", stream, 16)
    count, flags = struct.unpack_from("<HH", stream, 28)
    places = []
    at = files_at
    for _ in range(count):
        places.append(at + 10)
        end = stream.index(b"\0", at + 16)
        at = end + 1
    del flags  # the reserve area lies before the folders and files, which coffFiles skips
    return places


def make_reproducible(path: Path, epoch: int) -> None:
    data = bytearray(path.read_bytes())
    compound = CompoundFile(data)
    summary = None
    for name, offsets in compound.streams():
        head = compound.read(offsets[:4])
        if name == SUMMARY_STREAM:
            summary = offsets
        elif head == CABINET:
            stream = compound.read(offsets)
            for place in _cabinet_file_times(stream):
                compound.write(offsets, place, _dos_date_time(epoch))
    if summary is None:
        raise ValueError("no summary information")
    stream = compound.read(summary)
    properties = _summary_properties(stream)
    for pid in (PID_CREATE_TIME, PID_LAST_SAVE_TIME):
        if pid in properties:
            kind, = struct.unpack_from("<I", stream, properties[pid])
            if kind == VT_FILETIME:
                compound.write(summary, properties[pid] + 4, _filetime(epoch))
    revision = properties.get(PID_REVISION_NUMBER)
    if revision is not None:
        kind, length = struct.unpack_from("<II", stream, revision)
        code_at = revision + 8
        old = stream[code_at:code_at + length].rstrip(b"\0")
        if kind == VT_LPSTR and len(old) == 38:
            # The code is derived from everything else, with a fixed code in its place.
            compound.write(summary, code_at, b"{" + b"0" * 36 + b"}")
            digest = hashlib.sha256(bytes(compound.data)).digest()
            code = "{" + str(uuid.UUID(bytes=digest[:16], version=4)).upper() + "}"
            compound.write(summary, code_at, code.encode("ascii"))
    path.write_bytes(bytes(compound.data))


def main(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("package", type=Path)
    parser.add_argument("--epoch", type=int, required=True,
                        help="seconds since 1970: the package's times")
    args = parser.parse_args(argv)
    make_reproducible(args.package, args.epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
