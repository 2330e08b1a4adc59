#!/usr/bin/env python3
"""Turns the loader's character-map pictures into the files the resource
script embeds: a 4-bit .bmp for the splash picture and a 16-colour .ico.

A picture file holds comment lines ("#"), "legend C N" lines that give the
palette index N (0..15) of character C, and 32 rows of 32 characters after a
line "picture". In an icon the character "_" is transparent.

  make_images.py --bmp splash.txt splash.bmp --ico icon.txt icon.ico
  make_images.py --png splash.txt preview.png [scale]
"""

import struct
import sys
import zlib

SIZE = 32
TRANSPARENT = "_"

# The 16 standard system colours, in the order of the Windows 16-colour
# palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def read_picture(path):
    legend = {}
    rows = []
    in_picture = False
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if in_picture:
                if line.startswith("#") or not line:
                    continue
                rows.append(line)
                continue
            if line.startswith("#") or not line.strip():
                continue
            words = line.split()
            if words[0] == "legend" and len(words) >= 3 and len(words[1]) == 1:
                index = int(words[2])
                if not 0 <= index < 16:
                    sys.exit(f"{path}:{number}: palette index {index} out of range")
                legend[words[1]] = index
            elif words[0] == "picture":
                in_picture = True
            else:
                sys.exit(f"{path}:{number}: cannot read {line!r}")
    if len(rows) != SIZE:
        sys.exit(f"{path}: {len(rows)} rows, want {SIZE}")
    for y, row in enumerate(rows):
        if len(row) != SIZE:
            sys.exit(f"{path}: row {y} has {len(row)} characters, want {SIZE}")
        for ch in row:
            if ch != TRANSPARENT and ch not in legend:
                sys.exit(f"{path}: row {y}: character {ch!r} is not in the legend")
    # Pixels top-down; None is transparent.
    return [[None if ch == TRANSPARENT else legend[ch] for ch in row] for row in rows]


def palette_bytes():
    return b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)


def xor_rows(pixels):
    """4-bit rows, bottom-up; every row of 32 pixels is 16 bytes (aligned)."""
    out = bytearray()
    for row in reversed(pixels):
        for x in range(0, SIZE, 2):
            hi = row[x] or 0
            lo = row[x + 1] or 0
            out.append(hi << 4 | lo)
    return bytes(out)


def and_rows(pixels):
    """1-bit mask rows, bottom-up, 1 = transparent; 4 bytes a row."""
    out = bytearray()
    for row in reversed(pixels):
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is None else 0)
        out += bits.to_bytes(4, "big")
    return bytes(out)


def info_header(height):
    # BITMAPINFOHEADER: uncompressed (BI_RGB), 4 bits, 16 colours used.
    image_size = SIZE * height * 4 // 8
    return struct.pack("<IiiHHIIiiII", 40, SIZE, height, 1, 4, 0, image_size, 0, 0, 16, 16)


def make_bmp(pixels):
    if any(p is None for row in pixels for p in row):
        sys.exit("the splash picture cannot be transparent")
    body = info_header(SIZE) + palette_bytes()
    bits = xor_rows(pixels)
    offset = 14 + len(body)
    return struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset) + body + bits


def make_ico(pixels):
    # An icon image is a DIB of twice the height: the colour rows, then the mask.
    image = info_header(2 * SIZE) + palette_bytes() + xor_rows(pixels) + and_rows(pixels)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


def make_png(pixels, scale):
    """An enlarged preview; transparent pixels show as a checker board."""
    raw = bytearray()
    for y in range(SIZE * scale):
        raw.append(0)
        for x in range(SIZE * scale):
            index = pixels[y // scale][x // scale]
            if index is None:
                shade = 235 if (x // 4 + y // 4) % 2 else 255
                raw += bytes((shade, shade, shade))
            else:
                raw += bytes(PALETTE[index])

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    side = SIZE * scale
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main(args):
    if not args:
        sys.exit(__doc__)
    while args:
        option = args.pop(0)
        if option == "--bmp":
            source, target = args.pop(0), args.pop(0)
            write(target, make_bmp(read_picture(source)))
        elif option == "--ico":
            source, target = args.pop(0), args.pop(0)
            write(target, make_ico(read_picture(source)))
        elif option == "--png":
            source, target = args.pop(0), args.pop(0)
            scale = int(args.pop(0)) if args and args[0].isdigit() else 12
            write(target, make_png(read_picture(source), scale))
        else:
            sys.exit(f"unknown option {option!r}\n{__doc__}")


if __name__ == "__main__":
    main(sys.argv[1:])
