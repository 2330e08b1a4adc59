#!/usr/bin/env python3
"""Signed kits under Wine: the real loader.exe finds its archive in a kit
that osslsigncode signed (once with SHA-256, then nested with SHA-1), and the
reference installer it starts finds the second archive and installs it. The
certificates are made for the run with openssl and thrown away.

usage: signed_kit_e2e.py --installer INSTALLER.EXE --loader LOADER.EXE --wine WINE_RUN
                         [--kitpack HOST_KITPACK]
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.kits import archive_of_files, write_kit  # noqa: E402
from ldkit.signing import make_certificate  # noqa: E402

INSTALLER = LOADER = WINE = KITPACK = None
PAYLOAD = {
    "README.txt": b"read me\n",
    "docs\\guide.txt": b"guide " * 3000,
    "data\\sample.csv": b"id,name\n1,widget\n",
}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class SignedKitsUnderWine(unittest.TestCase):
    def setUp(self):
        for tool in ("osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                self.fail("%s is missing: scripts/setup.sh installs it" % tool)
        self.dir = tempfile.mkdtemp(prefix="signed kit ")  # a blank, as in the kits users download
        self.addCleanup(shutil.rmtree, self.dir)
        self.cert, self.key = make_certificate(self.dir, "signer")
        self.payload = os.path.join(self.dir, "payload")
        for name, data in PAYLOAD.items():
            path = os.path.join(self.payload, *name.split("\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def run_tool(self, *args, ok=True):
        p = subprocess.run(list(args), cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if ok:
            self.assertEqual(p.returncode, 0, (p.stdout + p.stderr).decode("latin-1"))
        return p

    def sign(self, source, target, digest, *extra):
        self.run_tool("osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-h", digest, *extra,
                      "-in", source, "-out", target)

    def verify(self, kit, ok=True):
        return self.run_tool("osslsigncode", "verify", "-CAfile", self.cert, "-in", kit, ok=ok)

    def run_chain(self, loader, dest):
        """The loader under Wine, then the installer it starts, which writes
        install.log into dest when it is done."""
        env = dict(os.environ, KIT_INSTALL_DEST=windows_path(dest))
        p = subprocess.run([WINE, loader], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(p.returncode, 0, (p.stdout + p.stderr).decode("latin-1"))
        log = os.path.join(dest, "install.log")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if os.path.exists(log):
                with open(log, "rb") as f:
                    if b"done:" in f.read():
                        break
            time.sleep(0.1)
        for name, data in PAYLOAD.items():
            with open(os.path.join(dest, *name.split("\\")), "rb") as f:
                self.assertEqual(f.read(), data, name)
        with open(log, "rb") as f:
            self.assertIn(b"done: 3 file(s)", f.read())

    def test_kit_signed_and_dual_signed_by_osslsigncode_installs(self):
        if not KITPACK or not os.path.isfile(KITPACK):
            why = "no host kitpack at %r: build the native preset first" % KITPACK
            if os.environ.get("LOADERKIT_NO_SKIPS") == "1":
                self.fail(why)
            self.skipTest(why)
        os.makedirs(self.path("kit"))
        kit = self.path("kit", "setup.exe")
        self.run_tool(KITPACK, "build", "--loader", LOADER, "--installer", INSTALLER, "--payload", self.payload,
                      "-o", self.path("unsigned.exe"))
        command = "osslsigncode sign -certs '%s' -key '%s' -h sha256 -in {} -out {out}" % (self.cert, self.key)
        self.run_tool(KITPACK, "build", "--loader", LOADER, "--installer", INSTALLER, "--payload", self.payload,
                      "-o", kit, "--sign-command", command)
        self.verify(kit)
        self.assertIn(b"signature: signed", self.run_tool(KITPACK, "verify", kit).stdout)
        self.run_chain(kit, self.path("installed-sha256"))

        os.makedirs(self.path("dual"))
        dual = self.path("dual", "setup.exe")
        self.sign(kit, dual, "sha1", "-nest")
        self.assertIn(b"Number of verified signatures: 2", self.verify(dual).stdout)
        self.assertIn(b"signature: signed", self.run_tool(KITPACK, "verify", dual).stdout)
        self.run_chain(dual, self.path("installed-dual"))
        print("kit sizes: unsigned %d, signed (SHA-256) %d, dual-signed %d bytes" % (
            os.path.getsize(self.path("unsigned.exe")), os.path.getsize(kit), os.path.getsize(dual)),
            file=sys.stderr)

        # One flipped byte of the payload archive breaks the signature.
        listing = json.loads(self.run_tool(KITPACK, "list", "--json", dual).stdout)
        second = listing["archives"][1]
        with open(dual, "rb") as f:
            raw = bytearray(f.read())
        raw[(second["start"] + second["end"]) // 2] ^= 0x01
        with open(self.path("flipped.exe"), "wb") as f:
            f.write(raw)
        self.assertNotEqual(self.verify(self.path("flipped.exe"), ok=False).returncode, 0)

    def test_kit_that_needed_padding_before_its_table_installs(self):
        """A kit written without kitpack, its length not a multiple of 8:
        osslsigncode puts zero bytes between trailer and table."""
        with open(LOADER, "rb") as f:
            loader = f.read()
        with open(INSTALLER, "rb") as f:
            first = [("C:\\KIT\\installer.exe", f.read())]
        second = sorted(PAYLOAD.items())
        os.makedirs(self.path("kit"))
        kit = self.path("kit", "setup.exe")
        for pad in range(8):
            write_kit(self.path("unsigned.exe"), loader + bytes(pad), first, second, zlib.compress)
            if os.path.getsize(self.path("unsigned.exe")) % 8 != 0:
                break
        self.sign(self.path("unsigned.exe"), kit, "sha256")
        self.verify(kit)
        self.run_chain(kit, self.path("installed"))

    def test_signed_bare_loader_beside_setup1(self):
        """A vendor signs loader.exe itself and ships setup.1 and setup.2
        beside it: the signed loader still reads as an external kit."""
        os.makedirs(self.path("ext"))
        loader = self.path("ext", "setup.exe")
        self.sign(LOADER, loader, "sha256")
        self.verify(loader)
        with open(INSTALLER, "rb") as f:
            first = [("C:\\KIT\\installer.exe", f.read())]
        for name, files in (("setup.1", first), ("setup.2", sorted(PAYLOAD.items()))):
            with open(self.path("ext", name), "wb") as f:
                f.write(archive_of_files(files, zlib.compress))
        self.run_chain(loader, self.path("installed"))


if __name__ == "__main__":
    args = sys.argv[1:]
    while args and args[0].startswith("--"):
        opt, value = args.pop(0), args.pop(0)
        if opt == "--installer":
            INSTALLER = os.path.abspath(value)
        elif opt == "--loader":
            LOADER = os.path.abspath(value)
        elif opt == "--wine":
            WINE = os.path.abspath(value)
        elif opt == "--kitpack":
            KITPACK = os.path.abspath(value)
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)
