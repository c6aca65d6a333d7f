"""The product description: its format, and the checks that a build runs on it.

A product description is a small ini file that says everything product-specific about one
setup.exe (docs/product-description.md). This module reads it and checks it, so that a mistake
stops the build with the description's file and line instead of surfacing on a user's machine.
product_resources.py builds the resources from what it returns; release tools that look into a
built setup.exe check what they find there with check_executable.

Where a value is checked against a rule that setup.exe itself applies at run time (MINIMUM_MSI,
the ini name derived from DATABASE, the OPERATION keywords, feature and property names, the
placeholders of a message), the answer comes from description_rules, a small program built for
this machine from setup.exe's own pure sources: the build accepts exactly what the program
accepts. The build passes its path; without one it is compiled here with the machine's g++ into
a cache folder.

    findings, description = check_description(path, variables, check_files=True)
    findings = check_executable(settings, options, string_tables, payload_ids)

Standard library only.
"""

import difflib
import hashlib
import os
import re
import subprocess
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

REPO_ROOT = Path(__file__).resolve().parents[1]
PROGRAM_SOURCES = REPO_ROOT / 'Install' / 'Bootstrapper'
DEFAULT_STRINGS = PROGRAM_SOURCES / 'res' / 'strings.rc'
RULES_SOURCE = Path(__file__).resolve().parent / 'DescriptionRules.cpp'

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


# ---------------------------------------------------------------- the program's own rules

class Rules:
    """The program's rules, answered by description_rules; one process per batch of questions."""

    def __init__(self, tool: Optional[str] = None, cache_dir: Optional[str] = None):
        self.tool = find_rules_tool(tool, cache_dir)
        self._answers: Dict[Tuple[str, str], List[str]] = {}

    def prefetch(self, questions: Iterable[Tuple[str, str]]) -> None:
        wanted = [q for q in dict.fromkeys(questions) if q not in self._answers]
        if not wanted:
            return
        lines = ''.join(f'{q}\t{_escape(v)}\n' for q, v in wanted)
        done = subprocess.run([self.tool], input=lines.encode('utf-8'), capture_output=True,
                              check=True)
        answers = done.stdout.decode('utf-8').split('\n')
        for question, answer in zip(wanted, answers):
            self._answers[question] = [_unescape(f) for f in answer.split('\t')]

    def answer(self, question: str, value: str = '') -> List[str]:
        self.prefetch([(question, value)])
        return self._answers[(question, value)]

    def accepted(self, question: str, value: str) -> bool:
        return self.answer(question, value)[0] == 'ok'

    def setting_names(self) -> List[str]:
        return self.answer('names')[1:]

    def operations(self) -> List[str]:
        return self.answer('operations')[1:]

    def placeholders(self, text: str) -> List[str]:
        return self.answer('placeholders', text)[1:]


def _escape(text: str) -> str:
    return text.replace('\\', '\\\\').replace('\n', '\\n').replace('\t', '\\t').replace('\r', '\\r')


def _unescape(text: str) -> str:
    return re.sub(r'\\(.)', lambda m: {'n': '\n', 't': '\t', 'r': '\r'}.get(m.group(1), m.group(1)),
                  text)


def _pure_sources() -> List[Path]:
    """The program's pure sources, as its build lists them."""
    listing = (PROGRAM_SOURCES / 'Sources.cmake').read_text()
    block = re.search(r'set\(BOOTSTRAPPER_PURE_SOURCES(.*?)\)', listing, re.S).group(1)
    return [PROGRAM_SOURCES / name for name in block.split()]


def find_rules_tool(tool: Optional[str] = None, cache_dir: Optional[str] = None) -> str:
    """The description_rules program: the one given (or in BOOTSTRAPPER_RULES_TOOL), else one
    compiled from this checkout's sources into the cache, again whenever they change."""
    tool = tool or os.environ.get('BOOTSTRAPPER_RULES_TOOL')
    if tool:
        if not os.access(tool, os.X_OK):
            raise FileNotFoundError(f'description_rules not found at {tool}')
        return tool
    sources = [RULES_SOURCE] + _pure_sources()
    headers = sorted(PROGRAM_SOURCES.glob('*/*.h'))
    digest = hashlib.sha256()
    for path in sources + headers:
        digest.update(path.name.encode() + b'\0' + path.read_bytes())
    cache = Path(cache_dir or os.environ.get('XDG_CACHE_HOME') or Path.home() / '.cache')
    built = cache / 'bootstrapper-description-rules' / digest.hexdigest()[:16] / 'description_rules'
    if not built.exists():
        built.parent.mkdir(parents=True, exist_ok=True)
        partial = built.with_name(f'.description_rules.{os.getpid()}')
        subprocess.run(['g++', '-std=c++17', '-O1', f'-I{PROGRAM_SOURCES}', '-o', str(partial),
                        *map(str, sources)], check=True)
        partial.replace(built)
    return str(built)


