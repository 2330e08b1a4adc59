"""A kit branded by kitpack (--icon, --picture, the version options) around
the real loader.exe, under Wine: its resources read back independently, it
runs and starts its installer, and its window shows the new picture pixel
for pixel.

Environment: as test_loader_run under Wine (E2E_HOST=wine), plus E2E_KITPACK (kitpack of the native
build) and LOADERKIT_DISPLAY (the X display wine-run uses).
"""

import json
import os
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import images  # noqa: E402
from ldkit import pe as pe_reader  # noqa: E402
from ldkit.e2e import CAPTION, read_bytes  # noqa: E402
from ldkit.hosts import DRIVER, PROBE, WINE_RUN, LoaderCase, WineRun  # noqa: E402

KITPACK = os.environ.get("E2E_KITPACK", "")
DISPLAY = os.environ.get("LOADERKIT_DISPLAY", ":77")


def picture(x, y):
    """A picture no loader was built with: every pixel differs from its
    neighbours, so a shifted or scaled copy would not match."""
    return ((x * 7 + y * 3) * 5 & 255, (y * 8) & 255, (x * 8 + 100) & 255)


def screen():
    """The whole screen as (width, height, RGB bytes)."""
    ppm = subprocess.run(["import", "-display", DISPLAY, "-window", "root", "-depth", "8", "ppm:-"],
                         stdout=subprocess.PIPE, check=True, timeout=30).stdout
    fields = ppm.split(maxsplit=4)
    assert fields[0] == b"P6" and fields[3] == b"255"
    return int(fields[1]), int(fields[2]), fields[4]


def find_picture(width, height, rgb, pixel):
    """(x, y) where the 32x32 picture lies on the screen exactly, or None."""
    rows = [b"".join(bytes(pixel(x, y)) for x in range(32)) for y in range(32)]
    stride = width * 3
    start = 0
    while True:
        at = rgb.find(rows[0], start)
        if at < 0:
            return None
        start = at + 1
        if at % 3:
            continue
        x, y = (at % stride) // 3, at // stride
        if x + 32 <= width and y + 32 <= height and all(
                rgb[(y + r) * stride + 3 * x:(y + r) * stride + 3 * x + 96] == rows[r]
                for r in range(32)):
            return x, y


class Branding(LoaderCase):
    def setUp(self):
        super().setUp()
        if not os.path.isfile(KITPACK):
            self.fail("no host kitpack at %r: build the native preset first" % KITPACK)
        self.dir = self.folder("branding")
        images.write_bmp(os.path.join(self.dir, "pic.bmp"), 32, 32, picture)
        self.icons = images.write_ico(os.path.join(self.dir, "app.ico"), [16, 32, 48])

    def build(self, name):
        kit = os.path.join(self.dir, name)
        subprocess.run([KITPACK, "build", "--loader", os.environ["E2E_LOADER"],
                        "--installer", PROBE + "=C:\\Product\\install.exe",
                        "--icon", os.path.join(self.dir, "app.ico"),
                        "--picture", os.path.join(self.dir, "pic.bmp"),
                        "--product-name", "Example Suite", "--file-version", "3.1.4.1",
                        "--original-filename", "example-setup.exe", "-o", kit],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        return kit

    def test_branded_kit_runs_and_reads_back(self):
        kit = self.build("example-setup.exe")
        data = read_bytes(kit)
        first_archive = struct.unpack_from("<i", data, len(data) - 40)[0]
        res = pe_reader.PeImage(data[:first_archive]).resources()
        self.assertEqual(pe_reader.resource(res, pe_reader.RT_BITMAP, "BITMAP1"),
                         read_bytes(os.path.join(self.dir, "pic.bmp"))[14:])
        group = pe_reader.group_icon_entries(
            pe_reader.resource(res, pe_reader.RT_GROUP_ICON, "MAINICON"))
        self.assertEqual([pe_reader.resource(res, pe_reader.RT_ICON, e[4]) for e in group], self.icons)
        fixed, _, strings = pe_reader.version_info(pe_reader.resource(res, pe_reader.RT_VERSION, 1))
        self.assertEqual((fixed, strings["ProductName"], strings["OriginalFilename"]),
                         ("3.1.4.1", "Example Suite", "example-setup.exe"))
        # The manifest is carried over as built.
        self.assertEqual(
            [v for (t, _, _), v in res.items() if t == pe_reader.RT_MANIFEST],
            [v for (t, _, _), v in pe_reader.PeImage(self.loader).resources().items()
             if t == pe_reader.RT_MANIFEST])

        run = WineRun(self, kit, (), self.folder("tmp-run"))
        self.assertSucceeded(run)
        self.assertTrue(run.seen["setup_window_ever_visible"])

    def test_window_shows_the_new_picture(self):
        kit = self.build("broken-setup.exe")
        # The installer's stream gets a wrong Adler-32, so the loader stops
        # with its error box over the window, which stays up to be looked at.
        listing = json.loads(subprocess.run([KITPACK, "list", "--json", kit], check=True,
                                            stdout=subprocess.PIPE).stdout)
        first = listing["archives"][0]
        last_byte = first["start"] + first["entries"][0]["data_end"]
        with open(kit, "r+b") as f:
            f.seek(last_byte)
            byte = f.read(1)[0]
            f.seek(last_byte)
            f.write(bytes([byte ^ 0xFF]))

        tmp = self.folder("tmp-shot")
        env = dict(os.environ, LOADERKIT_DISPLAY=DISPLAY)
        driver = subprocess.Popen([WINE_RUN, DRIVER, "--keep-box", "--timeout", "30000", kit],
                                  env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, cwd=tmp)
        found = None
        try:
            deadline = time.monotonic() + 28  # Wine may first set up its prefix
            while found is None and time.monotonic() < deadline:
                box = subprocess.run(["xdotool", "search", "--name", "^%s$" % CAPTION],
                                     env=dict(os.environ, DISPLAY=DISPLAY),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if box.returncode == 0 and box.stdout.strip():
                    time.sleep(0.5)  # the window repaints under the box
                    found = find_picture(*screen(), picture)
                else:
                    time.sleep(0.2)
        finally:
            out, err = driver.communicate(timeout=120)
        seen = json.loads([line for line in out.decode("latin-1").splitlines()
                           if line.startswith("{")][-1])
        self.assertTrue(seen["box"], err.decode("latin-1"))
        self.assertTrue(seen["setup_visible_during_box"])
        self.assertIsNotNone(found, "the branded picture is not on the screen")


if __name__ == "__main__":
    unittest.main(verbosity=2)
