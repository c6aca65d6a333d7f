"""What a product description is made of: its sections and keys, the payloads and string rows
they stand for, and the description as read (entries with their lines) with the findings about
it. Standard library only."""

import difflib
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence

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
# The runtime step reads its rows into 256 characters, the title and the Cancel button too.
SHORT_ROWS = {11: 255, 14: 255, 90: 255, 92: 255, 94: 255}
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

DEFAULT_LANGUAGE = 0x0409
# Windows language names a description may use for [strings.LANG]; any other language is given
# as its decimal LANGID.
LANGUAGE_NAMES = {
    'ar-SA': 0x0401, 'bg-BG': 0x0402, 'ca-ES': 0x0403, 'zh-TW': 0x0404, 'cs-CZ': 0x0405,
    'da-DK': 0x0406, 'de-DE': 0x0407, 'el-GR': 0x0408, 'en-US': 0x0409, 'fi-FI': 0x040B,
    'fr-FR': 0x040C, 'he-IL': 0x040D, 'hu-HU': 0x040E, 'is-IS': 0x040F, 'it-IT': 0x0410,
    'ja-JP': 0x0411, 'ko-KR': 0x0412, 'nl-NL': 0x0413, 'nb-NO': 0x0414, 'pl-PL': 0x0415,
    'pt-BR': 0x0416, 'ro-RO': 0x0418, 'ru-RU': 0x0419, 'hr-HR': 0x041A, 'sk-SK': 0x041B,
    'sv-SE': 0x041D, 'th-TH': 0x041E, 'tr-TR': 0x041F, 'uk-UA': 0x0422, 'sl-SI': 0x0424,
    'et-EE': 0x0425, 'lv-LV': 0x0426, 'lt-LT': 0x0427, 'vi-VN': 0x042A, 'zh-CN': 0x0804,
    'de-CH': 0x0807, 'en-GB': 0x0809, 'es-MX': 0x080A, 'fr-BE': 0x080C, 'it-CH': 0x0810,
    'nl-BE': 0x0813, 'nn-NO': 0x0814, 'pt-PT': 0x0816, 'sr-Latn-RS': 0x241A, 'sv-FI': 0x081D,
    'de-AT': 0x0C07, 'en-AU': 0x0C09, 'es-ES': 0x0C0A, 'fr-CA': 0x0C0C, 'zh-HK': 0x0C04,
    'fr-CH': 0x100C, 'en-CA': 0x1009, 'en-IE': 0x1809, 'en-NZ': 0x1409,
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
    has_lines: bool = True  # False for what was read from a built setup.exe

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
        return ' '.join(value.split())
    return value


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

