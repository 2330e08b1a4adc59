#!/usr/bin/env python3
"""loaderkit_add_kit from an installed tree, with Ninja and with Unix
Makefiles: every keyword reaches kitpack, and the kit is built again when a
payload file is removed or added (also one with an old time) or a keyword
changes, and not otherwise.

usage: cmake_package_e2e.py BUILD_DIR TEST_PE_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import images  # noqa: E402
from ldkit import pe as pe_reader  # noqa: E402
from ldkit.pe import RT_BITMAP, RT_GROUP_ICON, RT_VERSION  # noqa: E402

BUILD = PE_DIR = PREFIX = None
GENERATORS = ("Ninja", "Unix Makefiles")

PROJECT = """\
cmake_minimum_required(VERSION 3.25)
project(kit_author NONE)
find_package(loaderkit REQUIRED)
set(PRODUCT "Zürich Réseau" CACHE STRING "")
loaderkit_add_kit(branded_kit
  LOADER {pe}/versioned.exe
  INSTALLER {pe}/plain.exe=C:\\\\KIT\\\\setup.exe
  FILES notes.txt
  PAYLOAD payload
  EXCLUDE *.tmp build/*
  OUTPUT branded-setup.exe
  LEVEL 1 THREADS 2 STORED_PREFIX C:\\\\KIT\\\\
  SOURCE_DATE_EPOCH 1700000000
  ICON app.ico PICTURE pic.bmp
  PRODUCT_NAME "${{PRODUCT}}" COMPANY "Example GmbH" DESCRIPTION "Example Setup"
  PRODUCT_VERSION 4.2 FILE_VERSION 4.2.0.17 COPYRIGHT "(c) 2024 Example"
  ORIGINAL_FILENAME example-setup.exe
  FORCE QUIET)
loaderkit_add_kit(empty_kit POSIX
  INSTALLER notes.txt
  PAYLOAD empty
  ALLOW_EMPTY EXTERNAL VERBOSE
  OUTPUT empty-kit)
"""


def run(command, cwd=None, ok=True):
    p = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=300)
    text = p.stdout.decode(errors="replace")
    if ok and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(command), p.returncode, text))
    return text


def setUpModule():
    global PREFIX
    PREFIX = tempfile.mkdtemp(prefix="loaderkit-prefix-")
    run(["cmake", "--install", BUILD, "--prefix", PREFIX])


def tearDownModule():
    shutil.rmtree(PREFIX)


class InstalledDocs(unittest.TestCase):
    def test_the_sources_the_docs_name_are_installed(self):
        doc = os.path.join(PREFIX, "share", "doc", "loaderkit")
        with open(os.path.join(doc, "examples.md"), encoding="utf-8") as f:
            examples = f.read()
        # examples.md names them relative to itself: beside it, installed.
        named = set(re.findall(r"`((?:installer|cmake-consumer)/[^`\s]*)`", examples))
        self.assertIn("installer/installer.cpp", named)
        for rel in sorted(named) + ["cmake-consumer/CMakeLists.txt", "cmake-consumer/payload"]:
            with self.subTest(rel=rel):
                self.assertTrue(os.path.exists(os.path.join(doc, rel)), rel)
        for page in ("README.md", "kitpack.md", "format.md"):
            self.assertTrue(os.path.exists(os.path.join(doc, page)), page)


class AddKit(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="loaderkit-add-kit-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.kitpack = os.path.join(PREFIX, "bin", "kitpack")
        self.make_source("src")

    def make_source(self, name):
        self.src = os.path.join(self.dir, name)
        self.write("CMakeLists.txt", PROJECT.format(pe=PE_DIR))
        self.write("notes.txt", "notes\n")
        self.write("payload/readme.txt", "read me\n")
        self.write("payload/docs/guide.txt", "guide\n")
        self.write("payload/docs/scratch.tmp", "left out\n")
        self.write("payload/build/obj.o", "left out\n")
        os.makedirs(os.path.join(self.src, "empty"))
        images.write_bmp(os.path.join(self.src, "pic.bmp"), 32, 32, lambda x, y: (x * 8, y * 8, 90))
        images.write_ico(os.path.join(self.src, "app.ico"), [32])

    def write(self, rel, text):
        path = os.path.join(self.src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    def payload_names(self, build):
        listing = run([self.kitpack, "list", "--json", os.path.join(build, "branded-setup.exe")])
        return sorted(e["stored_name"] for e in json.loads(listing)["archives"][1]["entries"])

    def build(self, build):
        log = run(["cmake", "--build", build])
        return log, os.stat(os.path.join(build, "branded-setup.exe")).st_mtime_ns

    def check_branding(self, kit):
        with open(kit, "rb") as f:
            data = f.read()
        res = pe_reader.PeImage(data).resources()
        with open(os.path.join(self.src, "pic.bmp"), "rb") as f:
            self.assertEqual(pe_reader.resource(res, RT_BITMAP, "BITMAP1"), f.read()[14:])
        self.assertEqual(len(pe_reader.group_icon_entries(
            pe_reader.resource(res, RT_GROUP_ICON, "MAINICON"))), 1)
        file_version, product_version, strings = pe_reader.version_info(
            pe_reader.resource(res, RT_VERSION, 1))
        self.assertEqual((file_version, product_version), ("4.2.0.17", "4.2.0.0"))
        for key, value in [("ProductName", "Zürich Réseau"), ("CompanyName", "Example GmbH"),
                           ("FileDescription", "Example Setup"), ("LegalCopyright", "(c) 2024 Example"),
                           ("OriginalFilename", "example-setup.exe")]:
            self.assertEqual(strings[key], value)

    def test_every_keyword_and_every_change(self):
        for generator in GENERATORS:
            with self.subTest(generator=generator):
                self.every_keyword_and_every_change(generator)

    def every_keyword_and_every_change(self, generator):
        self.make_source("src-" + generator.replace(" ", "-"))
        build = os.path.join(self.dir, generator.replace(" ", "-"))
        run(["cmake", "-S", self.src, "-B", build, "-G", generator, "-DCMAKE_PREFIX_PATH=" + PREFIX])
        log, built = self.build(build)
        kit = os.path.join(build, "branded-setup.exe")
        self.assertNotIn("wrote " + kit, log)  # QUIET
        self.assertIn("loader archive 0: C:\\KIT\\notes.txt", log)  # VERBOSE, of the other kit
        self.check_branding(kit)
        self.assertEqual(self.payload_names(build), ["docs\\guide.txt", "readme.txt"])
        listing = run([self.kitpack, "list", kit])
        self.assertIn("C:\\KIT\\notes.txt", listing)  # STORED_PREFIX
        self.assertIn("2023-11-14 22:13:20", listing)  # SOURCE_DATE_EPOCH
        self.assertEqual(sorted(os.listdir(os.path.join(build, "empty-kit"))),
                         ["loader", "setup.1", "setup.2"])

        # Nothing changed: nothing done but the check of the inputs.
        log, again = self.build(build)
        self.assertEqual(again, built)
        self.assertNotIn("Building kit", log)

        # A payload file put back from an older copy with its time kept
        # (cp -p): older than the kit, and yet a change.
        guide = os.path.join(self.src, "payload", "docs", "guide.txt")
        with open(guide + ".orig", "w", encoding="utf-8") as f:
            f.write("the guide of last year\n")
        os.utime(guide + ".orig", (1e9, 1e9))
        run(["cp", "-p", guide + ".orig", guide])
        os.remove(guide + ".orig")
        log, again = self.build(build)
        self.assertNotEqual(again, built, log)
        self.assertIn("Building kit branded", log)
        out = os.path.join(self.dir, "out-" + generator.replace(" ", "-"))
        run([self.kitpack, "extract", kit, "--second", "-C", out])
        with open(os.path.join(out, "docs", "guide.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "the guide of last year\n")
        # Its time alone, the same bytes: built again too.
        os.utime(guide, (1e9 + 60, 1e9 + 60))
        log, built = self.build(build)
        self.assertNotEqual(built, again, log)
        log, again = self.build(build)
        self.assertEqual(again, built, log)

        # A removed payload file.
        os.remove(os.path.join(self.src, "payload", "docs", "guide.txt"))
        log, built = self.build(build)
        self.assertEqual(self.payload_names(build), ["readme.txt"], log)

        # An added one whose time is older than the kit's (copied with its
        # time kept).
        self.write("payload/old.txt", "from an archive\n")
        os.utime(os.path.join(self.src, "payload", "old.txt"), (1e9, 1e9))
        log, built = self.build(build)
        self.assertEqual(self.payload_names(build), ["old.txt", "readme.txt"], log)

        # A changed keyword.
        time.sleep(1.1)
        run(["cmake", "-DPRODUCT=Other Product", build])
        log, again = self.build(build)
        self.assertNotEqual(again, built)
        with open(kit, "rb") as f:
            res = pe_reader.PeImage(f.read()).resources()
        self.assertEqual(pe_reader.version_info(pe_reader.resource(res, RT_VERSION, 1))[2]["ProductName"],
                         "Other Product")
        self.assertEqual(self.build(build)[1], again)

    def test_unknown_and_empty_keywords_are_refused(self):
        for call, message in [("FOO bar", "unknown arguments: FOO;bar"),
                              ("PRODUCT_NAME", "no value given for PRODUCT_NAME")]:
            self.write("CMakeLists.txt", textwrap.dedent("""\
                cmake_minimum_required(VERSION 3.25)
                project(bad NONE)
                find_package(loaderkit REQUIRED)
                loaderkit_add_kit(k POSIX INSTALLER notes.txt OUTPUT k %s)
                """) % call)
            out = run(["cmake", "-S", self.src, "-B", os.path.join(self.dir, "bad"), "-G", "Ninja",
                       "-DCMAKE_PREFIX_PATH=" + PREFIX], ok=False)
            self.assertIn("loaderkit_add_kit(k): " + message, out)


if __name__ == "__main__":
    BUILD, PE_DIR = sys.argv[1:3]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