# ---------------------------------------------------------------- the default string table

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
    for unit in _utf16_units(text):
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


def _utf16_units(text: str) -> List[int]:
    data = text.encode('utf-16-le')
    return [data[i] | (data[i + 1] << 8) for i in range(0, len(data), 2)]


# ---------------------------------------------------------------- reading a description

def _nearest(word: str, choices: Sequence[str]) -> Optional[str]:
    folded = {c.lower(): c for c in choices}
    if word.lower() in folded:
        return folded[word.lower()]
    close = difflib.get_close_matches(word.lower(), list(folded), n=1, cutoff=0.6)
    return folded[close[0]] if close else None


def _suggest(word: str, choices: Sequence[str]) -> str:
    nearest = _nearest(word, choices)
    return f'; did you mean {nearest}?' if nearest else ''


def language_id(name: str) -> Optional[int]:
    """The LANGID of a Windows language name or a decimal LANGID; None when it is neither."""
    if name.isdigit():
        value = int(name)
        return value if 0 < value <= 0xFFFF else None
    for known, value in LANGUAGE_NAMES.items():
        if known.lower() == name.lower():
            return value
    return None


def parse_description(path: str) -> Tuple[Description, List[Finding]]:
    """Reads a description; format mistakes become findings (the line is then left out)."""
    description = Description(path)
    findings: List[Finding] = []

    def error(line: int, message: str) -> None:
        findings.append(Finding(ERROR, path, line, message))

    seen: Dict[Tuple[str, str], int] = {}
    section: Optional[str] = None
    with open(path, encoding='utf-8-sig') as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith(';') or line.startswith('#'):
                continue
            if line.startswith('[') and line.endswith(']'):
                # The entries of a section that is not known are not looked at: one error
                # says what is wrong with all of them.
                section = _section_name(line[1:-1].strip(), number, error) or ''
                if section:
                    description.section_lines.setdefault(section, number)
                continue
            if '=' not in line:
                error(number, f'expected KEY = value, found "{line}"')
                continue
            key, value = (part.strip() for part in line.split('=', 1))
            if section is None:
                error(number, f'"{key}" stands before any section; entries belong to a section '
                              f'such as [settings]')
                continue
            if not section:
                continue
            quoted = len(value) >= 2 and value[0] == value[-1] == '"'
            if quoted:
                value = value[1:-1]
            else:
                comment = re.search(r'\s[;#]', value)
                if comment:
                    error(number, f'the value of {key} holds "{comment.group(0).strip()}", which '
                                  f'looks like a comment; a description has no comments after a '
                                  f'value: move the comment to a line of its own, or put the '
                                  f'value in double quotes if it belongs to it')
                    continue
            if section.startswith('strings'):
                value = value.replace('\\\\', '\0').replace('\\n', '\n').replace('\0', '\\')
            if (section, key) in seen:
                error(number, f'{key} is given twice in [{section}] (first on line '
                              f'{seen[(section, key)]}); a description takes one value per key')
                continue
            seen[(section, key)] = number
            description.entries.append(Entry(section, key, value, number))
    return description, findings


def _section_name(name: str, line: int, error) -> Optional[str]:
    lowered = name.lower()
    if lowered.startswith('strings.'):
        language = name.split('.', 1)[1]
        value = language_id(language)
        if value is None:
            error(line, f'[{name}]: {language} is not a language this build knows by name; '
                        f'give its decimal LANGID instead, e.g. [strings.1031] for German (Germany)')
            return None
        if value == DEFAULT_LANGUAGE:
            error(line, f'[{name}]: English (United States) is the default table; put its rows in '
                        f'[strings]')
            return None
        return f'strings.{value}'
    if lowered in SECTIONS:
        return lowered
    error(line, f'unknown section [{name}]{_suggest(name, SECTIONS + ("strings.LANG",))}; the '
                f'sections are ' + ', '.join(f'[{s}]' for s in SECTIONS + ('strings.LANG',)))
    return None


