#!/usr/bin/env python3
"""Draws QSXPORT's program icon, a serial connector on a blue tile, and writes it as a
Windows .ico file with three images: 32 x 32 in 4 colours, 32 x 32 in 16 colours and
16 x 16 in 4 colours. The result is kept in the repository (utility/QSXPORT.ico); run
this again only to change the artwork:

    python3 tools/rc/make_icon.py utility/QSXPORT.ico
"""
import struct
import sys

# 4-colour palette: black, navy, silver, white. 16-colour: the standard VGA colours.
PALETTE_4 = [(0, 0, 0), (0, 0, 128), (192, 192, 192), (255, 255, 255)]
PALETTE_16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
              (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
              (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def shape(size, x, y):
    """What lies at (x, y), top-down: None (transparent), 'edge', 'tile', 'plug', 'shade' or 'pin'."""
    fx, fy = (x + 0.5) / size, (y + 0.5) / size
    if fx < 0.06 or fx > 0.94 or fy < 0.06 or fy > 0.94:
        return None
    if fx < 0.13 or fx > 0.87 or fy < 0.13 or fy > 0.87:
        return 'edge'
    top, bottom = 0.34, 0.66
    if top <= fy <= bottom:
        # A D-shaped plug: wider at the top than at the bottom.
        t = (fy - top) / (bottom - top)
        left, right = 0.2 + 0.08 * t, 0.8 - 0.08 * t
        if left <= fx <= right:
            pin_row = abs(fy - 0.44) < 0.05 or abs(fy - 0.57) < 0.05
            pin_col = int((fx - left) / (right - left) * 9) % 2 == 1
            if size >= 32 and pin_row and pin_col:
                return 'pin'
            if size < 32 and abs(fy - 0.5) < 0.06 and pin_col:
                return 'pin'
            return 'shade' if fy > 0.6 else 'plug'
    return 'tile'


def image(size, bits):
    colours = {
        2: {'edge': 0, 'tile': 1, 'plug': 3, 'shade': 2, 'pin': 0},
        4: {'edge': 4, 'tile': 12, 'plug': 7, 'shade': 8, 'pin': 0},
    }[bits]
    palette = PALETTE_4 if bits == 2 else PALETTE_16
    xor_row = ((size * bits + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    xor, mask = bytearray(), bytearray()
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        pixels = [shape(size, x, y) for x in range(size)]
        row = bytearray(xor_row)
        bits_row = bytearray(and_row)
        for x, what in enumerate(pixels):
            index = 0 if what is None else colours[what]
            per_byte = 8 // bits
            shift = 8 - bits * (x % per_byte + 1)
            row[x // per_byte] |= index << shift
            if what is None:
                bits_row[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += bits_row
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0,
                         len(palette), 0)
    colour_table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    return header + colour_table + bytes(xor) + bytes(mask), len(palette)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else 'utility/QSXPORT.ico'
    images = [(32, 2), (32, 4), (16, 2)]
    blobs = [(size, bits) + image(size, bits) for size, bits in images]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, bits, data, colours in blobs:
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, _, data, _ in blobs)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
