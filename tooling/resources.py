"""Turns a product description into the resources a product build of setup.exe carries.

The description (docs/product-description.md) is read and checked by tooling.description.
Its parts become:

  [settings]            one type-40 resource per setting (UTF-16LE text with its terminating NUL)
  [feature-selection], [prerequisites]
                        type-41 options (the same form), read by the program without log lines;
                        the runtime's file name, arguments and uninstall key replace rows 90, 92
                        and 94 of the string table
  [strings]             rows of the default string table (res/strings.rc) replaced
  [strings.LANG]        a translated table: the default table with the translated rows put in
  [version]             the version resource, else taken from the package (ProductName,
                        ProductVersion, Manufacturer)
  [payloads]            one resource of type "EXE" per file, by id
  [signing], [upload]   signing.json, what the signing step needs: the signature's description
                        and URL (default: PRODUCTNAME), and with BASEURL the package the server
                        gets (default: payload 1004)

File names are relative to the description's folder; ${NAME} is replaced by a value given with
--var NAME=VALUE (the build passes the folders where it makes packages and stand-ins).

--check checks the description as the build is configured (everything but the files that the
build makes) and writes nothing; --check-package checks it against the package once the build
has made it (its features). --facts prints what the build plans by, before any check: whether it
asks for a 64-bit setup.exe, and the folders of the build its files are in. --out DIR writes
product.rc (included by the bootstrapper's resource script), one .bin file per setting and
option, setup_variant.rc (the script a variant compiles), signing.json and, with --depfile, the
files read; a description as written is checked once more then, with the files the build made
(payloads, the package's features).
Options for test variants change the description's content and skip the checks: --set
NAME=VALUE (a setting, or SECTION.KEY=VALUE), --unset NAME, --no-settings, --payload ID=FILE, --no-payload ID, --no-payloads,
--drop-section NAME; --unchecked skips them for a description as written too.
"""
import argparse
import json
import os
import sys

from .description import check_description
from . import msi
from .description.files import build_variables, package_findings, payload_files, upload_package
from .description.languages import DEFAULT_LANGUAGE
from .description.model import (ERROR, NOTE, PACKAGE_PAYLOAD, RUNTIME_ROWS, SECTION_KEYS, WARNING,
                                Entry, is_number, runtime_row)
from .description.reader import parse_description
from .description.string_table import DEFAULT_STRINGS, rc_string, read_default_strings


def write_if_changed(path, data):
    try:
        with open(path, 'rb') as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path, 'wb') as f:
        f.write(data)


def rc_path(path):
    return '"' + os.path.abspath(path).replace('\\', '/').replace('"', '""') + '"'


def text_resources(out, folder, type_name, values):
    """Named resources of `type_name`, one .bin file of UTF-16LE text with its NUL each."""
    lines = []
    os.makedirs(os.path.join(out, folder), exist_ok=True)
    for name in sorted(values):
        bin_path = os.path.join(out, folder, name + '.bin')
        write_if_changed(bin_path, (values[name] + '\0').encode('utf-16-le'))
        lines.append(f'{name} {type_name} {rc_path(bin_path)}')
    return lines


def string_tables(description, default):
    """The default table with the description's rows, then each translated table."""
    rows = default.rows()
    for key, row in RUNTIME_ROWS.items():
        value = description.value('prerequisites', key)
        if value is not None:
            rows[row] = runtime_row(key, value)
    for key, entry in description.section('strings').items():
        rows[int(key)] = entry.value
    tables = [(DEFAULT_LANGUAGE, rows)]
    for language in description.languages():
        translated = dict(rows)
        for key, entry in description.section(f'strings.{language}').items():
            translated[int(key)] = entry.value
        tables.append((language, translated))
    lines = []
    for language, table in tables:
        lines += [f'LANGUAGE 0x{language & 0x3FF:02x}, 0x{language >> 10:02x}', 'STRINGTABLE', 'BEGIN']
        lines += [f'  {row} {rc_string(text)}' for row, text in sorted(table.items())]
        lines += ['END', '']
    return lines


def version_numbers(text):
    parts = [int(p) if is_number(p) and int(p) <= 65535 else 0 for p in text.split('.')[:4]]
    return ','.join(str(p) for p in parts + [0] * (4 - len(parts)))