# ---------------------------------------------------------------- checking

class _Check:
    """One run of the checks over a description (from a file or from an executable)."""

    def __init__(self, description: Description, rules: Rules, from_executable: bool):
        self.d = description
        self.rules = rules
        self.from_executable = from_executable
        self.findings: List[Finding] = []
        self.strings = read_default_strings()

    def add(self, severity: str, entry_or_line, message: str) -> None:
        line = entry_or_line.line if isinstance(entry_or_line, Entry) else entry_or_line
        self.findings.append(Finding(severity, self.d.path, line, message))

    def error(self, where, message: str) -> None:
        self.add(ERROR, where, message)

    def warning(self, where, message: str) -> None:
        self.add(WARNING, where, message)

    def run(self) -> List[Finding]:
        self._prefetch()
        self._settings()
        self._payloads()
        self._feature_selection()
        self._prerequisites()
        self._strings()
        self._version()
        self._signing_and_upload()
        self._build()
        return sorted(self.findings, key=lambda f: (f.line or 0))

    def _prefetch(self) -> None:
        questions = [('names', ''), ('operations', '')]
        settings = self.d.section('settings')
        for name, question in (('MINIMUM_MSI', 'minimum-msi'), ('DATABASE', 'ini-name'),
                               ('OPERATION', 'operation')):
            if name in settings:
                questions.append((question, settings[name].value))
        for name in self._feature_names() + self._property_names():
            questions.append(('identifier', name))
        for entry in self.d.entries:
            if entry.section.startswith('strings') and entry.key.isdigit():
                questions.append(('placeholders', entry.value))
                default = self.strings.messages.get(int(entry.key))
                if default is not None:
                    questions.append(('placeholders', default))
        self.rules.prefetch(questions)

    # -- [settings]

    def _settings(self) -> None:
        names = self.rules.setting_names()
        for key, entry in self.d.section('settings').items():
            if key not in names:
                self.error(entry, f'unknown setting {key}{_suggest(key, names)}; the settings '
                                  f'are ' + ', '.join(names))
        settings = self.d.section('settings')
        minimum = settings.get('MINIMUM_MSI')
        if minimum and not self.rules.accepted('minimum-msi', minimum.value):
            lowest = self.rules.answer('minimum-msi', minimum.value)[1]
            self.error(minimum, f'MINIMUM_MSI = {minimum.value} is not a Windows Installer version '
                                f'the program accepts: a whole number, major x 100 + minor '
                                f'(301 for 3.1), of at least {lowest}')
        database = settings.get('DATABASE')
        if database:
            self._database(database)
        operation = settings.get('OPERATION')
        if operation and not self.rules.accepted('operation', operation.value):
            keywords = self.rules.operations()
            self.error(operation, f'OPERATION = {operation.value} is not accepted; it is one of '
                                  + ', '.join(keywords)
                                  + _suggest(operation.value, keywords).replace(';', ' -'))
        base_url = settings.get('BASEURL')
        if base_url and not _is_web_url(base_url.value):
            self.error(base_url, f'BASEURL = {base_url.value} is not an http or https URL; the '
                                 f'package is downloaded from BASEURL + "/" + DATABASE')
        payloads = self.d.section('payloads')
        package = payloads.get(str(PACKAGE_PAYLOAD))
        if package is None and base_url is None:
            self.error(self.d.line_of('payloads'),
                       f'the description names neither payload {PACKAGE_PAYLOAD} (the product '
                       f'package) nor BASEURL: setup.exe would have no package to install')
        elif package is not None and base_url is not None:
            self.warning(base_url, f'with BASEURL the package is downloaded, so payload '
                                   f'{PACKAGE_PAYLOAD} (line {package.line}) is carried but never '
                                   f'installed')

    def _database(self, database: Entry) -> None:
        value = database.value
        if not value or FILE_NAME_FORBIDDEN & set(value):
            self.error(database, f'DATABASE = {value} is not a file name; it names the package in '
                                 f'the temporary folder and at BASEURL, without a folder')
            return
        if not self.rules.accepted('ini-name', value):
            longest = int(self.rules.answer('ini-name', value)[1])
            self.error(database, f'DATABASE = {value} is too long: the product\'s ini file is named '
                                 f'after it (its last four characters replaced by ".ini"), and that '
                                 f'name holds at most {longest} characters, so at most '
                                 f'{longest - 4} before ".msi"')
        elif not value.lower().endswith('.msi'):
            self.warning(database, f'DATABASE = {value} does not end in ".msi"; the ini file is '
                                   f'named after it by replacing its last four characters')

    # -- [payloads]

    def _payloads(self) -> None:
        payloads = self.d.section('payloads')
        for key, entry in payloads.items():
            known = ', '.join(f'{pid} ({what})' for pid, what in PAYLOADS.items())
            if not key.isdigit() or int(key) not in PAYLOADS:
                self.error(entry, f'payload {key} is not one that setup.exe reads; the payloads '
                                  f'are {known}')
            elif not entry.value and not self.from_executable:
                self.error(entry, f'payload {key} ({PAYLOADS[int(key)]}) names no file')
        where = self.d.line_of('payloads')
        if self.d.value('settings', 'BASEURL') is None:
            for pid in MEDIA_PAYLOADS:
                if str(pid) not in payloads:
                    self.error(where, f'payload {pid} ({PAYLOADS[pid]}) is missing: without '
                                      f'BASEURL setup.exe writes it beside the package and stops '
                                      f'when it cannot')
        prerequisites = self.d.section('prerequisites')
        if self.d.runtime_on() and str(RUNTIME_PAYLOAD) not in payloads:
            self.error(prerequisites.get('runtime', where),
                       f'the C++ runtime step is on, but payload {RUNTIME_PAYLOAD} '
                       f'({PAYLOADS[RUNTIME_PAYLOAD]}) is missing: add it to [payloads], or set '
                       f'runtime = off in [prerequisites]')
        if self.d.xml_parser_on():
            for pid in XML_PARSER_PAYLOADS:
                if str(pid) not in payloads:
                    self.error(prerequisites.get('xmlparser', where),
                               f'the XML parser step is on, but payload {pid} ({PAYLOADS[pid]}) is '
                               f'missing: add it to [payloads], or set xmlparser = off in '
                               f'[prerequisites]')

    # -- [feature-selection]

    def _feature_names(self) -> List[str]:
        names = []
        features = self.d.value('feature-selection', 'features')
        if features:
            names += [p.strip() for p in features.split(',')]
        drivers = self.d.value('feature-selection', 'drivers')
        if drivers:
            names.append(drivers.strip())
        return names

    def _property_names(self) -> List[str]:
        properties = self.d.value('feature-selection', 'properties') or ''
        return [word.split('=', 1)[0] for word in properties.split()]

    def _feature_selection(self) -> None:
        section = self.d.section('feature-selection')
        if not section and 'feature-selection' not in self.d.section_lines:
            return
        self._known_keys('feature-selection', section)
        features = section.get('features')
        if features is None:
            self.error(self.d.line_of('feature-selection'),
                       '[feature-selection] needs features, the features every first '
                       'installation asks for (ADDLOCAL), comma-separated')
        else:
            for name in (p.strip() for p in features.value.split(',')):
                if not name:
                    self.error(features, 'features has an empty name (two commas in a row, or a '
                                         'comma at either end)')
                elif not self.rules.accepted('identifier', name):
                    self.error(features, f'"{name}" cannot name a feature: a letter or an '
                                         f'underscore, then letters, digits, underscores and periods')
        drivers = section.get('drivers')
        if drivers is not None and not self.rules.accepted('identifier', drivers.value.strip()):
            self.error(drivers, f'drivers = {drivers.value} is not one feature name: a letter or an '
                                f'underscore, then letters, digits, underscores and periods')
        properties = section.get('properties')
        if properties is not None:
            for word in properties.value.split():
                name, equals, _ = word.partition('=')
                if not equals or not self.rules.accepted('identifier', name):
                    self.error(properties, f'properties: "{word}" is not NAME=value; properties '
                                           f'are assignments separated by spaces, e.g. '
                                           f'ENABLEPLUGINS=0 INTERFACES=exclude')

    def _known_keys(self, name: str, section: Dict[str, Entry]) -> None:
        keys = SECTION_KEYS[name]
        for key, entry in section.items():
            if key not in keys:
                self.error(entry, f'unknown key {key} in [{name}]{_suggest(key, keys)}; its keys '
                                  f'are ' + ', '.join(keys))

    # -- [build]

    def _build(self) -> None:
        section = self.d.section('build')
        self._known_keys('build', section)
        entry = section.get('x64')
        if entry is not None and entry.value.lower() not in ('on', 'off'):
            self.error(entry, f'x64 = {entry.value}: the value is on (a 64-bit setup.exe is built '
                              f'beside the 32-bit one) or off')

    # -- [prerequisites]

    def _prerequisites(self) -> None:
        section = self.d.section('prerequisites')
        self._known_keys('prerequisites', section)
        for key in ('runtime', 'xmlparser'):
            entry = section.get(key)
            if entry is not None and entry.value.lower() not in ('on', 'off'):
                self.error(entry, f'{key} = {entry.value}: the value is on or off')
        runtime_file = section.get('runtime_file')
        if runtime_file is not None and (not runtime_file.value or
                                         FILE_NAME_FORBIDDEN & set(runtime_file.value)):
            self.error(runtime_file, f'runtime_file = {runtime_file.value} is not a file name; it '
                                     f'is the name the runtime setup is written as in the '
                                     f'temporary folder')
        key = section.get('runtime_uninstall_key')
        if key is not None and (not key.value or '\\' in key.value):
            self.error(key, f'runtime_uninstall_key = {key.value} is not one key name; it is the '
                            f'name of the runtime\'s key under HKLM\\{UNINSTALL_KEY[:-1]}')
        for name, row in RUNTIME_ROWS.items():
            entry = section.get(name)
            if entry is not None and len(runtime_row(name, entry.value)) > SHORT_ROWS[row]:
                self.error(entry, f'{name} is too long: the runtime step reads at most '
                                  f'{SHORT_ROWS[row]} characters')
        if section.get('runtime') is not None and section['runtime'].value.lower() == 'off':
            for name in ('runtime_uninstall_key', 'runtime_file', 'runtime_arguments',
                         'runtime_detail'):
                if name in section:
                    self.warning(section[name], f'{name} has no effect with runtime = off')

    # -- [strings] and [strings.LANG]

    def _strings(self) -> None:
        for entry in self.d.entries:
            if not entry.section.startswith('strings'):
                continue
            table = f'[{entry.section}]'
            if not entry.key.isdigit():
                self.error(entry, f'{table}: {entry.key} is not a row number')
                continue
            row = int(entry.key)
            if row in self.strings.settings:
                hint = SETTING_ROW_HINTS.get(row, 'not used by the program')
                self.error(entry, f'{table}: row {row} is not a message but a setting row, {hint}')
                continue
            default = self.strings.messages.get(row)
            if default is None:
                self.error(entry, f'{table}: there is no message row {row}; the rows are '
                                  + _ranges(self.strings.messages))
                continue
            expected = self.rules.placeholders(default)
            found = self.rules.placeholders(entry.value)
            if found != expected:
                self.error(entry, f'{table}: row {row} must keep exactly the placeholders of the '
                                  f'row it replaces, in the same order, since the program fills '
                                  f'them: {_listing(expected)}, not {_listing(found)}')
            capacity = SHORT_ROWS.get(row, MESSAGE_CAPACITY)
            if len(_utf16_units(entry.value)) > capacity:
                self.error(entry, f'{table}: row {row} is too long: the program reads at most '
                                  f'{capacity} characters of it')

    # -- [version]

    def _version(self) -> None:
        section = self.d.section('version')
        self._known_keys('version', section)
        for key in ('ProductVersion', 'FileVersion'):
            entry = section.get(key)
            if entry is not None and not _is_version(entry.value):
                self.error(entry, f'{key} = {entry.value} is not a version: one to four numbers '
                                  f'from 0 to 65535, separated by periods')
        if (self.d.value('settings', 'BASEURL') is not None and
                self.d.value('upload', 'package') is None and
                self.d.value('payloads', str(PACKAGE_PAYLOAD)) is None):
            missing = [k for k in ('ProductName', 'ProductVersion', 'CompanyName')
                       if k not in section]
            if missing and not self.from_executable:
                self.error(self.d.get('settings', 'BASEURL'),
                           'setup.exe carries no package to take its version resource from: name '
                           'the package in [upload] package, or set ' + ', '.join(missing)
                           + ' in [version]')

    # -- [signing] and [upload]

    def _signing_and_upload(self) -> None:
        signing = self.d.section('signing')
        self._known_keys('signing', signing)
        url = signing.get('url')
        if url is not None and not _is_web_url(url.value):
            self.error(url, f'url = {url.value} is not an http or https URL')
        upload = self.d.section('upload')
        self._known_keys('upload', upload)
        package = upload.get('package')
        if package is not None and self.d.value('settings', 'BASEURL') is None:
            self.warning(package, 'an upload package is only used with BASEURL; without it '
                                  'setup.exe carries the package (payload 1004)')


