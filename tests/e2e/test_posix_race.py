"""A race over the temporary folder with a second, unprivileged user. While
the loader runs again and again, the other user points links on the path of
TMPDIR back and forth between a private folder of the victim and a folder of
their own, and exchanges (RENAME_EXCHANGE) any folder the loader makes in
theirs with one holding their own program under the installer's name. Their
program must never run. The victim is the user running the tests.

Environment as for test_loader_run.py (E2E_HOST=posix); needs root, setpriv and useradd.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import kits  # noqa: E402
from ldkit.e2e import CAPTION, read_bytes, read_record  # noqa: E402
from ldkit.hosts import PROBE, LoaderCase, PosixRun as Run  # noqa: E402
from ldkit.users import second_user  # noqa: E402


def probe_entry():
    return kits.Entry(b"C:\\Program Files\\Product\\install", read_bytes(PROBE))

# Per scenario: the loader runs this often, or for this long (seconds).
RUNS = 600
SECONDS = 35

# What the other user runs, as that user: "links" or "theirs-in-the-middle"
# points the link back and forth, "exchange" swaps every folder the loader
# makes in their folder with one of theirs.
ATTACKER = r'''
import ctypes, os, sys, time
mode, root = sys.argv[1], sys.argv[2]
private, theirs, stop = (os.path.join(root, n) for n in ("private", "theirs", "stop"))
libc = ctypes.CDLL(None, use_errno=True)

def exchange(a, b):
    return libc.renameat2(-100, a.encode(), -100, b.encode(), 2) == 0  # RENAME_EXCHANGE

def running():
    return not os.path.exists(stop) and time.monotonic() < deadline

deadline = time.monotonic() + 150
if mode == "links":
    # Their own link in the sticky folder, replaced in one step each time.
    link, spare = os.path.join(root, "sticky", "tmp"), os.path.join(root, "sticky", ".spare")
    while running():
        for target in (private, theirs):
            os.symlink(target, spare)
            os.rename(spare, link)
            time.sleep(0.0003)
elif mode == "theirs-in-the-middle":
    # The victim's own link lies in their folder: swapped with one of theirs.
    link, spare = os.path.join(root, "their-folder", "tmp"), os.path.join(root, "their-folder", ".spare")
    os.symlink(theirs, spare)
    while running():
        exchange(link, spare)
        time.sleep(0.0003)
elif mode == "exchange":
    program = b"#!/bin/sh\nid -u > %s/ran-$$\n" % os.path.join(root, "ran").encode()
    seen = set()
    while running():
        for name in os.listdir(theirs):
            path = os.path.join(theirs, name)
            if name.startswith(".") or name in seen or not os.path.isdir(path):
                continue
            seen.add(name)
            twin = os.path.join(theirs, ".twin-" + name)
            os.mkdir(twin)
            with open(os.path.join(twin, "install"), "wb") as f:
                f.write(program)
            os.chmod(os.path.join(twin, "install"), 0o755)
            end = time.monotonic() + 0.3
            while time.monotonic() < end:
                exchange(path, twin)
        time.sleep(0.001)
'''


class TemporaryFolderRace(LoaderCase):
    @classmethod
    def setUpClass(cls):
        cls.uid, cls.gid = second_user()

    def setUp(self):
        super().setUp()
        # Below /tmp, where the other user can reach it.
        self.root = tempfile.mkdtemp(prefix="ldx-e2e-race-", dir="/tmp")
        self.addCleanup(shutil.rmtree, self.root, True)
        os.chmod(self.root, 0o755)
        self.private = self.shared_folder("private", 0o700, 0)
        self.theirs = self.shared_folder("theirs", 0o755, self.uid)
        self.ran = self.shared_folder("ran", 0o1777, 0)
        self.kit = self.external("kit", [probe_entry()])
        self.attackers = []

    def shared_folder(self, name, mode, owner):
        path = os.path.join(self.root, name)
        os.mkdir(path)
        os.chown(path, owner, self.gid if owner else 0)
        os.chmod(path, mode)
        return path

    def attack(self, *modes):
        for mode in modes:
            proc = subprocess.Popen(
                ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups",
                 "--", sys.executable, "-c", ATTACKER, mode, self.root])
            self.attackers.append(proc)
            self.addCleanup(proc.kill)
        time.sleep(0.3)  # their loops are up

    def stop_attack(self):
        with open(os.path.join(self.root, "stop"), "w"):
            pass
        for proc in self.attackers:
            self.assertEqual(proc.wait(timeout=30), 0, "an attacker loop failed")

    def race(self, tmp):
        """Runs the loader until RUNS or SECONDS are used up; gives how many
        runs started the installer and how many were refused."""
        unsafe = ("LOADER: Other users can change the temporary directory %s/. Set TMPDIR to a "
                  "directory that only you can write to" % tmp)
        private = os.path.realpath(self.private)
        started = refused = 0
        strays = []  # runs that ended any other way
        deadline = time.monotonic() + SECONDS
        for _ in range(RUNS):
            if time.monotonic() > deadline:
                break
            run = Run(self, self.kit.loader_path, (), tmp, record=False)
            if (run.code, run.stderr) == (0, ""):
                record = run.record or read_record(run.record_path, 5, decode=os.fsdecode)
                # The file that ran must be the one written in the private
                # folder, whatever the link named by then.
                ran = record and os.path.dirname(os.path.dirname(record.path))
                if ran == private:
                    started += 1
                else:
                    strays.append("started, but not the installer in the private folder: %s"
                                  % (record.path if record else "no record"))
            elif (run.code, run.stderr, run.stdout) == (1, CAPTION + "\n" + unsafe + "\n", ""):
                refused += 1
            else:
                strays.append("exit code %d: %s" % (run.code, run.stderr.strip()))
        self.stop_attack()
        print("\n%s: %d started, %d refused, %d otherwise"
              % (self.id(), started, refused, len(strays)), file=sys.stderr)
        self.assertEqual(os.listdir(self.ran), [], "the other user's program ran")
        self.assertEqual(strays, [])
        # Nothing of the victim's was ever made in their folder.
        for name in os.listdir(self.theirs):
            self.assertNotEqual(os.lstat(os.path.join(self.theirs, name)).st_uid, os.geteuid(),
                                name)
        return started, refused

    def test_their_link_in_a_sticky_folder(self):
        """Their link in a sticky folder like /tmp, pointing at the victim's
        private folder about half the time: refused every time."""
        self.shared_folder("sticky", 0o1777, 0)
        self.attack("links", "exchange")
        started, refused = self.race(os.path.join(self.root, "sticky", "tmp"))
        self.assertEqual(started, 0)
        self.assertGreater(refused, 0)

    def test_the_victims_link_in_a_folder_of_theirs(self):
        """The victim's own link to a private folder lies in a folder of
        theirs, and they swap it with a link of their own: a run that read
        the victim's link works in the private folder throughout, and starts
        the installer written there."""
        folder = os.path.join(self.root, "their-folder")
        os.mkdir(folder)
        os.symlink(self.private, os.path.join(folder, "tmp"))
        os.chown(folder, self.uid, self.gid)
        self.attack("theirs-in-the-middle", "exchange")
        started, _ = self.race(os.path.join(folder, "tmp"))
        self.assertGreater(started, 0)


if __name__ == "__main__":
    unittest.main()
