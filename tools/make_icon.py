#!/usr/bin/env python3
"""Draws the program's icon: 32x32 and 16x16 images in 16 colours.

A dark blue rounded tile with a white "start" triangle and a green pulse dot
(a program launched and kept alive). Writes src/ui/launcher.ico.
Run: python3 tools/make_icon.py
"""
import struct
import sys

# The 16-colour VGA palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
NAVY, GREY, WHITE, GREEN, DARKGREEN = 4, 8, 15, 10, 2


def draw(size):
    """Returns rows top to bottom of palette indexes, None = transparent."""
    s = size / 32.0
    px = [[None] * size for _ in range(size)]
    radius = 6 * s
    for y in range(size):
        for x in range(size):
            cx, cy = x + 0.5, y + 0.5
            # Rounded square tile with a one-pixel grey rim.
            dx = max(radius - cx, cx - (size - radius), 0)
            dy = max(radius - cy, cy - (size - radius), 0)
            d = (dx * dx + dy * dy) ** 0.5
            if d <= radius - 1 * s or (dx == 0 and dy == 0):
                px[y][x] = NAVY
            if radius - 1.2 * s < d <= radius and not (dx == 0 and dy == 0):
                px[y][x] = GREY
            # "Start" triangle pointing right.
            tx0, ty0, ty1, tx1 = 9 * s, 7 * s, 25 * s, 23 * s
            if tx0 <= cx <= tx1:
                half = (ty1 - ty0) / 2 * (1 - (cx - tx0) / (tx1 - tx0))
                mid = (ty0 + ty1) / 2
                if mid - half <= cy <= mid + half:
                    px[y][x] = WHITE
            # Pulse dot, lower right.
            ex, ey, er = 25 * s, 25 * s, 4.5 * s
            dd = ((cx - ex) ** 2 + (cy - ey) ** 2) ** 0.5
            if dd <= er:
                px[y][x] = GREEN if dd <= er - 1.2 * s else DARKGREEN
    return px


def image(size):
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b"", b""
    for row in reversed(px):  # bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            index = 0 if c is None else c
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(line)
        mask += bytes(bits)
    return header + palette + xor + mask


def main(path):
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/ui/launcher.ico")
