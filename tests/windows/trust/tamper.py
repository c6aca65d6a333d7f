#!/usr/bin/env python3
"""Copies a PE file and changes one byte of the copy: the first letter of the DOS stub's message.
The byte is covered by the Authenticode hash but never executed, so the copy still runs while its
signature no longer matches. Usage: tamper.py SOURCE TARGET"""
import shutil
import sys

MESSAGE = b'This program cannot be run in DOS mode'

source, target = sys.argv[1], sys.argv[2]
with open(source, 'rb') as f:
    data = bytearray(f.read())
at = data.find(MESSAGE, 0, 0x200)
if at < 0:
    sys.exit(f'{source}: no DOS stub message to change')
data[at] ^= 0x20
with open(target + '.tmp', 'wb') as f:
    f.write(data)
shutil.copymode(source, target + '.tmp')
shutil.move(target + '.tmp', target)
