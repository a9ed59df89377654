#!/usr/bin/env python3
"""Writes src/app/res/tonvik.ico: 16x16 and 32x32, 32-bit with alpha.

A rounded key cap lit by a hue sweep across its face, drawn in code so the
icon has no outside origin. Run it again only to change the picture."""
import colorsys
import struct
import sys


def pixel(x, y, size):
    inset = size / 8
    radius = size / 5
    left, right = inset, size - inset
    top, bottom = inset, size - inset
    cx = min(max(x + 0.5, left + radius), right - radius)
    cy = min(max(y + 0.5, top + radius), bottom - radius)
    inside = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius ** 2
    if not (left <= x + 0.5 <= right and top <= y + 0.5 <= bottom and inside):
        return (0, 0, 0, 0)
    hue = (x + y) / (2 * size)
    r, g, b = colorsys.hsv_to_rgb(hue, 0.85, 1.0)
    return (int(b * 255), int(g * 255), int(r * 255), 255)


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, size * size * 4 + mask_row * size, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * size)


def main(path):
    sizes = [16, 32]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/app/res/tonvik.ico")