def version_resource(description, package, default_name):
    """VERSIONINFO: what [version] sets, else the package's own properties."""
    properties = {}
    if package and os.path.isfile(package):
        try:
            properties = msi.properties(package)
        except msi.NotAPackage:
            properties = {}  # not a package: a test variant's, whose version nobody reads
    values = {}
    for key, fallback in (('ProductName', properties.get('ProductName') or default_name),
                          ('ProductVersion', properties.get('ProductVersion') or '0.0.0'),
                          ('CompanyName', properties.get('Manufacturer', ''))):
        values[key] = description.value('version', key, fallback)
    values['FileDescription'] = description.value('version', 'FileDescription',
                                                  f'{values["ProductName"]} Setup')
    values['FileVersion'] = description.value('version', 'FileVersion', values['ProductVersion'])
    company = values['CompanyName']
    values['LegalCopyright'] = description.value('version', 'LegalCopyright',
                                                 f'Copyright (C) {company}' if company else '')
    lines = [
        'LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US',
        '1 VERSIONINFO',
        f'FILEVERSION {version_numbers(values["FileVersion"])}',
        f'PRODUCTVERSION {version_numbers(values["ProductVersion"])}',
        'FILEFLAGSMASK 0x3F',
        'FILEFLAGS 0x0',
        'FILEOS 0x40004',    # VOS_NT_WINDOWS32
        'FILETYPE 0x1',      # VFT_APP
        'FILESUBTYPE 0x0',
        'BEGIN',
        '  BLOCK "StringFileInfo"',
        '  BEGIN',
        '    BLOCK "040904B0"',
        '    BEGIN',
    ]
    for key in SECTION_KEYS['version']:
        lines.append(f'      VALUE "{key}", {rc_string(values[key])}')
    lines += ['    END', '  END', '  BLOCK "VarFileInfo"', '  BEGIN',
              '    VALUE "Translation", 0x0409, 1200', '  END', 'END', '']
    return lines


def signing_details(description, files, upload):
    """What signing the executable needs: the signature's description and URL, and the package a
    product that downloads its package puts on its server."""
    return {'description': description.value('signing', 'description',
                                             description.settings().get('PRODUCTNAME')),
            'url': description.value('signing', 'url'),
            'upload_package': upload or files.get(PACKAGE_PAYLOAD)}


