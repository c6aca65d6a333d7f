"""Reads a product description: sections, keys and values with their lines. A mistake in the
format becomes a finding with the line, and the line is left out. Standard library only."""

import re
from typing import Dict, List, Optional, Tuple

from .languages import DEFAULT_LANGUAGE, language_id, suggested_language
from .model import ERROR, SECTIONS, Description, Entry, Finding, suggest


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
                written = line[1:-1].strip()
                section = _section_name(written, number, error) or ''
                if section:
                    description.section_lines.setdefault(section, number)
                    description.section_names.setdefault(section, written)
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
                error(number, f'{key} is given twice in {description.written(section)} (first on '
                              f'line {seen[(section, key)]}); a description takes one value per key')
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
            suggestion = suggested_language(language)
            hint = f'did you mean [strings.{suggestion}]? Else give' if suggestion else 'give'
            error(line, f'[{name}]: {language} is not a language this build knows by name; '
                        f'{hint} a Windows language name (fr-FR or fr_FR) or the decimal LANGID, '
                        f'e.g. [strings.1031] for German (Germany)')
            return None
        if value == DEFAULT_LANGUAGE:
            error(line, f'[{name}]: English (United States) is the default table; put its rows in '
                        f'[strings]')
            return None
        return f'strings.{value}'
    if lowered in SECTIONS:
        return lowered
    error(line, f'unknown section [{name}]{suggest(name, SECTIONS + ("strings.LANG",))}; the '
                f'sections are ' + ', '.join(f'[{s}]' for s in SECTIONS + ('strings.LANG',)))
    return None