def _ranges(rows: Dict[int, str]) -> str:
    ids = sorted(rows)
    parts, start = [], ids[0]
    for previous, current in zip(ids, ids[1:] + [None]):
        if current != previous + 1 if current is not None else True:
            parts.append(str(start) if start == previous else f'{start} to {previous}')
            start = current
    return ', '.join(parts)


def _listing(placeholders: List[str]) -> str:
    return ' '.join(placeholders) if placeholders else 'none'


def _is_web_url(value: str) -> bool:
    parsed = urllib.parse.urlsplit(value)
    return parsed.scheme.lower() in ('http', 'https') and bool(parsed.hostname) and \
        not any(c.isspace() for c in value)


def _is_version(value: str) -> bool:
    return bool(VERSION_NUMBER.match(value)) and all(int(p) <= 65535 for p in value.split('.'))


# ---------------------------------------------------------------- files the description names

def expand(value: str, variables: Dict[str, str]) -> Tuple[str, List[str]]:
    """`value` with ${NAME} replaced; also the names the build does not define."""
    undefined = []

    def substitute(match):
        name = match.group(1)
        if name not in variables:
            undefined.append(name)
            return match.group(0)
        return variables[name]
    return re.sub(r'\$\{([A-Za-z_][A-Za-z0-9_]*)\}', substitute, value), undefined