def report(findings, severities):
    shown = [f for f in findings if f.severity in severities]
    for finding in shown:
        print(finding, file=sys.stderr)
    return any(f.severity == ERROR for f in shown)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--description', required=True)
    parser.add_argument('--out')
    parser.add_argument('--depfile')
    parser.add_argument('--check', action='store_true')
    parser.add_argument('--check-package', action='store_true',
                        help='check the description against the package alone (its features)')
    parser.add_argument('--facts', action='store_true',
                        help='print what the build plans by: "x64 on" or "x64 off", then '
                             '"variables" and the ${NAME}s its file names use')
    parser.add_argument('--unchecked', action='store_true')
    parser.add_argument('--rules-tool')
    parser.add_argument('--rules-cache', help='where description_rules is compiled without '
                                              '--rules-tool (default: the user\'s cache)')
    parser.add_argument('--var', action='append', default=[])
    parser.add_argument('--set', action='append', default=[])
    parser.add_argument('--unset', action='append', default=[])
    parser.add_argument('--no-settings', action='store_true')
    parser.add_argument('--payload', action='append', default=[])
    parser.add_argument('--no-payload', action='append', default=[], type=int)
    parser.add_argument('--no-payloads', action='store_true')
    parser.add_argument('--drop-section', action='append', default=[])
    args = parser.parse_args(argv)

    if not os.path.isfile(args.description):
        print(f'{args.description}: error: there is no such product description',
              file=sys.stderr)
        return 1
    variables = dict(v.split('=', 1) for v in args.var)
    changed = bool(args.set or args.unset or args.no_settings or args.payload or
                   args.no_payload or args.no_payloads or args.drop_section)
    if args.facts:
        # Read before the description is checked, or for a description already checked: one
        # that cannot be read asks for the 32-bit setup.exe alone and uses no folder of the build.
        description, _ = parse_description(args.description)
        print('x64 on' if description.x64_on() else 'x64 off')
        print(' '.join(['variables'] + build_variables(description)))
        return 0
    if args.check:
        findings, _ = check_description(args.description, variables,
                                        rules_tool=args.rules_tool, cache_dir=args.rules_cache)
        return 1 if report(findings, (ERROR, WARNING, NOTE)) else 0
    if args.check_package:
        # Once the build has made the package; the rest was checked at configure.
        description, findings = parse_description(args.description)
        if description.readable:
            findings = package_findings(description, variables, made_by_build=True)
        return 1 if report(findings, (ERROR,)) else 0

    if args.unchecked or changed:
        description, findings = parse_description(args.description)
    else:
        # The configure step showed the warnings and notes; what is new here comes from the
        # files the build made.
        findings, description = check_description(args.description, variables,
                                                  check_files=True, rules_tool=args.rules_tool)
    if report(findings, (ERROR,)):
        return 1

    entries = [e for e in description.entries if e.section not in args.drop_section]
    if args.no_settings:
        entries = [e for e in entries if e.section != 'settings']
    for name in args.unset:
        entries = [e for e in entries if (e.section, e.key) != ('settings', name)]
    for item in args.set:
        # NAME is a setting; SECTION.KEY any other key (setting names have no period).
        name, value = item.split('=', 1)
        section, _, key = name.rpartition('.')
        section = section or 'settings'
        entries = [e for e in entries if (e.section, e.key) != (section, key)]
        entries.append(Entry(section, key, value, None))
    if args.no_payloads:
        entries = [e for e in entries if e.section != 'payloads']
    for pid in args.no_payload:
        entries = [e for e in entries if (e.section, e.key) != ('payloads', str(pid))]
    for item in args.payload:
        pid, value = item.split('=', 1)
        entries = [e for e in entries if (e.section, e.key) != ('payloads', pid)]
        entries.append(Entry('payloads', pid, value, None))
    description.entries = entries

    files = payload_files(description, variables)
    missing = [f'payload {pid}: no such file: {path}' for pid, path in sorted(files.items())
               if not os.path.isfile(path)]
    if missing:
        print(f'{args.description}: error: ' + '; '.join(missing), file=sys.stderr)
        return 1
    upload = upload_package(description, variables)
    package = files.get(PACKAGE_PAYLOAD) or upload

    out = args.out
    os.makedirs(out, exist_ok=True)
    default = read_default_strings()
    lines = ['// Generated from ' + os.path.abspath(args.description) + '; do not edit.', '',
             '// Settings and options: language neutral, UTF-16LE text with its terminator.',
             'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL']
    lines += text_resources(out, 'settings', 'RT_SETTING', description.settings())
    lines += text_resources(out, 'options', 'RT_PRODUCT_OPTION', description.options())
    lines += ['', '// String tables: the default one first, then the translations.']
    lines += string_tables(description, default)
    default_name = default.settings[17]
    lines += ['// Version.']
    lines += version_resource(description, package,
                              description.settings().get('PRODUCTNAME', default_name))
    lines += ['// Payloads. Size and time of each file are noted so that a changed file changes',
              '// this script, and setup.exe is linked again.',
              'LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US']
    for pid in sorted(files):
        stat = os.stat(files[pid])
        lines.append(f'// {stat.st_size} bytes, modified {stat.st_mtime_ns}')
        lines.append(f'{pid} EXE {rc_path(files[pid])}')
    write_if_changed(os.path.join(out, 'product.rc'), ('\n'.join(lines) + '\n').encode())
    write_if_changed(os.path.join(out, 'setup_variant.rc'),
                     b'// Generated; do not edit.\n#include "setup.rc"\n')
    write_if_changed(os.path.join(out, 'signing.json'),
                     (json.dumps(signing_details(description, files, upload), indent=1)
                      + '\n').encode())
    if args.depfile:
        read = [args.description, str(DEFAULT_STRINGS)] + [files[p] for p in sorted(files)]
        if upload and os.path.isfile(upload):
            read.append(upload)
        target = os.path.join(out, 'product.rc')
        write_if_changed(args.depfile, (target + ': ' + ' '.join(
            p.replace(' ', '\\ ') for p in read) + '\n').encode())
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
