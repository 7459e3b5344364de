#!/usr/bin/env python3
"""Writes images/Icon1.bmp: a 32 x 32, 32-bit bottom-up Windows bitmap of eight
bevelled red and black tiles in a three-by-three grid (top right cell empty) on white.

Run once from this folder; the bitmap is committed, so the build never needs Python.
"""
import struct
import sys

SIZE = 32
WHITE = (255, 255, 255)
LIGHT = (208, 208, 208)   # bevel, lit edges
DARK = (112, 112, 112)    # bevel, shaded edges
RED = (220, 24, 24)
BLACK = (16, 16, 16)


def tile_pixel(x, y, size, face):
    """Colour of (x, y) inside a square tile of the given size, y counted from the top."""
    if x == 0 or y == 0:
        return LIGHT
    if x == size - 1 or y == size - 1:
        return DARK
    return face


def picture():
    rows = [[WHITE] * SIZE for _ in range(SIZE)]
    tile, gap, margin = 9, 1, 2
    for row in range(3):
        for col in range(3):
            if row == 0 and col == 2:
                continue  # the empty cell, top right
            face = RED if (row + col) % 2 == 0 else BLACK
            left = margin + col * (tile + gap)
            top = margin + row * (tile + gap)
            for y in range(tile):
                for x in range(tile):
                    rows[top + y][left + x] = tile_pixel(x, y, tile, face)
    return rows


def bitmap():
    pixels = bytearray()
    for row in reversed(picture()):          # bottom-up
        for r, g, b in row:
            pixels += bytes((b, g, r, 255))  # BGRA, every pixel opaque
    info = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE, 1, 32, 0, len(pixels), 3780, 3780, 0, 0)
    offset = 14 + len(info)
    header = struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset)
    data = header + info + bytes(pixels)
    assert len(data) == 4150
    return data


if __name__ == '__main__':
    target = sys.argv[1] if len(sys.argv) > 1 else 'images/Icon1.bmp'
    with open(target, 'wb') as f:
        f.write(bitmap())
