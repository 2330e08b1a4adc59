#!/usr/bin/env python3
"""Checks scripts/bar-fill.py, which decides when the extraction screenshot
is taken, on drawn loader windows and on the committed screenshot."""
import importlib.util
import os
import shutil
import subprocess
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
loader_spec = importlib.util.spec_from_file_location("bar_fill", os.path.join(ROOT, "scripts", "bar-fill.py"))
bar_fill = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(bar_fill)

WHITE, GREY, BLUE, NAVY, SILVER = b"\xff\xff\xff", b"\xae\xae\xae", b"\x32\x96\xfa", b"\x00\x00\x80", b"\xc0\xc0\xc0"


def window(fill, width=516, height=121, background=WHITE, frame=GREY, bar=BLUE, caption=BLUE,
           bar_top=60, inner_margin=0):
    """A loader window as Wine draws it: caption, 32x32 picture, framed bar."""
    rows = [[background] * width for _ in range(height)]
    for y in range(3, 21):
        rows[y][3:width - 3] = [caption] * (width - 6)
    for y in range(44, 76):
        rows[y][13:45] = [SILVER] * 32
    left, right, bottom = 55, width - 15, bar_top + 19
    for x in range(left, right + 1):
        rows[bar_top][x] = rows[bottom][x] = frame
    for y in range(bar_top, bottom + 1):
        rows[y][left] = rows[y][right] = frame
    inside = right - left - 1 - 2 * inner_margin
    for y in range(bar_top + 1 + inner_margin, bottom - inner_margin):
        for x in range(left + 1 + inner_margin, left + 1 + inner_margin + round(inside * fill / 100)):
            rows[y][x] = bar
    return b"P6 %d %d 255\n" % (width, height) + b"".join(b"".join(r) for r in rows)


def read(ppm):
    return bar_fill.bar_fill(*bar_fill.read_ppm(ppm))


class BarFillTest(unittest.TestCase):
    def test_drawn_windows(self):
        cases = [
            ("empty", window(0), 0),
            ("a quarter", window(25), 25),
            ("half", window(50), 50),
            ("most, fill longer than half the window", window(80), 80),
            ("full", window(100), 100),
            ("classic colours", window(40, background=SILVER, frame=b"\x80\x80\x80", bar=NAVY, caption=NAVY), 40),
            ("bar lower down", window(30, bar_top=80), 30),
        ]
        for name, ppm, expected in cases:
            with self.subTest(name):
                self.assertAlmostEqual(read(ppm), expected, delta=1)

    def test_inner_margin_stays_inside_the_range(self):
        # A theme that keeps a pixel between frame and fill reads a little low
        # at the ends but never outside 0..100.
        self.assertAlmostEqual(read(window(50, inner_margin=1)), 50, delta=1)
        self.assertLessEqual(read(window(100, inner_margin=1)), 100)

    def test_no_bar(self):
        blank = b"P6 200 100 255\n" + WHITE * 20000
        self.assertIsNone(read(blank))
        # Without its frame the bar cannot be told from the caption.
        self.assertIsNone(read(window(0).replace(GREY, WHITE)))

    def test_sixteen_bit_samples(self):
        header, pixels = window(60).split(b"\n", 1)
        wide = b"P6 516 121 65535\n" + bytes(b for v in pixels for b in (v, v))
        self.assertAlmostEqual(read(wide), 60, delta=1)

    def test_header_with_comment(self):
        ppm = window(20).replace(b"P6 ", b"P6\n# made here\n", 1)
        self.assertAlmostEqual(read(ppm), 20, delta=1)

    def test_short_image_is_refused(self):
        with self.assertRaises(ValueError):
            read(window(50)[:-10])

    @unittest.skipUnless(shutil.which("convert"), "ImageMagick is not installed")
    def test_committed_screenshot_is_mid_extraction(self):
        ppm = subprocess.run(["convert", os.path.join(ROOT, "docs", "extracting.png"), "ppm:-"],
                             check=True, stdout=subprocess.PIPE).stdout
        self.assertTrue(20 <= read(ppm) <= 80)


if __name__ == "__main__":
    unittest.main()
