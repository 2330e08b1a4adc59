#!/usr/bin/env python3
"""The reference installer run as the loader would run it, in its three
command-line forms, against kits built by kitpack (natively) or written here
(for the Windows build under Wine).

usage: installer_e2e.py INSTALLER [--kitpack KITPACK [--loader LOADER]] [--wine WINE_RUN]
"""

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

INSTALLER = KITPACK = WINE = LOADER = PROBE = None
# The kitpack that builds kits with the deployment record on this host: the
# native one, also for the Windows build's tests (KITPACK stays unset there).
HOST_KITPACK = None
PAYLOAD = {
    "README.txt": b"read me\n",
    "docs\\guide.txt": b"guide " * 3000,
    "docs\\deep\\empty.dat": b"",
    "data\\sample.csv": b"id,name\n1,widget\n",
}


def host_path(path):
    """The path as the installer under test sees it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


class Installer(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="installer e2e ")  # a blank, as WinExec would split it
        self.addCleanup(shutil.rmtree, self.dir)
        self.kits = os.path.join(self.dir, "kits")
        os.makedirs(self.kits)
        self.make_kits(PAYLOAD)

    def make_kits(self, payload):
        first = [("C:\\KIT\\installer.exe", b"MZ-not-run-here")]
        second = sorted(payload.items())
        loader = b"LOADERIMAGE" * 200
        if KITPACK:
            src = os.path.join(self.dir, "payload")
            for name, data in payload.items():
                path = os.path.join(src, *name.split("\\"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(data)
            with open(os.path.join(self.dir, "loader.exe"), "wb") as f:
                f.write(loader)
            subprocess.run([KITPACK, "build", "--loader", os.path.join(self.dir, "loader.exe"),
                            "--installer", INSTALLER + "=C:\\KIT\\installer.exe", "--payload", src,
                            "-o", os.path.join(self.kits, "setup.exe")], check=True, stdout=subprocess.DEVNULL)
            os.makedirs(os.path.join(self.kits, "ext"))
            subprocess.run([KITPACK, "build", "--loader", os.path.join(self.dir, "loader.exe"),
                            "--installer", INSTALLER, "--payload", src, "--external",
                            "-o", os.path.join(self.kits, "ext")], check=True, stdout=subprocess.DEVNULL)
        else:
            write_kit(os.path.join(self.kits, "setup.exe"), loader, first, second, zlib.compress)
            os.makedirs(os.path.join(self.kits, "ext"))
            with open(os.path.join(self.kits, "ext", "loader.exe"), "wb") as f:
                f.write(loader)
            for name, files in (("setup.1", first), ("setup.2", second)):
                with open(os.path.join(self.kits, "ext", name), "wb") as f:
                    f.write(archive_of_files(files, zlib.compress))

    def run_installer(self, *args, dest=None, env=None, split=False):
        # The loader quotes a name or folder holding a blank, so each arrives
        # as one argument; loaders before that quoted nothing, and the pieces
        # arrived split at every blank (split=True).
        argv = [a for arg in args for a in arg.split(" ")] if split else list(args)
        if dest:
            argv = ["--dest", host_path(dest)] + argv
        cmd = ([WINE] if WINE else []) + [INSTALLER] + argv
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, **(env or {})), timeout=120)

    def assert_installed(self, dest):
        for name, data in PAYLOAD.items():
            with open(os.path.join(dest, *name.split("\\")), "rb") as f:
                self.assertEqual(f.read(), data, name)
        with open(os.path.join(dest, "install.log"), "rb") as f:
            log = f.read().decode("latin-1")
        self.assertIn("done: 4 file(s)", log)
        self.assertIn("guide.txt", log)

    def test_three_command_line_forms(self):
        forms = [
            ("selfextract", ["*SELFEXTRACT", "setup.exe", host_path(self.kits)], self.kits),
            ("todisk", ["*TODISK", "setup.exe", host_path(self.kits)], self.kits),
            ("todisk-external", ["*TODISK", "loader.exe", host_path(self.kits + "/ext")], self.kits + "/ext"),
            ("external", [host_path(self.kits + "/ext")], self.kits + "/ext"),
        ]
        for label, args, folder in forms:
            with self.subTest(label):
                dest = os.path.join(self.dir, "dest-" + label)
                p = self.run_installer(*args, dest=dest)
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assert_installed(dest)
        # As a loader that quoted nothing handed them over: split at blanks.
        dest = os.path.join(self.dir, "dest-split")
        p = self.run_installer("*SELFEXTRACT", "setup.exe", host_path(self.kits), dest=dest,
                               split=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assert_installed(dest)
        # Without --dest the files go to "installed" beside the kit.
        p = self.run_installer("*SELFEXTRACT", "setup.exe", host_path(self.kits))
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assert_installed(os.path.join(self.kits, "installed"))

    def test_quoted_name_and_folder_with_blanks_and_cmd_characters(self):
        """A kit downloaded twice ("setup (1).exe") into a folder such as
        "Tools & Extras": each reaches the installer whole."""
        folder = os.path.join(self.dir, "Tools & Extras (x86)")
        os.makedirs(folder)
        shutil.copy(os.path.join(self.kits, "setup.exe"), os.path.join(folder, "setup (1).exe"))
        dest = os.path.join(self.dir, "dest-quoted")
        p = self.run_installer("*SELFEXTRACT", "setup (1).exe", host_path(folder), dest=dest)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assert_installed(dest)

    def test_hostile_names_are_refused_before_anything_is_written(self):
        for bad in ["..\\evil.txt", "docs\\..\\..\\evil.txt", "\\evil.txt", "C:\\evil.txt", "NUL", "x/../../evil.txt"]:
            with self.subTest(bad):
                ext = os.path.join(self.kits, "ext")
                with open(os.path.join(ext, "setup.2"), "wb") as f:
                    f.write(archive_of_files([("ok.txt", b"fine"), (bad, b"pwned")], zlib.compress))
                dest = os.path.join(self.dir, "inner", "dest")
                os.makedirs(os.path.dirname(dest), exist_ok=True)
                p = self.run_installer(host_path(ext), dest=dest)
                self.assertNotEqual(p.returncode, 0)
                self.assertIn(b"refusing", p.stderr)
                self.assertFalse(os.path.exists(os.path.join(dest, "ok.txt")))
                for root in (self.dir, os.path.dirname(dest)):
                    self.assertFalse(os.path.exists(os.path.join(root, "evil.txt")))

    def posix_symlinks_in_the_destination_are_not_written_through(self):
        dest = os.path.join(self.dir, "dest")
        outside = os.path.join(self.dir, "outside")
        os.makedirs(os.path.join(dest))
        os.makedirs(outside)
        os.symlink(outside, os.path.join(dest, "docs"))
        p = self.run_installer(host_path(self.kits + "/ext"), dest=dest)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(os.listdir(outside), [])
        dest = os.path.join(self.dir, "dest2")
        os.makedirs(dest)
        with open(os.path.join(outside, "target"), "wb") as f:
            f.write(b"keep")
        os.symlink(os.path.join(outside, "target"), os.path.join(dest, "README.txt"))
        p = self.run_installer(host_path(self.kits + "/ext"), dest=dest)
        self.assertEqual(p.returncode, 1)
        with open(os.path.join(outside, "target"), "rb") as f:
            self.assertEqual(f.read(), b"keep")

    def test_damaged_kits_fail_with_a_message(self):
        ext = os.path.join(self.kits, "ext")
        stream = bytearray(archive_of_files([("a.txt", b"abc" * 1000)], zlib.compress))
        stream[-3] ^= 0xFF  # the Adler-32
        with open(os.path.join(ext, "setup.2"), "wb") as f:
            f.write(stream)
        p = self.run_installer(host_path(ext), dest=self.dir + "/d1")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"a.txt", p.stderr)
        p = self.run_installer(host_path(self.dir + "/nowhere"), dest=self.dir + "/d2")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"setup.2", p.stderr)
        p = self.run_installer()
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"usage", p.stderr)


    def posix_message_box_on_standard_error(self):
        # KIT_INSTALL_MESSAGEBOX=1: the box's title and text; natively they go
        # to standard error. A --dest ending in its separator takes no second.
        dest = os.path.join(self.dir, "boxed") + "/"
        box = {"KIT_INSTALL_MESSAGEBOX": "1"}
        p = self.run_installer("*SELFEXTRACT", "setup.exe", self.kits, dest=dest, env=box)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(p.stderr.decode(), "Installation: Installed into %s\n" % dest)
        self.assertIn("installed %sREADME.txt (8 bytes)" % dest, p.stdout.decode())
        self.assert_installed(dest)
        p = self.run_installer(os.path.join(self.dir, "nowhere"), env=box)
        self.assertEqual(p.returncode, 1)
        lines = p.stderr.decode().splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(lines[0].startswith("installer: "), lines)
        self.assertEqual(lines[1], "Installation failed: " + lines[0][len("installer: "):])


# POSIX symlinks and the message box on standard error: tests of the POSIX
# build only (not skipped elsewhere: simply not there).
if "--wine" not in sys.argv:
    Installer.test_symlinks_in_the_destination_are_not_written_through = \
        Installer.posix_symlinks_in_the_destination_are_not_written_through
    Installer.test_message_box_on_standard_error = Installer.posix_message_box_on_standard_error


def temp_folder():
    """The folder the loader makes its working folder in, on this host."""
    if not WINE:
        return None  # the test's own TMPDIR
    out = subprocess.run([WINE, "cmd", "/c", "echo %TEMP%"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=120).stdout.decode().strip()
    unix = subprocess.run(["winepath", "-u", out], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          env=dict(os.environ, WINEPREFIX=os.environ.get("WINEPREFIX", "/tmp/loaderkit-wine")),
                          timeout=120).stdout.decode().strip()
    return unix


class LoaderToInstaller(unittest.TestCase):
    """The whole chain: the real loader unpacks the installer and starts it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="loader chain ")
        self.addCleanup(shutil.rmtree, self.dir)
        self.payload = os.path.join(self.dir, "payload")
        for name, data in PAYLOAD.items():
            path = os.path.join(self.payload, *name.split("\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.tmp = os.path.join(self.dir, "tmp")
        os.makedirs(self.tmp)

    def run_chain(self, loader, args, dest):
        env = dict(os.environ, TMPDIR=self.tmp, KIT_INSTALL_DEST=host_path(dest))
        p = subprocess.run(self.loader_command(loader) + list(args), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        # The loader does not wait for the installer.
        log = os.path.join(dest, "install.log")
        for _ in range(600):
            if os.path.exists(log):
                with open(log, "rb") as f:
                    if b"done:" in f.read():
                        break
            time.sleep(0.05)
        Installer.assert_installed(self, dest)

    def make_kit(self, kit, external=False):
        if KITPACK:
            extra = ["--external"] if external else []
            subprocess.run([KITPACK, "build", "--loader", LOADER, "--installer", INSTALLER, "--payload",
                            self.payload, "-o", kit, *extra], check=True, stdout=subprocess.DEVNULL)
            return
        # Under Wine there is no host kitpack: the kit is written here.
        with open(LOADER, "rb") as f:
            loader = f.read()
        with open(INSTALLER, "rb") as f:
            first = [("C:\\KIT\\installer.exe", f.read())]
        second = sorted(PAYLOAD.items())
        if not external:
            write_kit(kit, loader, first, second, zlib.compress)
            return
        shutil.copy(LOADER, kit)
        for name, files in (("setup.1", first), ("setup.2", second)):
            with open(os.path.join(kit, name), "wb") as f:
                f.write(archive_of_files(files, zlib.compress))

    def loader_command(self, path):
        return [WINE, path] if WINE else [path]

    def test_self_extracting_kit_with_blanks_in_its_name(self):
        kit = os.path.join(self.dir, "my setup.exe")
        self.make_kit(kit)
        self.run_chain(kit, [], os.path.join(self.dir, "d1"))
        self.run_chain(kit, ["*todisk"], os.path.join(self.dir, "d2"))

    def test_installer_removes_the_loaders_working_folder(self):
        # The loader leaves ldxNNNN/ (the installer inside) and ldxNNNN.tmp;
        # the installer removes both once it is done, on Windows through a
        # script that waits for it to end and then removes itself too.
        tmp = temp_folder() or self.tmp
        self.assertTrue(os.path.isdir(tmp), tmp)
        before = set(os.listdir(tmp))
        kit = os.path.join(self.dir, "setup (1).exe")
        self.make_kit(kit)
        self.run_chain(kit, [], os.path.join(self.dir, "d4"))
        with open(os.path.join(self.dir, "d4", "install.log"), "rb") as f:
            log = f.read().decode("utf-8", "replace")
        self.assertIn("removing the loader's working folder", log)
        removed = log.split("removing the loader's working folder ")[1].splitlines()[0]
        removed = os.path.basename(removed.replace("\\", "/"))
        self.assertTrue(removed.lower().startswith("ldx"), removed)
        left = self.wait_until_gone(tmp, before)
        self.assertEqual(left, [], "left in the temporary folder")
        self.assertNotIn(removed, os.listdir(tmp))

    def test_a_loader_that_waits_removes_everything_itself(self):
        # "setup /S /WAIT", as a deployment tool runs a kit of kitpack's: the
        # loader waits for the installer and hands back its exit code; the
        # installer sees LOADERKIT_LOADER_WAITS and starts no clean-up of its
        # own (on Windows no script); the loader removes its working folder.
        if not HOST_KITPACK:
            self.fail("--host-kitpack names the kitpack that builds kits here")
        tmp = temp_folder() or self.tmp
        before = set(os.listdir(tmp))
        kit = os.path.join(self.dir, "setup.exe" if WINE else "setup")
        subprocess.run([HOST_KITPACK, "build", "--loader", LOADER, "--installer", INSTALLER,
                        "--payload", self.payload, "-o", kit], check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        dest = os.path.join(self.dir, "waited")
        env = dict(os.environ, TMPDIR=self.tmp, KIT_INSTALL_DEST=host_path(dest))
        p = subprocess.run(self.loader_command(kit) + ["/S", "/WAIT"], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        # Done before the loader ended: it waited.
        Installer.assert_installed(self, dest)
        with open(os.path.join(dest, "install.log"), "rb") as f:
            log = f.read().decode("utf-8", "replace")
        self.assertIn("the loader waits and removes its working folder itself", log)
        self.assertEqual(self.wait_until_gone(tmp, before, seconds=0), [],
                         "left in the temporary folder")

    def wait_until_gone(self, tmp, before, seconds=60):
        """What the loader and the installer made in tmp and left (named
        ldx...: other tests may share Wine's temporary folder), once it is
        gone or the time is up."""
        deadline = time.monotonic() + seconds
        while True:
            left = sorted(n for n in set(os.listdir(tmp)) - before if n.lower().startswith("ldx"))
            if not left or time.monotonic() > deadline:
                return left
            time.sleep(0.2)

    def test_clean_up_script_runs_no_program_planted_in_the_temporary_folder(self):
        # The script calls its programs by their full path in the system
        # folder and works there: programs planted in the temporary folder
        # under the names of the ones it uses never run, and it is not cut
        # short by a batch file of such a name.
        if not WINE:
            self.skipTest("Windows only: POSIX removes the folder at once")
        self.assertTrue(PROBE and os.path.isfile(PROBE), "--probe names the probe program")
        tmp = temp_folder()
        marker = os.path.join(self.dir, "planted-ran")
        batch = ("@echo %%~nx0 ran>>\"%s\"\r\n" % host_path(marker)).encode()
        kit = os.path.join(self.dir, "setup.exe")
        self.make_kit(kit)
        for round_, planted in enumerate([{"chcp.bat": batch, "ping.cmd": batch},
                                          {"chcp.com": PROBE, "ping.exe": PROBE,
                                           "chcp.bat": batch, "ping.cmd": batch}]):
            before = set(os.listdir(tmp))
            for name, content in planted.items():
                path = os.path.join(tmp, name)
                self.addCleanup(lambda p=path: os.path.exists(p) and os.remove(p))
                if content is PROBE:
                    shutil.copy(PROBE, path)
                else:
                    with open(path, "wb") as f:
                        f.write(content)
            before |= set(planted)
            os.environ["PROBE_RECORD"] = host_path(marker)
            try:
                self.run_chain(kit, [], os.path.join(self.dir, "p%d" % round_))
            finally:
                del os.environ["PROBE_RECORD"]
            left = self.wait_until_gone(tmp, before)
            self.assertEqual(left, [], "left in the temporary folder (round %d)" % round_)
            self.assertFalse(os.path.exists(marker), "a planted program ran (round %d): %r"
                             % (round_, open(marker, "rb").read() if os.path.exists(marker) else b""))

    def test_installer_run_elsewhere_removes_nothing(self):
        # Run from a folder that is not a working folder of the loader (here:
        # a folder named like one, but outside the temporary folder), the
        # installer leaves its folder alone.
        folder = os.path.join(self.dir, "ldx1A2B")
        os.makedirs(folder)
        copy = os.path.join(folder, os.path.basename(INSTALLER))
        shutil.copy(INSTALLER, copy)
        with open(folder + ".tmp", "wb"):
            pass
        ext = os.path.join(self.dir, "ext")
        os.makedirs(ext)
        self.make_kit(ext, external=True)
        dest = os.path.join(self.dir, "d5")
        p = subprocess.run(([WINE] if WINE else []) + [copy, "--dest", host_path(dest), host_path(ext)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        time.sleep(1)
        self.assertTrue(os.path.exists(copy))
        self.assertTrue(os.path.exists(folder + ".tmp"))

    def run_from_working_folder(self, name, env=None, subfolder=None):
        """The installer run as the loader leaves it: in a folder ldxNNNN of
        the temporary folder, beside ldxNNNN.tmp. Gives the folder and the
        install log."""
        folder = os.path.join(self.tmp, name)
        os.makedirs(folder)
        if subfolder:
            os.makedirs(os.path.join(folder, subfolder))
            with open(os.path.join(folder, subfolder, "kept.txt"), "wb"):
                pass
        copy = os.path.join(folder, os.path.basename(INSTALLER))
        shutil.copy(INSTALLER, copy)
        with open(folder + ".tmp", "wb"):
            pass
        ext = os.path.join(self.dir, "ext")
        os.makedirs(ext, exist_ok=True)
        self.make_kit(ext, external=True)
        dest = os.path.join(self.dir, "d-" + name)
        p = subprocess.run([copy, "--dest", dest, ext], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=120,
                           env=dict(os.environ, TMPDIR=self.tmp, **(env or {})))
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        with open(os.path.join(dest, "install.log"), "rb") as f:
            return folder, f.read().decode()

    def posix_waiting_loader_removes_its_folder_itself(self):
        folder, log = self.run_from_working_folder("ldxA8F1", {"LOADERKIT_LOADER_WAITS": "1"})
        self.assertIn("the loader waits and removes its working folder itself", log)
        self.assertTrue(os.path.exists(folder + ".tmp"))
        self.assertEqual(os.listdir(folder), [os.path.basename(INSTALLER)])

    def posix_what_cannot_be_removed_is_reported(self):
        # The loader makes its folder flat: a folder found inside is not
        # entered, and stays with the folder holding it.
        folder, log = self.run_from_working_folder("ldx5B01", subfolder="sub")
        self.assertIn("could not remove the loader's working folder: cannot remove sub: ", log)
        self.assertEqual(os.listdir(folder), ["sub"])
        self.assertEqual(os.listdir(os.path.join(folder, "sub")), ["kept.txt"])
        self.assertFalse(os.path.exists(folder + ".tmp"))

    def test_external_kit(self):
        ext = os.path.join(self.dir, "ext")
        os.makedirs(ext)
        self.make_kit(ext, external=True)
        self.run_chain(os.path.join(ext, os.path.basename(LOADER)), [], os.path.join(self.dir, "d3"))

# The folder the loader leaves, judged against TMPDIR: POSIX only.
if "--wine" not in sys.argv:
    LoaderToInstaller.test_waiting_loader_removes_its_folder_itself = \
        LoaderToInstaller.posix_waiting_loader_removes_its_folder_itself
    LoaderToInstaller.test_what_cannot_be_removed_is_reported = \
        LoaderToInstaller.posix_what_cannot_be_removed_is_reported


if __name__ == "__main__":
    args = sys.argv[1:]
    INSTALLER = os.path.abspath(args.pop(0))
    while args and args[0].startswith("--"):
        opt, value = args.pop(0), args.pop(0)
        if opt == "--kitpack":
            KITPACK = os.path.abspath(value)
        elif opt == "--loader":
            LOADER = os.path.abspath(value)
        elif opt == "--wine":
            WINE = os.path.abspath(value)
        elif opt == "--probe":
            PROBE = os.path.abspath(value)
        elif opt == "--host-kitpack":
            HOST_KITPACK = os.path.abspath(value)
    HOST_KITPACK = HOST_KITPACK or KITPACK
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)
