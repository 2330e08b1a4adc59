"""End-to-end runs of kits that carry the deployment record, as a deployment
tool runs them: kits built by kitpack around the real POSIX loader, an
installer script that records its arguments and ends with a chosen exit
code, switches on the command line, the exit code read back.

Environment: E2E_LOADER (the POSIX loader), E2E_KITPACK, E2E_SCRATCH.
"""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.e2e import CAPTION, make_scratch, remove_scratch  # noqa: E402

LOADER = os.environ.get("E2E_LOADER", "")
KITPACK = os.environ.get("E2E_KITPACK", "")
TIMEOUT = 60

INSTALLER = """#!/bin/sh
printf '%s\\n' "$@" > "$RECORD"
echo "waits=$LOADERKIT_LOADER_WAITS" >> "$RECORD"
sleep "${DELAY:-0}"
exit "${CODE:-0}"
"""


class DeployCase(unittest.TestCase):
    def setUp(self):
        if not (os.path.isfile(LOADER) and os.path.isfile(KITPACK)):
            self.skipTest("E2E_LOADER and E2E_KITPACK must name the built programs")
        self.scratch = make_scratch("ldr-deploy-")
        self.addCleanup(remove_scratch, self.scratch)
        self.tmp = os.path.join(self.scratch, "tmp")
        os.mkdir(self.tmp, 0o700)
        self.record = os.path.join(self.scratch, "record.txt")

    def build(self, *extra, name="setup"):
        installer = os.path.join(self.scratch, "install.sh")
        with open(installer, "w") as f:
            f.write(INSTALLER)
        os.chmod(installer, 0o755)
        payload = os.path.join(self.scratch, "payload")
        os.makedirs(os.path.join(payload, "docs", "deep"), exist_ok=True)
        with open(os.path.join(payload, "readme.txt"), "w") as f:
            f.write("read me\n")
        with open(os.path.join(payload, "docs", "deep", "guide.txt"), "w") as f:
            f.write("guide\n" * 100)
        kit = os.path.join(self.scratch, name)
        subprocess.run([KITPACK, "build", "-q", "--loader", LOADER, "--installer", installer,
                        "--payload", payload, "-o", kit, *extra], check=True, timeout=TIMEOUT)
        return kit

    def run_kit(self, kit, *args, code=0, delay=0, tmp=None):
        env = {"PATH": "/usr/bin:/bin", "TMPDIR": tmp or self.tmp, "RECORD": self.record,
               "CODE": str(code), "DELAY": str(delay)}
        started = time.monotonic()
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([kit, *args], env=env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=err, timeout=TIMEOUT)
            out.seek(0)
            err.seek(0)
            proc.out, proc.err = out.read().decode(), err.read().decode()
        proc.seconds = time.monotonic() - started
        return proc

    def handed(self, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.record):
                with open(self.record) as f:
                    lines = f.read().split("\n")
                if lines and lines[-1] == "" and any(x.startswith("waits=") for x in lines):
                    return lines[:-1]
            time.sleep(0.02)
        return None

    def left_in_tmp(self):
        return sorted(os.listdir(self.tmp))


class ExitCodes(DeployCase):
    def test_wait_hands_back_the_installers_code_and_leaves_nothing(self):
        kit = self.build()
        for code in (0, 3010, 1603):  # POSIX: the status, 8 bits of it
            with self.subTest(code=code):
                proc = self.run_kit(kit, "/WAIT", code=code, delay=1)
                self.assertEqual(proc.returncode, code % 256, proc.err)
                self.assertGreaterEqual(proc.seconds, 1)
                self.assertEqual(self.handed()[-1], "waits=1")
                self.assertEqual(self.left_in_tmp(), [])
                os.remove(self.record)

    def test_without_wait_the_loader_exits_at_once_with_zero(self):
        kit = self.build()
        proc = self.run_kit(kit, code=1603, delay=3)
        self.assertEqual(proc.returncode, 0, proc.err)
        self.assertLess(proc.seconds, 2.5)
        self.assertEqual(self.handed()[-1], "waits=")

    def test_an_unknown_switch_starts_nothing(self):
        kit = self.build()
        proc = self.run_kit(kit, "/VERYSILENT")
        self.assertEqual(proc.returncode, 240)
        self.assertIn("/VERYSILENT, which is not one of this program's switches", proc.err)
        self.assertIsNone(self.handed(timeout=1))
        self.assertEqual(self.left_in_tmp(), [])

    def test_a_kit_without_the_record_ignores_the_switches(self):
        kit = self.build("--no-deployment")
        proc = self.run_kit(kit, "/WAIT", "/VERYSILENT", code=5)
        self.assertEqual(proc.returncode, 0, proc.err)
        self.assertEqual(self.handed()[:2], ["*SELFEXTRACT", "setup"])


