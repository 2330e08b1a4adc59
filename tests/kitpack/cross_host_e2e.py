#!/usr/bin/env python3
"""kitpack on Linux and kitpack.exe under Wine side by side: the same inputs
give byte-identical kits, and each reads, verifies and extracts the other's.

usage: cross_host_e2e.py NATIVE_KITPACK KITPACK_EXE WINE_RUN LOADER_EXE INSTALLER_EXE
"""

import filecmp
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

NATIVE = WINDOWS = WINE = LOADER = INSTALLER = None

PAYLOAD = {
    # Names whose order differs between a byte sort of "/"-joined paths and
    # the order a host lists a folder in.
    "a-b": b"dash",
    "a.txt": b"dot",
    "a/c": b"below a",
    "a/z/deep.bin": bytes(70000),
    "B/upper.txt": b"capital",
    "_under": b"",
    "\u00dcbersicht.txt": "\u00dcbersicht \u2013 UTF-8".encode(),
    "docs/\u65e5\u672c\u8a9e.txt": b"cjk",
    "docs/guide.txt": b"guide " * 5000,
}


def name_text(name):
    """A stored name from `list --json`: UTF-8 whether it arrives as text or
    escaped byte by byte."""
    try:
        return name.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return name


def windows_path(path):
    """The Windows spelling of a POSIX path under Wine: drive Z, backslashes."""
    return "Z:" + path.replace("/", "\\")


