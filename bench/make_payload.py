#!/usr/bin/env python3
"""Writes a payload file of exactly SIZE bytes of seeded pseudo-random data (incompressible, and
the same on every build). Usage: make_payload.py SIZE OUTPUT"""
import os
import random
import sys

size, output = int(sys.argv[1]), sys.argv[2]
generator = random.Random(size)
chunk = 1 << 20
temporary = output + '.part'
with open(temporary, 'wb') as f:
    left = size
    while left > 0:
        n = min(chunk, left)
        f.write(generator.randbytes(n))
        left -= n
os.replace(temporary, output)
