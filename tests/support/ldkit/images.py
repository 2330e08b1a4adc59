"""Picture files for the branding tests, written with struct alone."""

import struct


def write_bmp(path, width, height, pixel, bits=24):
    """A bottom-up BMP whose pixel (x, y) (y from the top) is pixel(x, y), an
    (r, g, b) tuple."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(height)):
        row = b"".join(bytes((b, g, r)) for r, g, b in (pixel(x, y) for x in range(width)))
        rows.append(row + bytes(stride - len(row)))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def write_ico(path, sizes):
    """An .ico with one 32-bit image per size in `sizes`, each a solid colour."""
    images = []
    for n, size in enumerate(sizes):
        colour = bytes(((40 * n) & 255, 200, (255 - 60 * n) & 255, 255))
        xor = colour * (size * size)
        mask = bytes(((size + 31) // 32 * 4) * size)
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append(header + xor + mask)
    out = struct.pack("<HHH", 0, 1, len(images))
    at = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size & 255, size & 255, 0, 0, 1, 32, len(image), at)
        at += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))
    return images
