"""The checks of a description's content, the same for a description file and for what a
built setup.exe carries: each mistake becomes a finding with the line and a sentence that says
what is wrong and, where it can, the fix. Standard library only."""

import urllib.parse
from typing import Dict, List

from .model import (ERROR, FILE_NAME_FORBIDDEN, MEDIA_PAYLOADS, MESSAGE_CAPACITY,
                    PACKAGE_PAYLOAD, PAYLOADS, RUNTIME_PAYLOAD, RUNTIME_ROWS, SECTION_KEYS,
                    SETTING_ROW_HINTS, SHORT_ROWS, UNINSTALL_KEY, VERSION_NUMBER, WARNING,
                    XML_PARSER_PAYLOADS, Description, Entry, Finding, assignment_names,
                    is_number, property_assignments, runtime_row, suggest)
from .rules import Rules
from .string_table import read_default_strings, utf16_units


class Check:
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
                               ('OPERATION', 'operation'), ('PACKAGESIGNER', 'package-signer')):
            if name in settings:
                questions.append((question, settings[name].value))
        for name in self._feature_names() + self._property_names():
            questions.append(('identifier', name))
        for entry in self.d.entries:
            if entry.section.startswith('strings') and is_number(entry.key):
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
                self.error(entry, f'unknown setting {key}{suggest(key, names)}; the settings '
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
                                  + suggest(operation.value, keywords).replace(';', ' -'))
        product_name = settings.get('PRODUCTNAME')
        if product_name is not None and FILE_NAME_FORBIDDEN & set(product_name.value):
            self.error(product_name, f'PRODUCTNAME = {product_name.value} cannot name a file: it '
                                     f'names the installer\'s log, PRODUCTNAME.log in the '
                                     f'temporary folder, so it holds none of '
                                     + ' '.join(sorted(FILE_NAME_FORBIDDEN)))
        properties = settings.get('PROPERTIES')
        if properties is not None:
            self._property_list(properties, 'PROPERTIES', 'MSI_VIA_EXE=true')
        base_url = settings.get('BASEURL')
        if base_url and not _is_web_url(base_url.value):
            self.error(base_url, f'BASEURL = {base_url.value} is not an http or https URL; the '
                                 f'package is downloaded from BASEURL + "/" + DATABASE')
        signer = settings.get('PACKAGESIGNER')
        if signer and not self.rules.accepted('package-signer', signer.value):
            self.error(signer, f'PACKAGESIGNER = {signer.value} is not accepted; it is SETUP (the '
                               f'downloaded package must be signed with setup.exe\'s own '
                               f'certificate) or ANY (any signer the system trusts, the default)')
        elif signer and base_url is None:
            self.warning(signer, 'PACKAGESIGNER concerns the package downloaded from BASEURL; '
                                 'without BASEURL it is never used')
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
        elif self.d.value('settings', 'BASEURL') is not None and set(value) & set('#%'):
            self.error(database, f'DATABASE = {value} cannot end a download URL: the package is '
                                 f'downloaded from BASEURL + "/" + DATABASE, where # ends the '
                                 f'address and % starts an escape; rename the package')
        elif not value.lower().endswith('.msi'):
            self.warning(database, f'DATABASE = {value} does not end in ".msi"; the ini file is '
                                   f'named after it by replacing its last four characters')

    # -- [payloads]

    def _payloads(self) -> None:
        payloads = self.d.section('payloads')
        for key, entry in payloads.items():
            known = ', '.join(f'{pid} ({what})' for pid, what in PAYLOADS.items())
            if not is_number(key) or int(key) not in PAYLOADS:
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
            names.append(drivers)
        return names

    def _property_names(self) -> List[str]:
        names = []
        for value in (self.d.value('feature-selection', 'properties'),
                      self.d.value('settings', 'PROPERTIES')):
            names += assignment_names(property_assignments(value or '')[0])
        return names

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
        # Checked as written: the program puts it on the command line as it is.
        if drivers is not None and not self.rules.accepted('identifier', drivers.value):
            self.error(drivers, f'drivers = "{drivers.value}" is not one feature name: a letter or '
                                f'an underscore, then letters, digits, underscores and periods, '
                                f'with no blank')
        properties = section.get('properties')
        if properties is not None:
            self._property_list(properties, 'properties', 'ENABLEPLUGINS=0 INTERFACES=exclude')

    def _property_list(self, entry: Entry, what: str, example: str) -> None:
        """A list of installer properties that goes onto the installer's command line."""
        assignments, wrong = property_assignments(entry.value)
        for name in assignment_names(assignments):
            if not self.rules.accepted('identifier', name):
                self.error(entry, f'{what}: {name} cannot name a property: a letter or an '
                                  f'underscore, then letters, digits, underscores and periods')
        if wrong is None:
            return
        if wrong.count('"') % 2 == 1 or (wrong.count('"') and '=' in wrong):
            self.error(entry, f'{what}: the double quote in {wrong} is not closed where its value '
                              f'ends, so the installer would take the rest of its command line '
                              f'into the value; write a value with blanks as NAME="a value", a '
                              f'double quote inside it as ""')
        else:
            self.error(entry, f'{what}: "{wrong}" is not NAME=value; properties are assignments '
                              f'separated by spaces, e.g. {example}')

    def _known_keys(self, name: str, section: Dict[str, Entry]) -> None:
        keys = SECTION_KEYS[name]
        for key, entry in section.items():
            if key not in keys:
                self.error(entry, f'unknown key {key} in {self.d.written(name)}'
                                  f'{suggest(key, keys)}; its keys '
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
            table = self.d.written(entry.section)
            if not is_number(entry.key):
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
            if len(utf16_units(entry.value)) > capacity:
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

