"""Reads a product description: sections, keys and values with their lines. A mistake in the
format becomes a finding with the line, and the line is left out. A file that is no text in an
encoding an editor saves (UTF-8 with or without a byte order mark, UTF-16 with one) becomes one
finding and nothing of it is read. Standard library only."""

import re
from typing import Dict, List, Optional, Tuple

from .languages import DEFAULT_LANGUAGE, language_id, suggested_language
from .model import ERROR, SECTIONS, Description, Entry, Finding, suggest


# The byte order marks an editor writes, and what each stands for. UTF-32's marks begin like
# UTF-16's, so they are looked at first; no editor saves a description so by choice.
UTF32_MARKS = (b'\xff\xfe\x00\x00', b'\x00\x00\xfe\xff')
MARKS = ((b'\xef\xbb\xbf', 'utf-8'), (b'\xff\xfe', 'utf-16-le'), (b'\xfe\xff', 'utf-16-be'))
SAVE_AS = 'save it as UTF-8, or as UTF-16 with a byte order mark (what Notepad calls Unicode)'


def read_text(path: str) -> Tuple[Optional[str], Optional[Finding]]:
    """The description's text, its lines ended by LF alone; or None and the one finding that
    says why it cannot be read."""
    def refusal(message: str, line: Optional[int] = None) -> Tuple[None, Finding]:
        return None, Finding(ERROR, path, line, message)

    try:
        with open(path, 'rb') as f:
            data = f.read()
    except OSError as e:
        return refusal(f'the description cannot be read: {e.strerror}')
    if data.startswith(UTF32_MARKS):
        return refusal(f'the description is saved as UTF-32; {SAVE_AS}')
    encoding, start = 'utf-8', 0
    for mark, name in MARKS:
        if data.startswith(mark):
            encoding, start = name, len(mark)
            break
    if start == 0 and _looks_like_utf16(data):
        return refusal(f'the description looks like UTF-16 without a byte order mark; {SAVE_AS}')
    body = data[start:]
    try:
        text = body.decode(encoding)
    except UnicodeDecodeError as e:
        if e.end == len(body) and e.reason in ('unexpected end of data', 'truncated data'):
            return refusal('the description ends in the middle of a character: the file is '
                           'incomplete')
        if encoding != 'utf-8':
            return refusal(f'the description is not valid UTF-16: the bytes at offset '
                           f'{start + e.start} are no character; {SAVE_AS}')
        line = _lines(body[:e.start].decode(encoding)).count('\n') + 1
        return refusal(f'byte 0x{body[e.start]:02X} is not UTF-8 (is the file saved in another '
                       f'encoding, such as Latin-1?); {SAVE_AS}', line)
    text = _lines(text)
    if '\0' in text:
        return refusal('the line holds a NUL character, which no text of a description can '
                       'hold: is this a binary file?', text.count('\n', 0, text.index('\0')) + 1)
    return text, None


def _looks_like_utf16(data: bytes) -> bool:
    """Text saved as UTF-16 has a NUL in every other byte wherever it is ASCII, and in those
    alone; a binary file has them anywhere."""
    if len(data) < 4:
        return False
    even, odd = data[0::2].count(0) / len(data[0::2]), data[1::2].count(0) / len(data[1::2])
    return min(even, odd) < 0.1 < 0.5 < max(even, odd)


def _lines(text: str) -> str:
    """Lines ended as any editor ends them, CR LF, LF or CR alone, ended by LF."""
    return text.replace('\r\n', '\n').replace('\r', '\n')


def parse_description(path: str) -> Tuple[Description, List[Finding]]:
    """Reads a description; format mistakes become findings (the line is then left out). A file
    that cannot be read as text, or holds nothing, gives one finding and a description that is
    not `readable`."""
    description = Description(path)
    text, refusal = read_text(path)
    if refusal is not None:
        description.readable = False
        return description, [refusal]
    findings: List[Finding] = []

    def error(line: int, message: str) -> None:
        findings.append(Finding(ERROR, path, line, message))

    seen: Dict[Tuple[str, str], int] = {}
    section: Optional[str] = None
    for number, raw in enumerate(text.split('\n'), 1):
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
    if section is None and not findings:
        # Every check would name something missing; the one thing to say is that it is empty.
        description.readable = False
        findings.append(Finding(ERROR, path, None, 'the description is empty: it holds no '
                                                   'section and no key'))
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