def resolve(description: Description, value: str, variables: Dict[str, str]) -> str:
    base = os.path.dirname(os.path.abspath(description.path))
    expanded, _ = expand(value, variables)
    return os.path.normpath(os.path.join(base, expanded))


def payload_files(description: Description, variables: Dict[str, str]) -> Dict[int, str]:
    return {pid: resolve(description, value, variables)
            for pid, value in description.payloads().items()}


def upload_package(description: Description, variables: Dict[str, str]) -> Optional[str]:
    value = description.value('upload', 'package')
    return resolve(description, value, variables) if value else None


def _path_findings(description: Description, variables: Dict[str, str],
                   check_existence: bool) -> List[Finding]:
    findings = []
    files = [(e, f'payload {e.key} ({PAYLOADS.get(int(e.key), "unknown")})')
             for e in description.section('payloads').values() if e.key.isdigit()]
    package = description.get('upload', 'package')
    if package is not None:
        files.append((package, 'the upload package'))
    for entry, what in files:
        _, undefined = expand(entry.value, variables)
        if undefined:
            findings.append(Finding(ERROR, description.path, entry.line,
                                    f'{what}: ${{{undefined[0]}}} is not defined by the build'))
            continue
        path = resolve(description, entry.value, variables)
        # A file in a folder of the build is made by the build: it is looked for when building.
        made_by_build = '${' in entry.value
        if check_existence == made_by_build and not os.path.isfile(path):
            findings.append(Finding(ERROR, description.path, entry.line,
                                    f'{what}: no such file: {path}'))
    return findings


