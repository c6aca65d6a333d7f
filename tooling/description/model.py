"""What a product description is made of: its sections and keys, the payloads and string rows
they stand for, and the description as read (entries with their lines) with the findings about
it. Standard library only."""

import difflib
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

ERROR, WARNING, NOTE = 'error', 'warning', 'note'

# The payloads the program reads, by resource id.
PAYLOADS = {
    90: 'the C++ runtime setup',
    1001: 'the Windows Installer engine update',
    1002: 'the XML parser package for 32-bit Windows',
    1003: 'the XML parser package for 64-bit Windows',
    1004: 'the product package',
    1005: 'the readme',
    1007: 'the technical support document',
    1008: 'the installation settings template',
}
RUNTIME_PAYLOAD = 90
XML_PARSER_PAYLOADS = (1002, 1003)
PACKAGE_PAYLOAD = 1004
# Written beside the package on the media path; the run stops when either is missing.
MEDIA_PAYLOADS = (1005, 1007)

SECTION_KEYS = {
    'feature-selection': ('features', 'drivers', 'properties'),
    'prerequisites': ('runtime', 'xmlparser', 'runtime_uninstall_key', 'runtime_file',
                      'runtime_arguments', 'runtime_detail'),
    'version': ('ProductName', 'ProductVersion', 'CompanyName', 'FileDescription', 'FileVersion',
                'LegalCopyright'),
    'signing': ('description', 'url'),
    'upload': ('package',),
    'build': ('x64',),
}
# Sections whose keys are numbers (payload ids, string rows) or setting names.
OPEN_SECTIONS = ('settings', 'payloads', 'strings')
SECTIONS = OPEN_SECTIONS + tuple(SECTION_KEYS)

# The product options stored as resources of type 41, and the description keys they come from.
OPTIONS = {
    'FEATURES': ('feature-selection', 'features'),
    'DRIVERS': ('feature-selection', 'drivers'),
    'FEATURE_PROPERTIES': ('feature-selection', 'properties'),
    'RUNTIME': ('prerequisites', 'runtime'),
    'XMLPARSER': ('prerequisites', 'xmlparser'),
    'RUNTIME_DETAIL': ('prerequisites', 'runtime_detail'),
}

# The runtime step's rows of the string table that [prerequisites] replaces.
UNINSTALL_KEY = 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\'
RUNTIME_ROWS = {'runtime_file': 90, 'runtime_arguments': 92, 'runtime_uninstall_key': 94}
# The runtime step reads its setting rows into 256 characters; every message row is read whole.
SHORT_ROWS = {90: 255, 92: 255, 94: 255}
MESSAGE_CAPACITY = 1023

# What each setting row of the string table is, for the hint when a description tries to
# replace one.
SETTING_ROW_HINTS = {
    17: 'the default of PRODUCTNAME: set PRODUCTNAME in [settings]',
    38: 'the default of DATABASE: set DATABASE in [settings]',
    39: 'the default of MINIMUM_MSI: set MINIMUM_MSI in [settings]',
    42: 'the default of UPDATE: set UPDATE in [settings]',
    90: "the runtime setup's file name: set runtime_file in [prerequisites]",
    92: "the runtime setup's arguments: set runtime_arguments in [prerequisites]",
    94: "the runtime's uninstall key: set runtime_uninstall_key in [prerequisites]",
}

# Characters that cannot stand in a file name.
FILE_NAME_FORBIDDEN = set('\\/:*?"<>|')
VERSION_NUMBER = re.compile(r'^\d+(\.\d+){0,3}$')


@dataclass(frozen=True)
class Finding:
    """One thing the check found: an error stops the build, a warning or a note does not."""

    severity: str
    file: Optional[str]
    line: Optional[int]
    message: str

    def __str__(self) -> str:
        where = self.file or ''
        if self.line is not None:
            where += f':{self.line}'
        return f'{where}: {self.severity}: {self.message}' if where else \
            f'{self.severity}: {self.message}'


@dataclass
class Entry:
    section: str   # 'settings', 'strings.1031', ...
    key: str
    value: str
    line: Optional[int]


