#!/usr/bin/env python3
"""Decides, for a build, which flavours of the Windows programs this machine runs: the x86
flavour where a 32-bit test program runs under Wine within seconds, the x64 flavour everywhere.
Usage: decide_flavours.py PROBE32.EXE PROBE64.EXE OUT.json"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))

from testbed.flavours import main  # noqa: E402

if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