def package_table(package: str, table: str) -> List[List[str]]:
    """The rows of a table of a Windows Installer package, read with msitools' msiinfo."""
    done = subprocess.run(['msiinfo', 'export', package, table], capture_output=True)
    if done.returncode != 0:
        raise ValueError(done.stderr.decode('utf-8', 'replace').strip() or
                         f'msiinfo cannot read {package}')
    lines = done.stdout.decode('utf-8', 'replace').replace('\r\n', '\n').split('\n')
    # Three header lines: column names, column types, table name and keys.
    return [line.split('\t') for line in lines[3:] if line]


def package_properties(package: str) -> Dict[str, str]:
    return {row[0]: row[1] if len(row) > 1 else '' for row in package_table(package, 'Property')}


def _package_findings(description: Description, variables: Dict[str, str]) -> List[Finding]:
    """The checks against the package setup.exe installs: its features."""
    findings = []
    section = description.section('feature-selection')
    if not section:
        return findings
    if description.value('settings', 'BASEURL') is None:
        entry = description.get('payloads', str(PACKAGE_PAYLOAD))
        what = f'payload {PACKAGE_PAYLOAD}'
    else:
        entry = description.get('upload', 'package')
        what = 'the upload package'
    if entry is None:
        findings.append(Finding(NOTE, description.path, description.line_of('feature-selection'),
                                'the features are not checked: the package is downloaded and the '
                                'description names no package for upload to check them against'))
        return findings
    package = resolve(description, entry.value, variables)
    if not os.path.isfile(package):
        return findings  # already reported as a missing file
    try:
        features = {row[0] for row in package_table(package, 'Feature')}
    except ValueError as e:
        findings.append(Finding(ERROR, description.path, entry.line,
                                f'{what} is not a Windows Installer package msiinfo can read: {e}'))
        return findings
    for key in ('features', 'drivers'):
        named = section.get(key)
        if named is None:
            continue
        for name in (p.strip() for p in named.value.split(',')):
            if name and name not in features:
                findings.append(Finding(ERROR, description.path, named.line,
                                        f'feature {name} is not in the Feature table of {what}, '
                                        f'{package}{_suggest(name, sorted(features))}'))
    return findings