@dataclass
class Description:
    """What a description holds, in the order it was written."""

    path: Optional[str]
    entries: List[Entry] = field(default_factory=list)
    section_lines: Dict[str, int] = field(default_factory=dict)
    # Each section's name as the description writes it ([Settings], [strings.fr_FR]).
    section_names: Dict[str, str] = field(default_factory=dict)
    has_lines: bool = True  # False for what was read from a built setup.exe
    readable: bool = True   # False for a file that is no text: nothing of it was read

    def written(self, section: str) -> str:
        """A section's header as the description writes it, for the messages."""
        return f'[{self.section_names.get(section, section)}]'

    def section(self, name: str) -> Dict[str, Entry]:
        return {e.key: e for e in self.entries if e.section == name}

    def get(self, section: str, key: str) -> Optional[Entry]:
        return self.section(section).get(key)

    def value(self, section: str, key: str, default: Optional[str] = None) -> Optional[str]:
        entry = self.get(section, key)
        return entry.value if entry is not None else default

    def languages(self) -> List[int]:
        """The LANGIDs of the translated tables, in the order written."""
        found = []
        for entry in self.entries:
            if entry.section.startswith('strings.'):
                language = int(entry.section.split('.', 1)[1])
                if language not in found:
                    found.append(language)
        return found

    def settings(self) -> Dict[str, str]:
        return {k: e.value for k, e in self.section('settings').items()}

    def payloads(self) -> Dict[int, str]:
        return {int(k): e.value for k, e in self.section('payloads').items()}

    def options(self) -> Dict[str, str]:
        """The type-41 options: only what the description sets."""
        options = {}
        for name, (section, key) in OPTIONS.items():
            value = self.value(section, key)
            if value is not None:
                options[name] = normalized_option(key, value)
        return options

    def runtime_on(self) -> bool:
        return self.value('prerequisites', 'runtime', 'on').lower() == 'on'

    def x64_on(self) -> bool:
        """Whether the build makes a 64-bit setup.exe beside the 32-bit one."""
        return self.value('build', 'x64', 'off').lower() == 'on'

    def xml_parser_on(self) -> bool:
        return self.value('prerequisites', 'xmlparser', 'on').lower() == 'on'

    def line_of(self, section: str) -> Optional[int]:
        """Where a finding about a whole section is reported: its header, else the first line."""
        return self.section_lines.get(section) or 1 if self.has_lines else None


def is_number(text: str) -> bool:
    """A whole number in ASCII digits, as payload ids, rows and LANGIDs are written
    (str.isdigit() also takes "²", which int() refuses)."""
    return text.isascii() and text.isdigit()


def runtime_row(key: str, value: str) -> str:
    """The string-table row that a runtime key of [prerequisites] stands for."""
    return UNINSTALL_KEY + value if key == 'runtime_uninstall_key' else value


def normalized_option(key: str, value: str) -> str:
    """An option as the program reads it: switches in lower case, lists without blanks."""
    if key in ('runtime', 'xmlparser'):
        return value.lower()
    if key == 'features':
        return ','.join(piece.strip() for piece in value.split(','))
    if key == 'properties':
        assignments, _ = property_assignments(value)
        return ' '.join(assignments)
    return value


def property_assignments(text: str) -> Tuple[List[str], Optional[str]]:
    """The assignments of a Windows Installer property list as written, NAME=value or
    NAME="a value" (a double quote inside it doubled), separated by blanks; and the first piece
    that is no assignment, or None. The list goes onto the installer's command line as it is, so
    an open quote would take the rest of that line into its value."""
    assignments: List[str] = []
    at = 0
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at == len(text):
            return assignments, None
        start = at
        while at < len(text) and not text[at].isspace() and text[at] not in '="':
            at += 1
        if at == len(text) or text[at] != '=' or at == start:
            end = at
            while end < len(text) and not text[end].isspace():
                end += 1
            return assignments, text[start:end]
        at += 1
        if at < len(text) and text[at] == '"':
            at += 1
            while True:
                close = text.find('"', at)
                if close < 0:
                    return assignments, text[start:]
                if text[close + 1:close + 2] == '"':
                    at = close + 2
                    continue
                at = close + 1
                break
            if at < len(text) and not text[at].isspace():
                return assignments, text[start:].split(None, 1)[0]
        else:
            while at < len(text) and not text[at].isspace():
                if text[at] == '"':
                    return assignments, text[start:].split(None, 1)[0]
                at += 1
        assignments.append(text[start:at])


def assignment_names(assignments: List[str]) -> List[str]:
    return [a.split('=', 1)[0] for a in assignments]


def nearest(word: str, choices: Sequence[str]) -> Optional[str]:
    folded = {c.lower(): c for c in choices}
    if word.lower() in folded:
        return folded[word.lower()]
    close = difflib.get_close_matches(word.lower(), list(folded), n=1, cutoff=0.6)
    return folded[close[0]] if close else None


def suggest(word: str, choices: Sequence[str]) -> str:
    """'; did you mean X?' for the choice nearest to a word, or nothing."""
    found = nearest(word, choices)
    return f'; did you mean {found}?' if found else ''

