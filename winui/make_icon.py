#!/usr/bin/env python3
"""Writes horalign.ico: a clock face at 16 x 16 and 32 x 32 pixels in 16 colours.

Run once when the design changes; the .ico is kept in the tree so a build needs no Python.
"""
import math
import struct
import sys

# The standard 16-colour palette (index: B, G, R, 0).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, GREY, WHITE, RED = 0, 4, 8, 15, 9


def pixel(size, x, y):
    """Palette index at (x, y), or None for transparent."""
    c = (size - 1) / 2
    dx, dy = x - c, y - c
    r = math.hypot(dx, dy)
    outer = size / 2 - 0.5
    if r > outer:
        return None
    if r > outer - max(1, size / 16):
        return NAVY
    # Hands: 10 past 2, minute hand long, hour hand short.
    for angle, length in ((math.radians(60), 0.45), (math.radians(-30), 0.7)):
        hx, hy = math.sin(angle), -math.cos(angle)
        t = dx * hx + dy * hy
        if 0 <= t <= length * outer and abs(dx * hy - dy * hx) <= max(0.6, size / 28):
            return BLACK
    for hour in range(12):
        a = math.radians(hour * 30)
        tx, ty = c + math.sin(a) * (outer - size / 7), c - math.cos(a) * (outer - size / 7)
        if math.hypot(x - tx, y - ty) < max(0.6, size / 24):
            return GREY if hour % 3 else RED
    return WHITE


def image(size):
    rows_xor, rows_and = [], []
    for y in reversed(range(size)):  # bottom-up
        xor = bytearray()
        mask_bits = []
        for x in range(0, size, 2):
            a, b = pixel(size, x, y), pixel(size, x + 1, y)
            xor.append(((a or 0) << 4) | (b or 0))
            mask_bits += [a is None, b is None]
        rows_xor.append(bytes(xor).ljust((len(xor) + 3) // 4 * 4, b"\0"))
        mask = bytearray()
        for i in range(0, size, 8):
            byte = 0
            for bit in range(8):
                byte = (byte << 1) | (1 if mask_bits[i + bit] else 0)
            mask.append(byte)
        rows_and.append(bytes(mask).ljust((len(mask) + 3) // 4 * 4, b"\0"))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + b"".join(rows_xor) + b"".join(rows_and)


def main(path):
    images = [image(16), image(32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "horalign.ico")
