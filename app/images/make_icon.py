#!/usr/bin/env python3
"""Draws the program's picture, eight bevelled red and black tiles in a three-by-three grid
(top right cell empty) on white, 32 x 32 pixels, twice:

- images/Icon1.bmp, a 32-bit bottom-up Windows bitmap, for the resource bundle;
- transport-settings.svg, the same tiles as squares for the desktop's icon theme.

Run from this folder, optionally with the two target paths; both files are committed, so the
build never needs Python.
"""
import struct
import sys

SIZE = 32
TILE = 9                  # side of a tile, bevel included
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



def tiles():
    """Left, top and face colour of each tile."""
    gap, margin = 1, 2
    for row in range(3):
        for col in range(3):
            if row == 0 and col == 2:
                continue  # the empty cell, top right
            face = RED if (row + col) % 2 == 0 else BLACK
            yield margin + col * (TILE + gap), margin + row * (TILE + gap), face


def picture():
    rows = [[WHITE] * SIZE for _ in range(SIZE)]
    for left, top, face in tiles():
        for y in range(TILE):
            for x in range(TILE):
                rows[top + y][left + x] = tile_pixel(x, y, TILE, face)
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


def svg():
    """The picture of tile_pixel() in squares: shaded tile, lit top and left edges, face."""
    def rect(x, y, w, h, colour):
        return '  <rect x="%d" y="%d" width="%d" height="%d" fill="#%02x%02x%02x"/>\n' % (
            (x, y, w, h) + colour)

    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n',
             '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d"'
             ' shape-rendering="crispEdges">\n' % (SIZE, SIZE, SIZE, SIZE),
             rect(0, 0, SIZE, SIZE, WHITE)]
    for left, top, face in tiles():
        parts += [rect(left, top, TILE, TILE, DARK),
                  rect(left, top, TILE, 1, LIGHT),
                  rect(left, top, 1, TILE, LIGHT),
                  rect(left + 1, top + 1, TILE - 2, TILE - 2, face)]
    parts.append('</svg>\n')
    return ''.join(parts).encode('ascii')


if __name__ == '__main__':
    targets = sys.argv[1:] or ['images/Icon1.bmp', 'transport-settings.svg']
    if len(targets) != 2:
        sys.exit('usage: make_icon.py [BITMAP SVG]')
    for target, data in zip(targets, (bitmap(), svg())):
        with open(target, 'wb') as f:
            f.write(data)
