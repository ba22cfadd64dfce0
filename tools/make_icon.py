#!/usr/bin/env python3
"""Writes Quorwind's icon: 32x32 in 2 colours, 32x32 and 16x16 in 16 colours.

The picture, drawn at each size: a round dark disc with a light ring and a
note-like stem, on a transparent ground. Usage: make_icon.py OUT.ico
"""

import struct
import sys

# The 16-colour palette of the classic display drivers, as (blue, green, red, 0).
PALETTE16 = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
             (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0),
             (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255)]
PALETTE2 = [(0, 0, 0), (255, 255, 255)]


def picture(size, colours):
    """Rows from the top: a palette index per pixel, or None where transparent."""
    dark, ring, stem = (0, 1, 1) if colours == 2 else (1, 11, 14)  # navy, cyan, yellow
    centre = (size - 1) / 2
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            d = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5 / (size / 2)
            if d > 0.97:
                row.append(None)
            elif d > 0.80:
                row.append(ring)
            elif abs(x - size * 0.58) < size / 16 and size * 0.2 < y < size * 0.65:
                row.append(stem)
            elif ((x - size * 0.45) ** 2 + (y - size * 0.66) ** 2) ** 0.5 < size * 0.14:
                row.append(stem)
            else:
                row.append(dark)
        rows.append(row)
    return rows


def packed_rows(rows, bits):
    """Bottom-up rows of |bits|-per-pixel values, each padded to 4 bytes."""
    out = b""
    for row in reversed(rows):
        value, count, data = 0, 0, bytearray()
        for pixel in row:
            value = (value << bits) | pixel
            count += bits
            if count == 8:
                data.append(value)
                value, count = 0, 0
        while len(data) % 4:
            data.append(0)
        out += bytes(data)
    return out


def image(size, colours):
    rows = picture(size, colours)
    bits = 1 if colours == 2 else 4
    palette = PALETTE2 if colours == 2 else PALETTE16
    colour = [[0 if p is None else p for p in row] for row in rows]
    mask = [[1 if p is None else 0 for p in row] for row in rows]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + packed_rows(colour, bits) + packed_rows(mask, 1), bits


def main(path):
    images = [(32, 2), (32, 16), (16, 16)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, colours in images:
        body, bits = image(size, colours)
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(body), offset)
        offset += len(body)
        data += body
    with open(path, "wb") as f:
        f.write(directory + data)


if __name__ == "__main__":
    main(sys.argv[1])