class Switches(DeployCase):
    def test_arguments_after_the_separator_reach_the_installer(self):
        kit = self.build()
        proc = self.run_kit(kit, "/WAIT", "--", "/quiet", "a b", "x&y")
        self.assertEqual(proc.returncode, 0, proc.err)
        self.assertEqual(self.handed()[:6], ["*SELFEXTRACT", "setup", self.scratch, "/quiet",
                                             "a b", "x&y"])

    def test_log_tells_each_step(self):
        kit = self.build()
        log = os.path.join(self.scratch, "run.log")
        proc = self.run_kit(kit, "/S", "/WAIT", "/LOG=" + log, code=67)
        self.assertEqual(proc.returncode, 67, proc.err)
        with open(log) as f:
            text = f.read()
        for piece in ("loader " + kit, "free space in ", "working folder ", "unpacking ",
                      "install.sh", "starting ", "the installer ended with exit code 67",
                      "removed ", "done, exit code 67 (the installer's)"):
            self.assertIn(piece, text)
        # A second run appends.
        self.run_kit(kit, "/S", "/LOG=" + log, "/bogus")
        with open(log) as f:
            again = f.read()
        self.assertTrue(again.startswith(text))
        self.assertIn("failed with exit code 240", again)

    def test_a_log_that_cannot_be_written_is_an_error_first(self):
        kit = self.build()
        proc = self.run_kit(kit, "/LOG=" + os.path.join(self.scratch, "no", "such", "x.log"))
        self.assertEqual(proc.returncode, 241)
        self.assertIsNone(self.handed(timeout=1))

    def test_extract_unpacks_both_archives_and_starts_nothing(self):
        kit = self.build()
        out = os.path.join(self.scratch, "out")
        proc = self.run_kit(kit, "/EXTRACT=" + out)
        self.assertEqual(proc.returncode, 0, proc.err)
        found = sorted(os.path.relpath(os.path.join(d, f), out)
                       for d, _, files in os.walk(out) for f in files)
        self.assertEqual(found, ["install.sh", "payload/docs/deep/guide.txt",
                                 "payload/readme.txt"])
        self.assertIsNone(self.handed(timeout=1))
        # A folder that is not empty is refused.
        proc = self.run_kit(kit, "/EXTRACT=" + out)
        self.assertEqual(proc.returncode, 246)

    def test_temp_puts_the_working_folder_elsewhere(self):
        kit = self.build()
        other = os.path.join(self.scratch, "other")
        os.mkdir(other, 0o700)
        proc = self.run_kit(kit, "/TEMP=" + other, "/WAIT", "/KEEP")
        self.assertEqual(proc.returncode, 0, proc.err)
        self.assertEqual(self.left_in_tmp(), [])
        self.assertEqual(len([n for n in os.listdir(other) if n.startswith("ldx")]), 2)


class DamagedKits(DeployCase):
    def test_a_kit_cut_short_says_download_again(self):
        kit = self.build()
        with open(kit, "rb") as f:
            whole = f.read()
        # Half of what follows the loader's image: a cut into the image
        # itself leaves no program the system can start at all.
        image = os.path.getsize(LOADER)
        for keep in (len(whole) - 1, image + (len(whole) - image) // 2):
            with self.subTest(keep=keep):
                with open(kit, "wb") as f:
                    f.write(whole[:keep])
                proc = self.run_kit(kit, "/WAIT")
                self.assertEqual(proc.returncode, 242)
                self.assertEqual(proc.err, "%s\nLOADER: The installation kit %s is incomplete or "
                                 "damaged: it should be %d bytes long and is %d bytes. Download "
                                 "it again\n" % (CAPTION, kit, len(whole), keep))
                self.assertEqual(self.left_in_tmp(), [])

    def test_a_changed_setup1_is_refused_before_it_is_read(self):
        # The loader's copy holds setup.1's SHA-256 in its record: another
        # setup.1 of the same length (an attacker's, beside a signed loader)
        # is refused, and nothing is unpacked or started.
        kit = self.build("--external", name="ext")
        setup1 = os.path.join(kit, "setup.1")
        with open(setup1, "rb") as f:
            genuine = f.read()
        changed = bytearray(genuine)
        changed[-1] ^= 0x01
        with open(setup1, "wb") as f:
            f.write(changed)
        loader = os.path.join(kit, os.path.basename(LOADER))
        proc = self.run_kit(loader, "/WAIT")
        self.assertEqual(proc.returncode, 242)
        self.assertEqual(proc.err, "%s\nLOADER: The file %s is not the one this installation kit "
                         "was built with. Download the installation kit again\n"
                         % (CAPTION, setup1))
        self.assertFalse(os.path.exists(self.record))
        self.assertEqual(self.left_in_tmp(), [])
        # The genuine one still installs.
        with open(setup1, "wb") as f:
            f.write(genuine)
        self.assertEqual(self.run_kit(loader, "/WAIT").returncode, 0)

    def test_a_damaged_last_entry_leaves_nothing(self):
        kit = self.build("--file", LOADER)
        info = subprocess.run([KITPACK, "list", "--json", kit], check=True, timeout=TIMEOUT,
                              stdout=subprocess.PIPE).stdout.decode()

        first = json.loads(info)["archives"][0]
        last = first["entries"][-1]
        at = first["start"] + (last["data_start"] + last["data_end"]) // 2
        with open(kit, "r+b") as f:
            f.seek(at)
            byte = f.read(1)
            f.seek(at)
            f.write(bytes([byte[0] ^ 0xFF]))
        proc = self.run_kit(kit, "/S", "/WAIT")
        self.assertEqual(proc.returncode, 244)
        self.assertEqual(proc.err, "")
        self.assertEqual(self.left_in_tmp(), [])


if __name__ == "__main__":
    unittest.main()
