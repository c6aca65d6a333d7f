"""The files a description names: payloads and the package for the server, found relative to
the description or in a folder of the build (${NAME}), and the checks against the package
(its features), read with msitools' msiinfo."""

import os
import re
from typing import Callable, Dict, List, Optional, Tuple

from .. import msi
from .model import (ERROR, NOTE, PACKAGE_PAYLOAD, PAYLOADS, Description, Entry, Finding,
                    is_number, suggest)


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


def named_files(description: Description) -> List[Tuple[Entry, str]]:
    """The entries that name a file, payloads and the upload package, each with what it is."""
    files = [(e, f'payload {e.key} ({PAYLOADS.get(int(e.key), "unknown")})')
             for e in description.section('payloads').values() if is_number(e.key)]
    package = description.get('upload', 'package')
    if package is not None:
        files.append((package, 'the upload package'))
    return files


def build_variables(description: Description) -> List[str]:
    """The folders of the build (${NAME}) that the description's files are in."""
    return sorted({name for entry, _ in named_files(description)
                   for name in expand(entry.value, {})[1]})


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


def path_findings(description: Description, variables: Dict[str, str],
                   check_existence: bool) -> List[Finding]:
    findings = []
    for entry, what in named_files(description):
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


def package_findings(description: Description, variables: Dict[str, str],
                     made_by_build: bool = True,
                     is_name: Callable[[str], bool] = lambda name: True) -> List[Finding]:
    """The checks against the package setup.exe installs: its features. Without made_by_build
    a package in a folder of the build (${NAME}) is not looked at: it may not exist yet. A name
    that is no feature name at all (`is_name`) is reported by the checks of the content."""
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
    if '${' in entry.value and not made_by_build:
        return findings
    package = resolve(description, entry.value, variables)
    if not os.path.isfile(package):
        return findings  # already reported as a missing file
    try:
        features = {row[0] for row in msi.table(package, 'Feature')}
    except msi.NotAPackage as e:
        findings.append(Finding(ERROR, description.path, entry.line,
                                f'{what}, {package}, is not a Windows Installer package: {e}'))
        return findings
    for key in ('features', 'drivers'):
        named = section.get(key)
        if named is None:
            continue
        for name in (p.strip() for p in named.value.split(',')):
            if name and name not in features and is_name(name):
                findings.append(Finding(ERROR, description.path, named.line,
                                        f'feature {name} is not in the Feature table of {what}, '
                                        f'{package}{suggest(name, sorted(features))}'))
    return findings

