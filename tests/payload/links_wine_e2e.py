#!/usr/bin/env python3
"""The payload library under Wine against links in the destination: a
folder name that is a link to another user's folder is never written
through, whether it is planted before the unpack or swapped in while it
runs. The links are made on the host's side, as another process would.

usage: links_wine_e2e.py UNPACK_KIT_EXE WINE_RUN
"""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.kits import archive_of_files  # noqa: E402

PROBE = WINE_RUN = None
EXISTS = 7  # LOADERKIT_E_EXISTS


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Links(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="payload-links-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.kit = self.path("kit")
        os.makedirs(self.kit)
        files = [("README.txt", b"read me\n")]
        files += [("docs\\f%03d.txt" % i, b"kit data %d\n" % i) for i in range(150)]
        with open(os.path.join(self.kit, "setup.2"), "wb") as f:
            f.write(archive_of_files(files, zlib.compress))
        self.victim = self.path("victim")
        os.makedirs(self.victim)
        with open(os.path.join(self.victim, "guide.txt"), "wb") as f:
            f.write(b"the victim's own\n")

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def unpack(self, dest):
        p = subprocess.run([WINE_RUN, PROBE, windows_path(dest), windows_path(self.kit)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return p.returncode, p.stderr.decode(errors="replace")

    def assertVictimUntouched(self):
        self.assertEqual(sorted(os.listdir(self.victim)), ["guide.txt"])

    def test_planted_link_is_refused(self):
        dest = self.path("dest")
        os.makedirs(dest)
        os.symlink(self.victim, os.path.join(dest, "docs"))
        code, err = self.unpack(dest)
        self.assertEqual(code, EXISTS, err)
        self.assertIn("docs (not a folder, or a symlink)", err)
        self.assertVictimUntouched()
        # A link as the file's own name is not written through either.
        dest2 = self.path("dest2")
        os.makedirs(dest2)
        os.symlink(os.path.join(self.victim, "guide.txt"), os.path.join(dest2, "README.txt"))
        code, err = self.unpack(dest2)
        self.assertEqual(code, EXISTS, err)
        self.assertVictimUntouched()
        with open(os.path.join(self.victim, "guide.txt"), "rb") as f:
            self.assertEqual(f.read(), b"the victim's own\n")

    def test_folder_swapped_for_a_link_while_unpacking(self):
        libc = ctypes.CDLL(None, use_errno=True)
        exchange = 2  # RENAME_EXCHANGE
        runs = 12
        for run in range(runs):
            dest = self.path("race%d" % run)
            os.makedirs(os.path.join(dest, "docs"))
            os.symlink(self.victim, os.path.join(dest, "link"))
            stop = threading.Event()

            def flip():
                a, b = os.path.join(dest, "docs").encode(), os.path.join(dest, "link").encode()
                while not stop.is_set():
                    libc.renameat2(-100, a, -100, b, exchange)

            flipper = threading.Thread(target=flip)
            flipper.start()
            try:
                self.unpack(dest)
            finally:
                stop.set()
                flipper.join()
            self.assertVictimUntouched()


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    WINE_RUN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