# ---------------------------------------------------------------- entry points

def check_description(path: str, variables: Optional[Dict[str, str]] = None,
                      check_files: bool = False, rules_tool: Optional[str] = None,
                      cache_dir: Optional[str] = None) -> Tuple[List[Finding], Description]:
    """Parses and checks a description file.

    Files named relative to the description are checked for existence; files in a folder of the
    build (${NAME}) and the package's features only with check_files, once the build has made
    them. Returns the findings (errors, warnings and notes, each with the file and line) and
    the description's content."""
    variables = variables or {}
    description, findings = parse_description(path)
    findings += _Check(description, Rules(rules_tool, cache_dir), from_executable=False).run()
    findings += _path_findings(description, variables, check_existence=False)
    if check_files:
        findings += _path_findings(description, variables, check_existence=True)
        findings += _package_findings(description, variables)
    return sorted(findings, key=lambda f: f.line or 0), description


def check_executable(settings: Dict[str, str], options: Optional[Dict[str, str]] = None,
                     string_tables: Optional[Dict[int, Dict[int, str]]] = None,
                     payload_ids: Optional[Iterable[int]] = None, name: str = 'setup.exe',
                     rules_tool: Optional[str] = None,
                     cache_dir: Optional[str] = None) -> List[Finding]:
    """Checks what a built setup.exe carries: its settings (type 40), its options (type 41,
    by resource name), its string tables (by LANGID, row id to text) and its payload ids, with
    the same checks as a description. The findings name `name` and no line."""
    description = Description(name, has_lines=False)
    for key, value in settings.items():
        description.entries.append(Entry('settings', key, value, None))
    for option, value in (options or {}).items():
        section, key = OPTIONS.get(option, ('options', option))
        description.entries.append(Entry(section, key, value, None))
    for pid in payload_ids or ():
        description.entries.append(Entry('payloads', str(pid), '', None))
    defaults = read_default_strings().messages
    for language, rows in (string_tables or {}).items():
        section = 'strings' if language == DEFAULT_LANGUAGE else f'strings.{language}'
        for row, text in rows.items():
            if row in defaults and (text != defaults[row] or section != 'strings'):
                description.entries.append(Entry(section, str(row), text, None))
    findings = _Check(description, Rules(rules_tool, cache_dir), from_executable=True).run()
    unknown = [e for e in description.entries if e.section == 'options']
    for entry in unknown:
        findings.append(Finding(ERROR, name, None, f'unknown product option {entry.key}'))
    return findings