class CrossHost(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-cross-")
        self.addCleanup(shutil.rmtree, self.dir)
        rnd = random.Random(14)
        # Over 8 MiB, so that it is cut into pieces compressed in parallel.
        big = b"".join(rnd.choice([b"kit ", b"loader ", bytes(rnd.getrandbits(8) for _ in range(16))])
                       for _ in range(1100000))
        assert len(big) > 8 << 20
        files = dict(PAYLOAD, **{"data/big.bin": big})
        for rel, data in files.items():
            self.write("payload/" + rel, data)
        self.write("helper \u00e9.dll", b"helper" * 1000)
        shutil.copy(INSTALLER, self.path("installer.exe"))
        # Times with odd seconds: the record's time must come out the same
        # from both hosts' views of one modification time.
        for i, rel in enumerate(sorted(files)):
            os.utime(self.path("payload/" + rel), (1600000000 + 7 * i, 1600000001 + 7 * i))
        os.utime(self.path("installer.exe"), (1500000000, 1500000003))
        os.utime(self.path("helper \u00e9.dll"), (1500000000, 1234567891))

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), "wb") as f:
            f.write(data)

    def run_tool(self, windows, *args, env=None, ok=True):
        command = [WINE, WINDOWS] if windows else [NATIVE]
        p = subprocess.run(command + list(args), cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           env=dict(os.environ, **(env or {})), timeout=300)
        if ok:
            self.assertEqual(p.returncode, 0, (p.stdout + p.stderr).decode(errors="replace"))
        return p

    def build(self, windows, output, *extra, env=None):
        """The same kit from either host, each given its own spelling of the paths."""
        p = (lambda rel: windows_path(self.path(rel))) if windows else self.path
        return self.run_tool(windows, "build", "--loader", windows_path(LOADER) if windows else LOADER,
                             "--installer", p("installer.exe"),
                             "--file", p("helper \u00e9.dll") + "=D:\\app\\helper \u00e9.dll",
                             "--payload", p("payload"), "--threads", "4", "-o", p(output), *extra, env=env)

    def assert_same_bytes(self, a, b):
        with open(self.path(a), "rb") as fa, open(self.path(b), "rb") as fb:
            self.assertTrue(fa.read() == fb.read(), "%s and %s differ" % (a, b))

    def test_same_inputs_give_identical_kits(self):
        epoch = {"SOURCE_DATE_EPOCH": "1700000000"}
        self.build(False, "linux.exe", env=epoch)
        self.build(True, "windows.exe", env=epoch)
        self.assert_same_bytes("linux.exe", "windows.exe")
        # The files' own times, as each host reads them.
        self.build(False, "linux-mtime.exe")
        self.build(True, "windows-mtime.exe")
        self.assert_same_bytes("linux-mtime.exe", "windows-mtime.exe")
        # External kits: setup.1, setup.2 and the loader's copy.
        self.build(False, "ext-linux", "--external", env=epoch)
        self.build(True, "ext-windows", "--external", env=epoch)
        self.assertEqual(sorted(os.listdir(self.path("ext-linux"))), ["loader.exe", "setup.1", "setup.2"])
        for name in ("loader.exe", "setup.1", "setup.2"):
            self.assert_same_bytes("ext-linux/" + name, "ext-windows/" + name)

    def test_each_reads_verifies_and_extracts_the_others_kits(self):
        self.build(False, "linux.exe")
        self.build(True, "windows.exe")
        for windows, kit in ((True, "linux.exe"), (False, "windows.exe")):
            with self.subTest(reader="kitpack.exe" if windows else "kitpack", kit=kit):
                shown = windows_path(self.path(kit)) if windows else self.path(kit)
                listing = json.loads(self.run_tool(windows, "list", shown, "--json").stdout)
                own = json.loads(self.run_tool(not windows, "list",
                                               self.path(kit) if windows else windows_path(self.path(kit)),
                                               "--json").stdout)
                for a, b in zip(listing["archives"], own["archives"]):
                    self.assertEqual(a["entries"], b["entries"])
                names = [name_text(e["stored_name"]) for e in listing["archives"][1]["entries"]]
                self.assertIn("docs\\\u65e5\u672c\u8a9e.txt", names)
                self.assertEqual(names, sorted(names, key=lambda n: n.replace("\\", "/").encode()))
                self.assertIn(b"OK", self.run_tool(windows, "verify", shown).stdout)
                table = self.run_tool(windows, "list", shown).stdout.decode()
                self.assertIn("D:\\app\\helper \u00e9.dll", table)
                for second, dest in ((False, "x1-" + kit), (True, "x2-" + kit)):
                    target = windows_path(self.path(dest)) if windows else self.path(dest)
                    self.run_tool(windows, "extract", shown, *(["--second"] if second else []), "-C", target)
                self.assertEqual(sorted(os.listdir(self.path("x1-" + kit))), ["helper \u00e9.dll", "installer.exe"])
                compare = filecmp.dircmp(self.path("payload"), self.path("x2-" + kit))
                self.assert_tree_equal(compare)

    def assert_tree_equal(self, compare):
        self.assertEqual((compare.left_only, compare.right_only, compare.diff_files), ([], [], []), compare.right)
        _, mismatch, errors = filecmp.cmpfiles(compare.left, compare.right, compare.common_files, shallow=False)
        self.assertEqual((mismatch, errors), ([], []))
        for sub in compare.subdirs.values():
            self.assert_tree_equal(sub)

    def test_messages_and_exit_codes_agree(self):
        cases = [
            ("build", "--loader", "loader-missing.exe", "--installer", "installer.exe", "-o", "k.exe"),
            ("verify", "installer.exe"),
            ("list", "nowhere.exe"),
            ("build", "--installer", "installer.exe", "--level", "13", "-o", "k.exe"),
        ]
        for args in cases:
            with self.subTest(args=args):
                native = self.run_tool(False, *args, ok=False)
                windows = self.run_tool(True, *args, ok=False)
                self.assertEqual(native.returncode, windows.returncode)
                self.assertNotEqual(native.returncode, 0)
                # The system's own reason differs by host, and Windows ends
                # lines with CR LF; kitpack's words do not differ.
                first = native.stderr.decode().split(":")[:3]
                self.assertEqual(first, windows.stderr.decode().replace("\r\n", "\n").split(":")[:3])


if __name__ == "__main__":
    NATIVE, WINDOWS, WINE, LOADER, INSTALLER = (os.path.abspath(a) for a in sys.argv[1:6])
    del sys.argv[1:6]
    if not os.path.isfile(NATIVE):
        sys.exit("cross_host_e2e: no native kitpack at %s: build the native preset first" % NATIVE)
    unittest.main(verbosity=2)
