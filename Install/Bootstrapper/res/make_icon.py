#!/usr/bin/env python3
"""Draws the setup icon: a brown carton with a blue arrow going into it, at 16, 24, 32 and 48
pixels, 32 bits per pixel with alpha, and writes them as one .ico file (resource 115)."""
import struct
import sys

SIZES = (16, 24, 32, 48)


def draw(n):
    """Returns n*n BGRA pixels, top row first."""
    px = [[(0, 0, 0, 0)] * n for _ in range(n)]
    box_l, box_r = round(n * 0.12), round(n * 0.88)
    box_t, box_b = round(n * 0.45), round(n * 0.94)
    edge = max(1, n // 16)
    for y in range(box_t, box_b):
        for x in range(box_l, box_r):
            border = (x < box_l + edge or x >= box_r - edge or y < box_t + edge or y >= box_b - edge)
            lid = y < box_t + max(2, n // 8)
            if border:
                px[y][x] = (30, 60, 100, 255)
            elif lid:
                px[y][x] = (60, 130, 200, 255)
            else:
                px[y][x] = (50, 110, 170, 255)
    # The arrow: a shaft and a head pointing down into the carton.
    cx = n // 2
    shaft = max(1, n // 8)
    for y in range(round(n * 0.04), round(n * 0.42)):
        for x in range(cx - shaft, cx + shaft):
            px[y][x] = (200, 110, 20, 255)
    head_top, head_bottom = round(n * 0.30), round(n * 0.62)
    for y in range(head_top, head_bottom):
        half = round((head_bottom - y) * 0.9)
        for x in range(cx - half, cx + half):
            if 0 <= x < n:
                px[y][x] = (230, 140, 30, 255)
    return px


def image(n):
    px = draw(n)
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes(px[y][x]) for y in reversed(range(n)) for x in range(n))
    row = ((n + 31) // 32) * 4
    and_mask = bytearray(row * n)
    for y in range(n):
        for x in range(n):
            if px[n - 1 - y][x][3] == 0:
                and_mask[y * row + x // 8] |= 0x80 >> (x % 8)
    return header + xor + bytes(and_mask)


def main(path):
    images = [image(n) for n in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])
