#!/usr/bin/env python3
"""The payload library as a kit author gets it: this build installed into a
scratch prefix, a C program built there with find_package(loaderkit) and
loaderkit::payload, and run on kits kitpack made (self-extracting and
external, a good one and one with a damaged stream).

usage: installed_package_e2e.py BUILD_DIR KITPACK
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = KITPACK = None
PAYLOAD = {"README.txt": b"read me\n", "docs/guide.txt": b"guide " * 20000, "docs/empty.dat": b""}


def run(command, ok=True, **kwargs):
    p = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, **kwargs)
    if ok and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(command), p.returncode,
                                                         p.stdout.decode(errors="replace"),
                                                         p.stderr.decode(errors="replace")))
    return p


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="payload-package-")
        prefix = os.path.join(cls.dir, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", prefix])
        build = os.path.join(cls.dir, "build")
        # A library built with the sanitizers or with gcc's line counts
        # needs their runtimes in the program that links it (the native-asan
        # and coverage builds install one).
        flags = os.environ.get("LOADERKIT_SANITIZER_FLAGS", "")
        run(["cmake", "-S", os.path.join(HERE, "c_program"), "-B", build, "-G", "Ninja",
             "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_C_FLAGS=" + flags,
             "-DCMAKE_EXE_LINKER_FLAGS=" + flags])
        run(["cmake", "--build", build])
        cls.program = os.path.join(build, "unpack_kit")
        cls.payload = os.path.join(cls.dir, "payload")
        for name, data in PAYLOAD.items():
            path = os.path.join(cls.payload, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        cls.kits = os.path.join(cls.dir, "kits")
        os.makedirs(os.path.join(cls.kits, "ext"))
        loader = os.path.join(cls.dir, "loader")
        with open(loader, "wb") as f:
            f.write(b"\x7fELF-stand-in" * 100)
        for extra, out in (([], os.path.join(cls.kits, "setup")),
                           (["--external"], os.path.join(cls.kits, "ext"))):
            run([KITPACK, "build", "--loader", loader, "--installer", loader + "=C:\\KIT\\setup",
                 "--payload", cls.payload, "-o", out] + extra)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def unpack(self, dest, *hand_off):
        return run([self.program, dest] + list(hand_off), ok=False)

    def assert_unpacked(self, dest):
        for name, data in PAYLOAD.items():
            with open(os.path.join(dest, name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def test_unpacks_both_kinds_of_kit(self):
        for label, hand_off in (("self-extracting", ["*SELFEXTRACT", "setup", self.kits]),
                                ("external", [os.path.join(self.kits, "ext")])):
            with self.subTest(label):
                dest = os.path.join(self.dir, "dest-" + label)
                p = self.unpack(dest, *hand_off)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stdout.decode().splitlines(),
                                 ["README.txt 8", "docs\\empty.dat 0", "docs\\guide.txt 120000"])
                self.assert_unpacked(dest)

    def test_a_damaged_stream_is_reported_and_its_file_removed(self):
        damaged = os.path.join(self.dir, "damaged")
        shutil.copytree(os.path.join(self.kits, "ext"), damaged)
        with open(os.path.join(damaged, "setup.2"), "r+b") as f:
            data = bytearray(f.read())
            data[-5] ^= 0xFF  # inside the last stream, docs\guide.txt
            f.seek(0)
            f.write(data)
        dest = os.path.join(self.dir, "dest-damaged")
        p = self.unpack(dest, damaged)
        self.assertEqual(p.returncode, 4, p.stderr)  # LOADERKIT_E_DAMAGED
        self.assertIn(b"docs\\guide.txt", p.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(dest, "docs"))), ["empty.dat"])


if __name__ == "__main__":
    BUILD, KITPACK = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
