#!/usr/bin/env python3
"""Writes src/ui/korvane.ico: icon group 102 of korvane.exe.

Three images, in this order: 32x32 in 16 colours, 16x16 in 16 colours, 48x48 in 256 colours.
The picture is a network socket on a blue tile, drawn on a 16x16 grid and scaled, so that it
stays legible at the smallest size. Running the script again gives the same bytes.
"""
import os
import struct

# The standard 16-colour palette (as the system's 4-bit icons use it), as (r, g, b).
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# The design: '.' transparent, 'B' dark blue frame, 'b' blue tile, 'W' white socket,
# 'K' black socket opening, 'Y' yellow contacts.
DESIGN = [
    "................",
    ".BBBBBBBBBBBBBB.",
    ".BbbbbbbbbbbbbB.",
    ".BbWWWWWWWWWWbB.",
    ".BbWKKKKKKKKWbB.",
    ".BbWKYKYKYKYWbB.",
    ".BbWKYKYKYKYWbB.",
    ".BbWKKKKKKKKWbB.",
    ".BbWKKKKKKKKWbB.",
    ".BbWWWKKKKWWWbB.",
    ".BbbbWKKKKWbbbB.",
    ".BbbbWWWWWWbbbB.",
    ".BbbbbbbbbbbbbB.",
    ".BbbbbbbbbbbbbB.",
    ".BBBBBBBBBBBBBB.",
    "................",
]
COLOURS = {"B": 4, "b": 12, "W": 15, "K": 0, "Y": 11}


def pixel(x, y, size):
    return DESIGN[y * 16 // size][x * 16 // size]


def image(size, bits):
    """One icon image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask (rows bottom-up)."""
    colours = 16 if bits == 4 else 256
    palette = PALETTE16 + [(0, 0, 0)] * (colours - 16)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        indexes = [0 if pixel(x, y, size) == "." else COLOURS[pixel(x, y, size)] for x in range(size)]
        row = bytearray()
        if bits == 4:
            for x in range(0, size, 2):
                row.append(indexes[x] << 4 | indexes[x + 1])
        else:
            row.extend(indexes)
        row.extend(b"\0" * (-len(row) % 4))
        xor.extend(row)
        bitsrow = bytearray((size + 7) // 8)
        for x in range(size):
            if pixel(x, y, size) == ".":
                bitsrow[x // 8] |= 0x80 >> (x % 8)
        bitsrow.extend(b"\0" * (-len(bitsrow) % 4))
        mask.extend(bitsrow)
    return header + table + bytes(xor) + bytes(mask), colours


def main():
    images = [image(32, 4), image(16, 4), image(48, 8)]
    sizes = [32, 16, 48]
    bits = [4, 4, 8]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (data, colours), size, bitcount in zip(images, sizes, bits):
        out += struct.pack("<BBBBHHII", size, size, colours if colours < 256 else 0, 0, 1, bitcount, len(data), offset)
        offset += len(data)
    out += b"".join(data for data, _ in images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "korvane.ico")
    with open(path, "wb") as file:
        file.write(out)


if __name__ == "__main__":
    main()
