"""The program's default string table (res/strings.rc), read for the rows a description may
replace, and texts written back as wide string literals for the resource compiler.
Standard library only."""

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List

from .. import PROGRAM_SOURCES

DEFAULT_STRINGS = PROGRAM_SOURCES / 'res' / 'strings.rc'


@dataclass
class StringTable:
    messages: Dict[int, str]
    settings: Dict[int, str]

    def rows(self) -> Dict[int, str]:
        return dict(sorted({**self.messages, **self.settings}.items()))


def _decode_rc_string(literal: str) -> str:
    out = []
    i = 0
    while i < len(literal):
        c = literal[i]
        if c == '"' and literal[i + 1:i + 2] == '"':
            out.append('"')
            i += 2
        elif c == '\\' and i + 1 < len(literal):
            nxt = literal[i + 1]
            if nxt == 'x':
                out.append(chr(int(literal[i + 2:i + 6], 16)))
                i += 6
                continue
            out.append({'n': '\n', 't': '\t', 'r': '\r', '\\': '\\', '"': '"'}.get(nxt, '\\' + nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def read_default_strings(path: Path = DEFAULT_STRINGS) -> StringTable:
    """The rows of strings.rc: its first table holds the message rows, its second the rows that
    act as settings."""
    text = path.read_text(encoding='utf-8')
    tables = re.findall(r'^STRINGTABLE\s*\nBEGIN\n(.*?)^END', text, re.M | re.S)
    parsed = []
    for body in tables:
        rows = {}
        for match in re.finditer(r'^\s*(\d+)\s+L?"((?:[^"]|"")*)"\s*$', body, re.M):
            rows[int(match.group(1))] = _decode_rc_string(match.group(2))
        parsed.append(rows)
    return StringTable(messages=parsed[0], settings=parsed[1])


def rc_string(text: str) -> str:
    """A wide string literal for windres: non-ASCII and control characters as 4-digit escapes,
    which windres reads as exactly one UTF-16 unit each."""
    out = []
    for unit in utf16_units(text):
        c = chr(unit)
        if c == '"':
            out.append('""')
        elif c == '\\':
            out.append('\\\\')
        elif c == '\n':
            out.append('\\n')
        elif 0x20 <= unit < 0x7F:
            out.append(c)
        else:
            out.append(f'\\x{unit:04x}')
    return 'L"' + ''.join(out) + '"'


def utf16_units(text: str) -> List[int]:
    data = text.encode('utf-16-le')
    return [data[i] | (data[i + 1] << 8) for i in range(0, len(data), 2)]

