#!/usr/bin/env python3
"""kitpack build --icon, --picture and the version options, on small Windows
programs made by the cross toolchain: the kit's copy of the loader read back
by the tests' own PE reader (tests/support/ldkit/pe.py), by objdump and by wrestool.

usage: branding_e2e.py KITPACK TEST_PE_DIR
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import images  # noqa: E402
from ldkit import pe as pe_reader  # noqa: E402
from ldkit.pe import RT_BITMAP, RT_GROUP_ICON, RT_ICON, RT_VERSION  # noqa: E402

KITPACK = PE_DIR = None
OBJDUMP = "x86_64-w64-mingw32-objdump"

VERSION_OPTIONS = {
    "--product-name": ("ProductName", "Zürich Réseau"),
    "--company": ("CompanyName", "Example Software GmbH"),
    "--description": ("FileDescription", "Example Suite Setup"),
    "--product-version": ("ProductVersion", "4.2"),
    "--file-version": ("FileVersion", "4.2.0.17"),
    "--copyright": ("LegalCopyright", "© 2024 Example"),
    "--original-filename": ("OriginalFilename", "example-setup.exe"),
}


def picture(x, y):
    return ((x * 8) & 255, (y * 8) & 255, 255 - ((x + y) * 4 & 255))


class Branding(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-branding-")
        self.addCleanup(shutil.rmtree, self.dir)
        with open(self.path("setup.exe"), "wb") as f:
            f.write(pe_reader.pe_image(size=1200))
        os.makedirs(self.path("payload"))
        with open(self.path("payload/readme.txt"), "wb") as f:
            f.write(b"read me\r\n")
        images.write_bmp(self.path("pic.bmp"), 32, 32, picture)
        self.icons = images.write_ico(self.path("app.ico"), [16, 32, 48, 256])

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def kitpack(self, *args, ok=True):
        p = subprocess.run([KITPACK, *args], cwd=self.dir, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
        if ok:
            self.assertEqual(p.returncode, 0, p.stderr.decode())
        return p

    def brand(self, loader, out, *extra, ok=True):
        return self.kitpack("build", "--loader", loader, "--installer", "setup.exe",
                            "--payload", "payload", "-o", out, *extra, ok=ok)

    def all_options(self):
        args = ["--icon", "app.ico", "--picture", "pic.bmp"]
        for option, (_, value) in VERSION_OPTIONS.items():
            args += [option, value]
        return args

    def image_of_kit(self, kit):
        with open(self.path(kit), "rb") as f:
            data = f.read()
        first_archive = struct.unpack_from("<i", data, len(data) - 40)[0]
        image = pe_reader.PeImage(data[:first_archive])
        # Only the zero bytes that align the kit to 8 bytes follow the image.
        end = max(s["roff"] + s["rsize"] for s in image.sections)
        self.assertLess(first_archive - end, 8)
        self.assertEqual(data[end:first_archive], bytes(first_archive - end))
        return pe_reader.PeImage(data[:end])

    def check_image(self, original, branded):
        """What must hold of any branded image: its code and data sections
        unchanged, the resources in its last section, sizes and checksum
        right."""
        new = {(s["va"], s["name"]): s for s in branded.sections}
        for s in original.sections:
            if s["va"] == original.directories[2][0]:
                continue
            t = new.get((s["va"], s["name"]))
            self.assertIsNotNone(t, s["name"])
            self.assertEqual(original.data[s["roff"]:s["roff"] + s["rsize"]],
                             branded.data[t["roff"]:t["roff"] + t["rsize"]], s["name"])
        last = max(branded.sections, key=lambda s: s["va"])
        self.assertEqual(last, max(branded.sections, key=lambda s: s["roff"]))
        self.assertEqual(branded.directories[2][0], last["va"])
        self.assertEqual(last["name"], ".rsrc")
        self.assertEqual(len(branded.data), last["roff"] + last["rsize"])
        end = max(s["va"] + max(s["vsize"], s["rsize"]) for s in branded.sections)
        align = branded.section_alignment
        self.assertEqual(branded.size_of_image, (end + align - 1) // align * align)
        self.assertEqual(branded.checksum, branded.computed_checksum())
        self.assertEqual([s["name"] for s in branded.sections].count(".rsrc"), 1)

    def test_every_option_reads_back(self):
        self.brand(os.path.join(PE_DIR, "versioned.exe"), "kit.exe", *self.all_options())
        with open(os.path.join(PE_DIR, "versioned.exe"), "rb") as f:
            original = pe_reader.PeImage(f.read())
        image = self.image_of_kit("kit.exe")
        self.check_image(original, image)
        res = image.resources()

        with open(self.path("pic.bmp"), "rb") as f:
            self.assertEqual(pe_reader.resource(res, RT_BITMAP, "BITMAP1"), f.read()[14:])
        group = pe_reader.group_icon_entries(pe_reader.resource(res, RT_GROUP_ICON, "MAINICON"))
        self.assertEqual([(w, h, bits) for w, h, bits, _, _ in group],
                         [(16, 16, 32), (32, 32, 32), (48, 48, 32), (256, 256, 32)])
        for (_, _, _, size, ident), data in zip(group, self.icons):
            self.assertEqual(pe_reader.resource(res, RT_ICON, ident), data)
            self.assertEqual(size, len(data))

        file_version, product_version, strings = pe_reader.version_info(
            pe_reader.resource(res, RT_VERSION, 1))
        self.assertEqual(file_version, "4.2.0.17")
        self.assertEqual(product_version, "4.2.0.0")
        for key, value in VERSION_OPTIONS.values():
            self.assertEqual(strings[key], value)
        # The loader's own "loader" gives way to the original file name.
        self.assertEqual(strings["InternalName"], "example-setup")

        # The kit itself is untouched by the branding: it verifies.
        self.assertIn(b"OK", self.kitpack("verify", "kit.exe").stdout)

        # Two other readers accept it.
        dump = subprocess.run([OBJDUMP, "-p", self.path("kit.exe")], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, check=True)
        self.assertIn(b"MAINICON", dump.stdout)
        self.assertIn(b"BITMAP1", dump.stdout)
        self.assertEqual(dump.stderr, b"")
        listing = subprocess.run(["wrestool", "-l", self.path("kit.exe")], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        self.assertIn("--type=14 --name='MAINICON'", listing)
        self.assertIn("--type=2 --name='BITMAP1'", listing)
        ico = subprocess.run(["wrestool", "-x", "--type=14", "--name=MAINICON",
                              self.path("kit.exe")], stdout=subprocess.PIPE, check=True).stdout
        # wrestool rebuilds the .ico from the group and its images (and, as
        # it does for windres's output too, adds a few bytes behind them).
        with open(self.path("app.ico"), "rb") as f:
            self.assertTrue(ico.startswith(f.read()))

    def test_program_without_resources_and_external_kit(self):
        # plain.exe has no resource section: a new one is added.
        self.brand(os.path.join(PE_DIR, "plain.exe"), "plain-kit.exe", "--picture", "pic.bmp",
                   "--product-name", "Plain")
        with open(os.path.join(PE_DIR, "plain.exe"), "rb") as f:
            original = pe_reader.PeImage(f.read())
        image = self.image_of_kit("plain-kit.exe")
        self.check_image(original, image)
        res = image.resources()
        self.assertEqual(set(t for t, _, _ in res), {RT_BITMAP, RT_VERSION})
        self.assertEqual(pe_reader.version_info(pe_reader.resource(res, RT_VERSION, 1))[2],
                         {"ProductName": "Plain", "InternalName": "Plain"})

        # An external kit's copy of the loader is branded the same way; the
        # loader given stays as it was.
        loader = self.path("versioned.exe")
        shutil.copy(os.path.join(PE_DIR, "versioned.exe"), loader)
        os.makedirs(self.path("ext"))
        self.brand(loader, "ext", "--external", "--icon", "app.ico")
        with open(loader, "rb") as f:
            self.assertEqual(f.read(), original_bytes(os.path.join(PE_DIR, "versioned.exe")))
        with open(self.path("ext/versioned.exe"), "rb") as f:
            copy = pe_reader.PeImage(f.read())
        self.assertEqual(len(pe_reader.group_icon_entries(
            pe_reader.resource(copy.resources(), RT_GROUP_ICON, "MAINICON"))), 4)
        # Unchanged texts stay as the loader had them.
        self.assertEqual(pe_reader.version_info(pe_reader.resource(copy.resources(), RT_VERSION, 1))[:2],
                         ("2.17.300.65535", "9.9.9.9"))

    def test_branding_with_an_execution_level(self):
        # The manifest travels through the resource writer, then takes the
        # level in place; the checksum is right for the final bytes.
        manifested = os.path.join(PE_DIR, "manifested.exe")
        self.brand(manifested, "kit.exe", "--picture", "pic.bmp", "--company", "Example",
                   "--execution-level", "requireAdministrator")
        with open(manifested, "rb") as f:
            original = pe_reader.PeImage(f.read())
        image = self.image_of_kit("kit.exe")
        self.check_image(original, image)
        res = image.resources()
        manifest = pe_reader.resource(res, pe_reader.RT_MANIFEST, 1).decode()
        self.assertIn('level="requireAdministrator"', manifest)
        before = pe_reader.resource(original.resources(), pe_reader.RT_MANIFEST, 1)
        self.assertEqual(len(manifest), len(before))
        self.assertEqual(pe_reader.version_info(pe_reader.resource(res, RT_VERSION, 1))[2]
                         ["CompanyName"], "Example")

    def test_picture_with_alpha_is_blended_over_the_window(self):
        # What ImageMagick writes by default for a picture with transparency:
        # 32 bits with an alpha mask, the transparent pixels black.
        if not shutil.which("convert"):
            self.skipTest("no ImageMagick")
        subprocess.run(["convert", "-size", "32x32", "xc:none", "-fill", "rgb(200,20,10)", "-draw",
                        "rectangle 8,4 23,27", self.path("alpha.bmp")], check=True)
        with open(self.path("alpha.bmp"), "rb") as f:
            self.assertEqual(struct.unpack_from("<H", f.read(), 28)[0], 32)
        self.brand(os.path.join(PE_DIR, "versioned.exe"), "kit.exe", "--picture", "alpha.bmp")
        bitmap = pe_reader.resource(self.image_of_kit("kit.exe").resources(), RT_BITMAP, "BITMAP1")
        size, width, height, _, bits = struct.unpack_from("<IiiHH", bitmap, 0)
        self.assertEqual((size, width, height, bits), (40, 32, 32, 24))

        def pixel(x, y):  # y from the top; the rows are stored bottom-up
            at = 40 + (31 - y) * 96 + x * 3
            return tuple(reversed(bitmap[at:at + 3]))
        self.assertEqual(pixel(0, 0), (240, 240, 240))  # the window's grey, not black
        self.assertEqual(pixel(12, 6), (200, 20, 10))

    def test_mistakes_are_refused_before_anything_is_written(self):
        images.write_bmp(self.path("small.bmp"), 16, 16, picture)
        images.write_bmp(self.path("wide.bmp"), 48, 32, picture)
        with open(self.path("pic.bmp"), "rb") as f:
            rle = bytearray(f.read())
        struct.pack_into("<I", rle, 30, 1)  # BI_RLE8
        with open(self.path("rle.bmp"), "wb") as f:
            f.write(rle)
        with open(self.path("app.ico"), "rb") as f:
            cursor = bytearray(f.read())
        struct.pack_into("<H", cursor, 2, 2)
        with open(self.path("cursor.cur"), "wb") as f:
            f.write(cursor)
        with open(self.path("cut.ico"), "wb") as f:
            f.write(original_bytes(self.path("app.ico"))[:500])
        with open(self.path("elf-loader"), "wb") as f:
            f.write(b"\x7fELF" + bytes(200))
        versioned = os.path.join(PE_DIR, "versioned.exe")
        cases = [
            (versioned, ["--picture", "small.bmp"], "small.bmp is 16x16 pixels; the loader's picture must be 32x32"),
            (versioned, ["--picture", "wide.bmp"], "wide.bmp is 48x32 pixels"),
            (versioned, ["--picture", "rle.bmp"], "rle.bmp is compressed"),
            (versioned, ["--picture", "app.ico"], "app.ico is not a BMP picture"),
            (versioned, ["--picture", "missing.bmp"], "missing.bmp"),
            (versioned, ["--icon", "cursor.cur"], "cursor.cur is not an icon file: it is a cursor"),
            (versioned, ["--icon", "cut.ico"], "of cut.ico lies outside the file"),
            (versioned, ["--icon", "pic.bmp"], "pic.bmp is not an icon file"),
            (versioned, ["--file-version", "2.x"], "--file-version \"2.x\" is not a version"),
            (versioned, ["--product-version", "1.2.3.4.5"], "is not a version"),
            (versioned, ["--product-version", "70000"], "is not a version"),
            ("elf-loader", ["--icon", "app.ico"], "the loader elf-loader is not a Windows PE image"),
        ]
        for loader, args, message in cases:
            with self.subTest(message):
                p = self.brand(loader, "out.exe", *args, ok=False)
                self.assertEqual(p.returncode, 1, p.stderr.decode())
                self.assertIn(message, p.stderr.decode())
                self.assertFalse(any(n.startswith("out.exe") for n in os.listdir(self.dir)))


def original_bytes(path):
    with open(path, "rb") as f:
        return f.read()


if __name__ == "__main__":
    KITPACK = os.path.abspath(sys.argv.pop(1))
    PE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
