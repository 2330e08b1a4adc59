#!/usr/bin/env python3
"""kitpack build stopped by real signals in the middle of compressing: it
ends as the signal says and leaves no temporary file and no folder it made.

usage: interrupt_e2e.py [--runner WINE_RUN] KITPACK [TEST...]

With --runner, kitpack.exe runs under Wine, which turns SIGINT into the
console's Ctrl-C event: only SIGINT is sent, and kitpack.exe exits with 130.
(The `timeout` case is native only: Wine's start alone may take its second.)
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

KITPACK = None
RUNNER = []
PAYLOAD_MIB = 96  # random bytes: seconds of deflate on one thread


class Interrupted(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inputs = tempfile.mkdtemp(prefix="kitpack-interrupt-in-")
        with open(os.path.join(cls.inputs, "loader.exe"), "wb") as f:
            f.write(b"MZ" + os.urandom(4000))
        with open(os.path.join(cls.inputs, "setup.exe"), "wb") as f:
            f.write(b"MZ" + os.urandom(3000))
        os.makedirs(os.path.join(cls.inputs, "payload"))
        with open(os.path.join(cls.inputs, "payload", "big.bin"), "wb") as f:
            for _ in range(PAYLOAD_MIB):
                f.write(os.urandom(1 << 20))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.inputs)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-interrupt-out-")
        self.addCleanup(shutil.rmtree, self.dir)

    def interrupt(self, sig, out, *extra, watch=None):
        """Starts a build, waits until its temporary file has grown past the
        loader, sends `sig`; gives the exit status."""
        i = self.inputs
        p = subprocess.Popen([*RUNNER, KITPACK, "build", "--loader", os.path.join(i, "loader.exe"),
                              "--installer", os.path.join(i, "setup.exe"),
                              "--payload", os.path.join(i, "payload"), "--threads", "1",
                              "-o", out, *extra],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        watch = watch or self.dir
        deadline = time.monotonic() + 60  # Wine may first set up its prefix
        while time.monotonic() < deadline and p.poll() is None:
            temps = []
            if os.path.isdir(watch):
                temps = [n for n in os.listdir(watch) if ".tmp-" in n]
            if any(os.path.getsize(os.path.join(watch, n)) > 100000 for n in temps
                   if os.path.exists(os.path.join(watch, n))):
                break
            time.sleep(0.02)
        self.assertIsNone(p.poll(), "the build ended before it could be interrupted")
        p.send_signal(sig)
        p.communicate(timeout=60)
        return p.returncode

    def signals(self):
        if RUNNER:
            return [signal.SIGINT]
        return [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]

    def expected(self, sig):
        # Natively the process ends by the signal itself; kitpack.exe by
        # exiting with 130 once it has cleaned up.
        return 130 if RUNNER else -sig

    def test_self_extracting_kit(self):
        for sig in self.signals():
            with self.subTest(sig.name):
                code = self.interrupt(sig, os.path.join(self.dir, "kit.exe"))
                self.assertEqual(code, self.expected(sig))
                self.assertEqual(os.listdir(self.dir), [])

    def test_external_kit_into_a_new_and_an_existing_folder(self):
        for sig in self.signals():
            with self.subTest(sig.name):
                new = os.path.join(self.dir, "new", "kit")
                os.makedirs(os.path.dirname(new), exist_ok=True)
                self.assertEqual(self.interrupt(sig, new, "--external", watch=new),
                                 self.expected(sig))
                self.assertEqual(os.listdir(os.path.dirname(new)), [])

                old = os.path.join(self.dir, "old")
                os.makedirs(old, exist_ok=True)
                with open(os.path.join(old, "keep.txt"), "w") as f:
                    f.write("mine")
                self.assertEqual(self.interrupt(sig, old, "--external", watch=old),
                                 self.expected(sig))
                self.assertEqual(os.listdir(old), ["keep.txt"])

    def test_timeout_s_int_leaves_nothing(self):
        # As `timeout -s INT` and a shell see it.
        i = self.inputs
        p = subprocess.run(["sh", "-c", 'timeout -s INT 1 "$@"; echo "status $?"', "sh", KITPACK,
                            "build", "--loader", os.path.join(i, "loader.exe"),
                            "--installer", os.path.join(i, "setup.exe"),
                            "--payload", os.path.join(i, "payload"), "--threads", "1",
                            "-o", os.path.join(self.dir, "kit.exe")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertIn(b"status 124", p.stdout)  # timeout's own code for "it timed out"
        self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    if sys.argv[1] == "--runner":
        RUNNER = [sys.argv[2]]
        del sys.argv[1:3]
    KITPACK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
