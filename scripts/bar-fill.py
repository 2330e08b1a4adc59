#!/usr/bin/env python3
"""Reads a screenshot of the loader window (binary PPM on stdin) and prints
how full its progress bar is, in percent, or "none" when no bar is found.

The bar is found by its frame: the first row below the title whose longest
run of one colour (other than the window background) spans at least half the
window is the frame's top edge; the last row with a run of that colour is its
bottom edge. Inside the frame, on the middle row, every pixel that is neither
background nor frame is fill.
"""
import sys


def read_ppm(data):
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6":
        raise ValueError("not a binary PPM")
    width, height, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    size = 1 if maxval < 256 else 2  # ImageMagick may write 16-bit samples
    pixels = data[pos + 1:pos + 1 + width * height * 3 * size]
    if len(pixels) != width * height * 3 * size:
        raise ValueError("short PPM")
    if size == 2:
        pixels = pixels[0::2]  # the high bytes, most significant first
    return width, height, pixels


def bar_fill(width, height, pixels):
    def px(x, y):
        i = (y * width + x) * 3
        return pixels[i:i + 3]

    def longest_run(y, skip):
        best = (0, 0, None)  # length, start, colour
        x = 0
        while x < width:
            colour = px(x, y)
            end = x
            while end + 1 < width and px(end + 1, y) == colour:
                end += 1
            if colour != skip and end - x + 1 > best[0]:
                best = (end - x + 1, x, colour)
            x = end + 1
        return best

    background = px(width // 2, height - 6)
    frame = None
    top = bottom = None
    left = right = None
    # The title and the top border take about the first fifth of the window.
    for y in range(height // 4, height - 4):
        length, start, colour = longest_run(y, background)
        if length < width // 2:
            continue
        if frame is None:
            frame, top, left, right = colour, y, start, start + length - 1
        elif colour == frame:
            bottom = y
    if frame is None or bottom is None or bottom - top < 4:
        return None
    middle = (top + bottom) // 2
    inside = range(left + 1, right)
    filled = sum(1 for x in inside if px(x, middle) not in (background, frame))
    return 100.0 * filled / len(inside)


def main():
    fill = bar_fill(*read_ppm(sys.stdin.buffer.read()))
    print("none" if fill is None else "%.0f" % fill)


if __name__ == "__main__":
    main()
