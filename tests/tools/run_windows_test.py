#!/usr/bin/env python3
"""Runs one Windows unit-test program (GoogleTest) under Wine, in a prefix and on a display of
its own, and ends with the program's result. Usage: run_windows_test.py PROGRAM [ARGS...]"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))

from testbed.wine import run_unit_test  # noqa: E402

if __name__ == '__main__':
    sys.exit(run_unit_test(sys.argv[1], sys.argv[2:]))
