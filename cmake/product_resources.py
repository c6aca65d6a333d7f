#!/usr/bin/env python3
"""Turns a product description into the resources a product build of setup.exe carries.

The description is a small ini file:

  [settings]   NAME = value     a setting stored as a type-40 resource (UTF-16LE text with its
                                terminating NUL); quote a value ("...") to keep outer spaces
  [payloads]   ID = file        a file stored as a resource of type "EXE" with that integer id
  [signing]    description = text, url = address
                                what the Authenticode signature shows (default: PRODUCTNAME)
  [upload]     package = file   with BASEURL: the package the server gets (default: payload 1004)

File names are relative to the description's folder; ${NAME} is replaced by a value given with
--var NAME=VALUE (the build passes the folders where it makes packages and stand-ins).

Writes into --out: product.rc (included by the bootstrapper's resource script), one .bin file per
setting, setup_variant.rc, the script a variant compiles, and signing.json, what the signing step
needs (description, URL, the package for upload). Options for test variants change
the description's content: --set NAME=VALUE, --unset NAME, --no-settings, --payload ID=FILE,
--no-payload ID, --no-payloads. --list-inputs prints the payload files instead and writes nothing.
"""
import argparse
import json
import os
import re
import sys

SETTING_NAME = re.compile(r'^[A-Z][A-Z0-9_]*$')
# Sections of plain keys, and the keys each accepts.
KEYED_SECTIONS = {'signing': ('description', 'url'), 'upload': ('package',)}


class DescriptionError(Exception):
    pass


def parse_description(path):
    """The description's settings, payloads, [signing] and [upload] sections."""
    settings, payloads = {}, {}
    keyed = {name: {} for name in KEYED_SECTIONS}
    section = None
    with open(path, encoding='utf-8-sig') as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith(';') or line.startswith('#'):
                continue
            where = f'{path}:{number}'
            if line.startswith('[') and line.endswith(']'):
                section = line[1:-1].strip().lower()
                if section not in ('settings', 'payloads', *KEYED_SECTIONS):
                    raise DescriptionError(f'{where}: unknown section [{section}]')
                continue
            if '=' not in line:
                raise DescriptionError(f'{where}: expected NAME = value')
            key, value = (part.strip() for part in line.split('=', 1))
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = value[1:-1]
            if section == 'settings':
                if not SETTING_NAME.match(key):
                    raise DescriptionError(f'{where}: setting names are upper case: {key}')
                settings[key] = value
            elif section == 'payloads':
                if not key.isdigit() or not 0 < int(key) < 65536:
                    raise DescriptionError(f'{where}: payload ids are numbers from 1 to 65535: {key}')
                payloads[int(key)] = value
            elif section in KEYED_SECTIONS:
                if key.lower() not in KEYED_SECTIONS[section]:
                    raise DescriptionError(f'{where}: [{section}] has no key {key}')
                keyed[section][key.lower()] = value
            else:
                raise DescriptionError(f'{where}: entry outside a section')
    return settings, payloads, keyed['signing'], keyed['upload']


def expand(value, variables, where):
    def substitute(match):
        name = match.group(1)
        if name not in variables:
            raise DescriptionError(f'{where}: ${{{name}}} is not defined by the build')
        return variables[name]
    return re.sub(r'\$\{([A-Za-z_][A-Za-z0-9_]*)\}', substitute, value)


def resolve_file(description, value, variables, what):
    path = expand(value, variables, f'{description}: {what}')
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(description)), path))


def resolve_payloads(description, payloads, variables):
    return {pid: resolve_file(description, value, variables, f'payload {pid}')
            for pid, value in payloads.items()}


def signing_details(description, settings, files, signing, upload, variables):
    """What signing the executable needs: the signature's description and URL, and the package a
    product that downloads its package puts on its server."""
    package = None
    if 'package' in upload:
        package = resolve_file(description, upload['package'], variables, '[upload] package')
    elif 1004 in files:
        package = files[1004]
    return {'description': signing.get('description', settings.get('PRODUCTNAME')),
            'url': signing.get('url'),
            'upload_package': package}


def rc_string(path):
    return '"' + path.replace('\\', '/').replace('"', '""') + '"'


def write_if_changed(path, data):
    mode = 'rb'
    try:
        with open(path, mode) as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path, 'wb') as f:
        f.write(data)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--description', required=True)
    parser.add_argument('--out')
    parser.add_argument('--var', action='append', default=[])
    parser.add_argument('--set', action='append', default=[])
    parser.add_argument('--unset', action='append', default=[])
    parser.add_argument('--no-settings', action='store_true')
    parser.add_argument('--payload', action='append', default=[])
    parser.add_argument('--no-payload', action='append', default=[], type=int)
    parser.add_argument('--no-payloads', action='store_true')
    parser.add_argument('--list-inputs', action='store_true')
    args = parser.parse_args(argv)

    variables = dict(v.split('=', 1) for v in args.var)
    settings, payloads, signing, upload = parse_description(args.description)
    if args.no_settings:
        settings = {}
    for item in args.set:
        name, value = item.split('=', 1)
        settings[name] = value
    for name in args.unset:
        settings.pop(name, None)
    for item in args.payload:
        pid, value = item.split('=', 1)
        payloads[int(pid)] = value
    for pid in args.no_payload:
        payloads.pop(pid, None)
    if args.no_payloads:
        payloads = {}
    files = resolve_payloads(args.description, payloads, variables)
    details = signing_details(args.description, settings, files, signing, upload, variables)
    inputs = {f'payload {pid}': files[pid] for pid in sorted(files)}
    if 'package' in upload:
        inputs['[upload] package'] = details['upload_package']

    if args.list_inputs:
        for path in inputs.values():
            print(path)
        return 0

    missing = [f'{what}: {path}' for what, path in inputs.items() if not os.path.isfile(path)]
    if missing:
        raise DescriptionError(f'{args.description}: missing file(s): ' + '; '.join(missing))

    out = args.out
    os.makedirs(os.path.join(out, 'settings'), exist_ok=True)
    lines = ['// Generated from ' + os.path.abspath(args.description) + '; do not edit.', '',
             '// Settings: language neutral, UTF-16LE text with its terminator.',
             'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL']
    for name in sorted(settings):
        data = (settings[name] + '\0').encode('utf-16-le')
        bin_path = os.path.join(out, 'settings', name + '.bin')
        write_if_changed(bin_path, data)
        lines.append(f'{name} RT_SETTING {rc_string(os.path.abspath(bin_path))}')
    lines += ['', '// Payloads.', 'LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US']
    for pid in sorted(files):
        lines.append(f'{pid} EXE {rc_string(files[pid])}')
    write_if_changed(os.path.join(out, 'product.rc'), ('\n'.join(lines) + '\n').encode())
    write_if_changed(os.path.join(out, 'setup_variant.rc'),
                     b'// Generated; do not edit.\n#include "setup.rc"\n')
    write_if_changed(os.path.join(out, 'signing.json'),
                     (json.dumps(details, indent=1) + '\n').encode())
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv[1:]))
    except DescriptionError as error:
        print(f'error: {error}', file=sys.stderr)
        sys.exit(1)
