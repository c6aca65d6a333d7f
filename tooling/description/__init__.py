"""The product description: its format, and the checks that a build runs on it.

A product description is a small ini file that says everything product-specific about one
setup.exe (docs/product-description.md). This package reads it and checks it, so that a mistake
stops the build with the description's file and line instead of surfacing on a user's machine.
tooling.resources builds the resources from what it returns; release tools that look into a
built setup.exe check what they find there with check_executable.

    model         sections, keys, payloads and rows; Description, Entry, Finding
    reader        parse_description: the file, line by line
    checks        Check: the content, for a file and for a built setup.exe alike
    rules         the program's own rules, answered by description_rules
    string_table  the program's default string table; texts as resource literals
    files         the files a description names, and the package's features

    findings, description = check_description(path, variables, check_files=True)
    findings = check_executable(settings, options, string_tables, payload_ids)

Standard library only.
"""

from typing import Dict, Iterable, List, Optional, Tuple

from .checks import Check
from .files import package_findings, path_findings
from .languages import DEFAULT_LANGUAGE, language_name
from .model import ERROR, OPTIONS, Description, Entry, Finding
from .reader import parse_description
from .rules import Rules
from .string_table import read_default_strings


def check_description(path: str, variables: Optional[Dict[str, str]] = None,
                      check_files: bool = False, rules_tool: Optional[str] = None,
                      cache_dir: Optional[str] = None) -> Tuple[List[Finding], Description]:
    """Parses and checks a description file.

    Files named relative to the description are checked for existence, and the package's
    features; files in a folder of the build (${NAME}) only with check_files, once the build has
    made them. Returns the findings (errors, warnings and notes, each with the file and line) and
    the description's content."""
    variables = variables or {}
    description, findings = parse_description(path)
    if not description.readable:
        return findings, description
    rules = Rules(rules_tool, cache_dir)
    findings += Check(description, rules, from_executable=False).run()
    findings += path_findings(description, variables, check_existence=False)
    if check_files:
        findings += path_findings(description, variables, check_existence=True)
    # A package that is a file already is checked now; one the build makes once it has.
    findings += package_findings(description, variables, made_by_build=check_files,
                                 is_name=lambda name: rules.accepted('identifier', name))
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
        description.section_names[section] = f'strings.{language_name(language)}'
        for row, text in rows.items():
            if row in defaults and (text != defaults[row] or section != 'strings'):
                description.entries.append(Entry(section, str(row), text, None))
    findings = Check(description, Rules(rules_tool, cache_dir), from_executable=True).run()
    unknown = [e for e in description.entries if e.section == 'options']
    for entry in unknown:
        findings.append(Finding(ERROR, name, None, f'unknown product option {entry.key}'))
    return findings
