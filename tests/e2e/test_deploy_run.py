"""End-to-end runs of kits that carry the deployment record, as a deployment
tool runs them: kits built by kitpack around the real loader, the probe
installer (tests/e2e/probe_installer.cpp) recording its arguments and
ending after a chosen delay with a chosen exit code, switches on the
command line, the exit code read back. E2E_HOST says where: "posix" runs
the POSIX loader directly, "wine" runs loader.exe under Wine, watched by
the error-box driver (see tests/support/ldkit/hosts.py).

Environment: as test_loader_run, plus E2E_KITPACK (the native kitpack) and
under Wine E2E_PROBE_GUI (the probe as a GUI program) and LOADERKIT_DISPLAY
(the X display wine-run uses).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.e2e import PROCESS_TIMEOUT, mount_tmpfs, read_bytes, unmount  # noqa: E402
from ldkit.hosts import HOST, LOADER, PROBE, LoaderCase, only_on  # noqa: E402
from ldkit.users import as_other_user, second_user  # noqa: E402

KITPACK = os.environ.get("E2E_KITPACK", "")
DISPLAY = os.environ.get("LOADERKIT_DISPLAY", ":77")
INSTALL = "install" + HOST.EXE  # the probe's name in the kits
# The installers a kit is tried with: a console program, and under Windows
# also a GUI one (the loader waits for either the same way).
INSTALLERS = {"console": PROBE}
if HOST.name == "wine":
    INSTALLERS["gui"] = os.environ.get("E2E_PROBE_GUI", "")

MSG_BAD_SWITCH = ("LOADER: The command line holds %s, which is not one of this program's "
                  "switches. Nothing was started. Run it with /? to see the switches")
MSG_CUT_SHORT = ("LOADER: The installation kit %s is incomplete or damaged: it should be %d "
                 "bytes long and is %d bytes. Download it again")
MSG_SETUP2_CUT = ("LOADER: The file %s is incomplete or damaged: it should be %d bytes long and "
                  "is %d bytes. Download the installation kit again")
MSG_SETUP1_CHANGED = ("LOADER: The file %s is not the one this installation kit was built "
                      "with. Download the installation kit again")
MSG_NO_SPACE = ("LOADER: There is not enough free space to unpack the installation program in "
                "%s: it needs %d MB and %d MB are free")
MSG_ENTRY_DAMAGED = ("LOADER: The installation kit %s is damaged: its entry %s (at byte %d) does "
                     "not unpack whole. Download the installation kit again")
MSG_UNSAFE_NAME = "LOADER: The installation kit holds a file name that cannot be unpacked safely: %s"
MSG_UNSAFE_TEMP = ("LOADER: Other users can change the temporary directory %s. Set TMPDIR to a "
                   "directory that only you can write to")
MSG_NO_LOG = "LOADER: Could not write the log file %s"


def kit_listing(kit):
    return json.loads(subprocess.run([KITPACK, "list", "--json", kit], check=True,
                                     stdout=subprocess.PIPE, timeout=PROCESS_TIMEOUT).stdout)


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder).replace(os.sep, "/")
                  for d, _, files in os.walk(folder) for f in files)


class Kit:
    """A kit kitpack built: the path to run, and its folder."""

    def __init__(self, path):
        self.loader_path = path
        self.folder = os.path.dirname(path)


class DeployCase(LoaderCase):
    def setUp(self):
        super().setUp()
        if not os.path.isfile(KITPACK):
            self.fail("no kitpack at %r: build the native preset first" % KITPACK)
        for kind, path in INSTALLERS.items():
            if not os.path.isfile(path):
                self.fail("no %s probe installer at %r" % (kind, path))
        self.tmp = self.folder("tmp")
        self._kits = 0

    def build(self, *extra, installer=PROBE):
        """A kit around the loader under test: the probe named install, a
        payload with a folder in a folder."""
        self._kits += 1
        folder = self.folder("kit-%d" % self._kits)
        source = self.folder("payload")
        os.makedirs(os.path.join(source, "docs", "deep"), exist_ok=True)
        with open(os.path.join(source, "readme.txt"), "w") as f:
            f.write("read me\n")
        with open(os.path.join(source, "docs", "deep", "guide.txt"), "w") as f:
            f.write("guide\n" * 100)
        command = [KITPACK, "build", "-q", "--loader", LOADER, "--installer",
                   "%s=%s" % (installer, INSTALL), "--payload", source, *extra]
        external = "--external" in extra
        out = folder if external else os.path.join(folder, self.LOADER_NAME)
        subprocess.run(command + ["-o", out], check=True, timeout=PROCESS_TIMEOUT)
        if external:
            return Kit(os.path.join(folder, os.path.basename(LOADER)))
        return Kit(out)

    def launch(self, kit, *args, code=0, delay_ms=0, tmp=None, record=True, env=None):
        """One run of the kit; the probe ends after delay_ms with code.
        record=False: a run that succeeds without starting the installer
        (the probe's record is then not waited for). env: more variables."""
        run = self.run_kit(kit, args, tmp=tmp or self.tmp, record=record,
                           env={"PROBE_EXIT_CODE": str(code), "PROBE_DELAY_MS": str(delay_ms),
                                **(env or {})})
        if delay_ms and run.record is not None:
            # The installer may run on: the scratch folder goes once it ended.
            self.addCleanup(self.wait_until_ended, run)
        return run

    def ended(self, run):
        return os.path.exists(run.record_path + ".ended")

    def wait_until_ended(self, run, timeout=30):
        deadline = time.monotonic() + timeout
        while not self.ended(run) and time.monotonic() < deadline:
            time.sleep(0.05)

    def left_in_tmp(self):
        return sorted(os.listdir(self.tmp))

    def installer_line(self, run, kit):
        """The command line the loader hands a self-extracting kit's probe."""
        installer = os.path.join(self.working_folder(run), INSTALL)
        return HOST.command(HOST.path(installer), "*SELFEXTRACT", self.LOADER_NAME,
                            HOST.path(kit.folder))


class ExitCodes(DeployCase):
    def test_wait_hands_back_the_installers_code_and_leaves_nothing(self):
        for kind, installer in INSTALLERS.items():
            kit = self.build(installer=installer)
            for code in (0, 3010, 1603):
                with self.subTest(installer=kind, code=code):
                    run = self.launch(kit, "/WAIT", code=code, delay_ms=2000)
                    self.assertEqual(run.code, HOST.installer_exit(code))
                    self.assertIsNotNone(run.record, "the installer was not started")
                    self.assertEqual(run.record.waits, "1")
                    self.assertTrue(self.ended(run), "the loader ended before the installer")
                    self.assertEqual(self.left_in_tmp(), [])

    def test_silent_spellings_administrators_type_wait_for_the_installer(self):
        """/S alone, and the silent switches of other installers, wait and hand
        back the installer's code; /NOWAIT is the way to return at once."""
        kit = self.build()
        for args in (("/S",), ("/quiet", "/norestart"), ("/qn",),
                     ("/VERYSILENT", "/SUPPRESSMSGBOXES", "/NORESTART")):
            with self.subTest(args=args):
                run = self.launch(kit, *args, code=1603, delay_ms=1000)
                self.assertEqual(run.code, HOST.installer_exit(1603))
                self.assertTrue(self.ended(run), "the loader ended before the installer")
                self.assertEqual(run.record.waits, "1")
                HOST.assert_silent(self, run)
                self.assertEqual(self.left_in_tmp(), [])
        run = self.launch(kit, "/S", "/NOWAIT", code=1603, delay_ms=5000,
                          tmp=self.folder("tmp-nowait"))
        self.assertEqual(run.code, 0)
        self.assertFalse(self.ended(run), "the loader waited for the installer")

    def test_what_the_installer_leaves_in_the_working_folder_goes_with_it(self):
        kit = self.build()
        run = self.launch(kit, "/S", "/WAIT", env={"PROBE_LEAVE": "1"})
        self.assertEqual(run.code, 0)
        self.assertIsNotNone(run.record, "the installer was not started")
        self.assertEqual(self.left_in_tmp(), [])

    def test_without_wait_the_loader_exits_at_once_with_zero(self):
        for kind, installer in INSTALLERS.items():
            with self.subTest(installer=kind):
                kit = self.build(installer=installer)
                log = os.path.join(self.scratch, "run-%s.log" % kind)
                # Started from another kit's installer that was waited for:
                # this run does not wait, and must not say it does.
                run = self.launch(kit, "/LOG=" + HOST.path(log), code=1603, delay_ms=10000,
                                  tmp=self.folder("tmp-" + kind),
                                  env={"LOADERKIT_LOADER_WAITS": "1"})
                self.assertEqual(run.code, 0)
                self.assertIsNotNone(run.record, "the installer was not started")
                self.assertFalse(self.ended(run), "the loader waited for the installer")
                self.assertEqual(run.record.waits, "")
                # Without /WAIT nothing is removed: the installer uses it.
                self.assertIn(INSTALL, os.listdir(self.working_folder(run)))

    @only_on("wine")
    def test_an_installer_that_messages_every_window_is_waited_for(self):
        # It waits for the loader's window to answer while the loader waits
        # for it: the loader must keep answering.
        kit = self.build(installer=INSTALLERS["gui"])
        run = self.run_kit(kit, ("/WAIT",), tmp=self.tmp,
                           env={"PROBE_BROADCAST": "1", "PROBE_EXIT_CODE": "7"})
        self.assertFalse(run.seen["timed_out"], "the loader and the installer waited for each other")
        self.assertEqual(run.code, 7)
        self.assertTrue(run.seen["setup_window_ever_visible"])
        self.assertEqual(self.left_in_tmp(), [])

    def test_a_kit_without_the_record_ignores_the_switches(self):
        kit = self.build("--no-deployment")
        self.assertIsNone(kit_listing(kit.loader_path)["deployment"])
        run = self.launch(kit, "/WAIT", "/S", "/VERYSILENT", code=5, delay_ms=5000)
        HOST.assert_succeeded(self, run)
        self.assertFalse(self.ended(run), "the loader waited for the installer")
        self.assertEqual(HOST.handed(run.record), self.installer_line(run, kit))
        if HOST.name == "wine":
            self.assertTrue(run.seen["setup_window_ever_visible"])


class Silent(DeployCase):
    def windows(self):
        """The ids of the top-level windows on the test display."""
        out = subprocess.run(["xwininfo", "-display", DISPLAY, "-root", "-children"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True,
                             timeout=PROCESS_TIMEOUT).stdout.decode("latin-1")
        return {line.split()[0]: line.strip() for line in out.splitlines()
                if line.strip().startswith("0x")}

    def run_watched(self, kit, *args, **kw):
        """A run while every window on the screen is listed over and over:
        the run and the windows that appeared at any point during it."""
        before = self.windows()
        appeared = {}
        done = threading.Event()

        def watch():
            while not done.is_set():
                appeared.update({k: v for k, v in self.windows().items() if k not in before})
                time.sleep(0.05)
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            run = self.launch(kit, *args, **kw)
        finally:
            done.set()
            watcher.join()
        return run, appeared

    @only_on("wine")
    def test_no_window_appears_at_any_point(self):
        # Wine's own windows (its desktop, the system tray) come with its
        # server: a first run starts it before the screen is looked at.
        warm_up = self.build(installer=INSTALLERS["gui"])
        self.launch(warm_up, "/S", "/WAIT")
        for kind in ("gui", "console"):
            with self.subTest(installer=kind):
                kit = self.build(installer=INSTALLERS[kind])
                run, appeared = self.run_watched(kit, "/S", "/WAIT", code=3010, delay_ms=2000)
                self.assertEqual(run.code, 3010)
                HOST.assert_silent(self, run)
                self.assertEqual(appeared, {})

    def test_a_cut_kit_fails_without_a_word_and_says_why_in_the_log(self):
        kit = self.build()
        whole = read_bytes(kit.loader_path)
        with open(kit.loader_path, "wb") as f:
            f.write(whole[:-1])
        log = os.path.join(self.scratch, "run.log")
        run = self.launch(kit, "/S", "/WAIT", "/LOG=" + HOST.path(log))
        self.assertEqual(run.code, HOST.loader_exit(2402))
        HOST.assert_silent(self, run)
        self.assertIsNone(run.record)
        message = MSG_CUT_SHORT % (HOST.path(kit.loader_path), len(whole), len(whole) - 1)
        self.assertIn("failed with exit code %d (the loader's own failure): %s\n"
                      % (HOST.loader_exit(2402), message), read_bytes(log).decode())
        self.assertEqual(self.left_in_tmp(), [])

    def test_an_unknown_switch_starts_nothing_and_help_shows_nothing(self):
        kit = self.build()
        run = self.launch(kit, "/S", "/PASSIVE")
        self.assertEqual(run.code, HOST.loader_exit(2400))
        HOST.assert_silent(self, run)
        self.assertIsNone(run.record)
        run = self.launch(kit, "/S", "/?", record=False)
        self.assertEqual(run.code, 0)
        HOST.assert_silent(self, run)
        self.assertIsNone(run.record)
        self.assertEqual(self.left_in_tmp(), [])


class Switches(DeployCase):
    def test_arguments_after_the_separator_reach_the_installer_whole(self):
        kit = self.build()
        run = self.launch(kit, "/WAIT", "--", "/quiet", "a b", "x&y")
        self.assertEqual(run.code, 0)
        self.assertEqual(run.record.args[1:], ["*SELFEXTRACT", self.LOADER_NAME,
                                               HOST.path(kit.folder), "/quiet", "a b", "x&y"])
        if HOST.name == "wine":
            # Quoted as the loader quotes its own arguments: & too, for an
            # installer that is a batch file.
            self.assertTrue(run.record.cmdline.endswith(' /quiet "a b" "x&y"'),
                            run.record.cmdline)

    def test_every_argument_after_the_separator_arrives_as_it_was_given(self):
        """Twelve MSI-style arguments as a deployment tool passes them: an
        empty one, embedded quotes, a lone quote, a folder ending in a
        backslash. None is dropped, merged or changed, and none reaches the
        log."""
        arguments = ["INSTALLDIR=C:\\Program Files\\My App\\", "", 'he said "hi"', '\\"',
                     "next", "LICENSE=ABCD-1234", "/quiet", "a b", "x&y", "ALLUSERS=1",
                     "tail\\\\", "REBOOT=ReallySuppress"]
        kit = self.build()
        log = os.path.join(self.scratch, "args.log")
        # Under Windows the tool writes a command line, each argument quoted
        # by the C runtime's rules (what list2cmdline does).
        given = ([subprocess.list2cmdline([a]) for a in arguments] if HOST.name == "wine"
                 else arguments)
        run = self.launch(kit, "/WAIT", "/LOG=" + HOST.path(log), "--", *given)
        self.assertEqual(run.code, 0)
        self.assertEqual(run.record.args[4:], arguments)
        text = read_bytes(log).decode()
        self.assertIn("and 12 arguments for the installation program (not logged)", text)
        self.assertNotIn("ABCD-1234", text)

    def test_a_log_and_an_extract_folder_under_missing_folders_work(self):
        """As on a fresh machine: neither the log's folder nor the folders on
        the way to DIR are there yet."""
        kit = self.build()
        log = os.path.join(self.scratch, "ProgramData", "Product", "setup.log")
        run = self.launch(kit, "/LOG=" + HOST.path(log))
        self.assertEqual(run.code, 0)
        self.assertIn("done, exit code 0", read_bytes(log).decode())
        out = os.path.join(self.scratch, "out", "new", "sub")
        run = self.launch(kit, "/EXTRACT=" + HOST.path(out), record=False)
        self.assertEqual(run.code, 0)
        self.assertIn("payload", os.listdir(out))

    @only_on("wine")
    def test_variables_in_the_log_path_are_expanded_without_a_shell(self):
        """Intune's install command as the README gives it: no shell expands
        %NAME%, and the folder under it is not there yet."""
        kit = self.build()
        data = self.folder("programdata")
        run = self.launch(kit, "/S", "/LOG=%LDKIT_DATA%\\Product\\setup.log",
                          env={"LDKIT_DATA": HOST.path(data)})
        self.assertEqual(run.code, 0)
        self.assertIn("done, exit code 0",
                      read_bytes(os.path.join(data, "Product", "setup.log")).decode())

    def test_log_tells_each_step(self):
        kit = self.build()
        log = os.path.join(self.scratch, "run.log")
        run = self.launch(kit, "/S", "/WAIT", "/LOG=" + HOST.path(log), code=67)
        self.assertEqual(run.code, 67)
        text = read_bytes(log).decode()
        working = re.search(r"  working folder (.*)\n", text).group(1)
        installer = working + HOST.SEP + INSTALL
        for piece in ("  loader " + HOST.path(kit.loader_path) + ", command line ",
                      "  container " + HOST.path(kit.loader_path) + ", archive at byte ",
                      "  1 entries, %d bytes unpacked\n" % os.path.getsize(PROBE),
                      "  free space in " + HOST.path(self.tmp),
                      "  unpacking %s, %d bytes\n" % (installer, os.path.getsize(PROBE)),
                      "  starting " + HOST.line(installer, "*SELFEXTRACT", self.LOADER_NAME,
                                                HOST.path(kit.folder)) + "\n",
                      "  the installer ended with exit code 67\n",
                      "  removed " + installer + "\n",
                      "  removed " + working + " with what was left in it\n",
                      "  done, exit code 67 (the installer's)\n"):
            self.assertIn(piece, text)
        self.assertTrue(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  loader ", text), text)
        # A second run appends.
        self.launch(kit, "/S", "/LOG=" + HOST.path(log), "/bogus")
        again = read_bytes(log).decode()
        self.assertTrue(again.startswith(text))
        self.assertIn("failed with exit code %d" % HOST.loader_exit(2400), again)

    def test_a_log_that_cannot_be_written_is_an_error_first(self):
        kit = self.build()
        # Under a file: no folder can be made there.
        with open(os.path.join(self.scratch, "a-file"), "w") as f:
            f.write("not a folder\n")
        log = os.path.join(self.scratch, "a-file", "such", "x.log")
        run = self.launch(kit, "/LOG=" + HOST.path(log))
        HOST.assert_reported(self, run, "LOADER: Could not write the log file " + HOST.path(log),
                             code=HOST.loader_exit(2401), owner="")
        self.assertEqual(self.left_in_tmp(), [])

    def test_an_unknown_switch_is_named_and_nothing_started(self):
        kit = self.build()
        run = self.launch(kit, "/WAIT", "/PASSIVE")
        HOST.assert_reported(self, run, MSG_BAD_SWITCH % "/PASSIVE",
                             code=HOST.loader_exit(2400), owner="")
        self.assertEqual(self.left_in_tmp(), [])

    def test_temp_puts_the_working_folder_elsewhere(self):
        kit = self.build()
        other = self.folder("other")
        run = self.launch(kit, "/TEMP=" + HOST.path(other), "/WAIT", "/KEEP")
        self.assertEqual(run.code, 0)
        self.assertEqual(self.left_in_tmp(), [])
        kept = sorted(os.listdir(other))
        self.assertEqual(len(kept), 2, kept)
        self.assertTrue(HOST.WORKING_FOLDER.match(kept[0]) and HOST.TEMP_FILE.match(kept[1]), kept)
        self.assertEqual(HOST.same_path(run.record.path),
                         HOST.same_path(HOST.path(os.path.join(other, kept[0], INSTALL))))


class Extract(DeployCase):
    def test_both_archives_are_unpacked_and_nothing_started(self):
        for form in ((), ("--external",)):
            with self.subTest(form=form):
                kit = self.build(*form)
                out = os.path.join(self.scratch, "out%d" % len(form))
                run = self.launch(kit, "/EXTRACT=" + HOST.path(out), record=False)
                self.assertEqual(run.code, 0)
                self.assertIsNone(run.record)
                self.assertEqual(files_below(out), [INSTALL, "payload/docs/deep/guide.txt",
                                                    "payload/readme.txt"])
                self.assertEqual(read_bytes(os.path.join(out, INSTALL)), read_bytes(PROBE))
                self.assertEqual(read_bytes(os.path.join(out, "payload", "docs", "deep",
                                                         "guide.txt")), b"guide\n" * 100)
                self.assertEqual(self.left_in_tmp(), [])
        # A folder that is not empty is refused, and left as it was.
        run = self.launch(kit, "/EXTRACT=" + HOST.path(out))
        HOST.assert_reported(self, run, "LOADER: The folder %s to unpack the installation kit into "
                             "is not empty" % HOST.path(out), code=HOST.loader_exit(2406))
        self.assertEqual(len(files_below(out)), 3)

    def test_a_hostile_stored_name_is_refused(self):
        kit = self.build()
        second = kit_listing(kit.loader_path)["archives"][1]
        entry = next(e for e in second["entries"] if e["stored_name"] == "docs\\deep\\guide.txt")
        # As long as the genuine name, so that only the name changes: its
        # field in the entry record is a length byte, then the name.
        hostile = b"..\\..\\" + b"x" * (len(entry["stored_name"]) - 6)
        at = second["start"] + entry["data_start"] - 164 + 21
        with open(kit.loader_path, "r+b") as f:
            f.seek(at)
            self.assertEqual(f.read(len(hostile)), entry["stored_name"].encode())
            f.seek(at)
            f.write(hostile)
        around = self.folder("around")
        out = os.path.join(self.folder("around/inner"), "out")
        run = self.launch(kit, "/EXTRACT=" + HOST.path(out))
        HOST.assert_reported(self, run, MSG_UNSAFE_NAME % hostile.decode(),
                             code=HOST.loader_exit(2404))
        outside = [n for n in files_below(around) if not n.startswith("inner/out/")]
        self.assertEqual(outside, [])


class NothingLeftBehind(DeployCase):
    def test_not_enough_free_space_leaves_nothing(self):
        # The user's own small temporary folder (a folder on a small volume,
        # not the volume's root: Windows takes a mount point for a reparse
        # point): the run makes its working folder there, finds too little
        # room and takes it away again.
        volume = self.folder("volume")
        why_not = mount_tmpfs(volume, "1m", "0700")
        if why_not:
            self.skipTest(why_not)
        self.addCleanup(unmount, volume)
        small = os.path.join(volume, "temp")
        os.mkdir(small, 0o700)
        big = os.path.join(self.scratch, "big.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(3 << 20))
        kit = self.build("--file", big, "--level", "0")
        needed = -(-(os.path.getsize(PROBE) + (3 << 20)) // (1 << 20))
        stats = os.statvfs(small)
        free = stats.f_bavail * stats.f_frsize // (1 << 20)
        message = MSG_NO_SPACE % (HOST.path(small) + HOST.SEP, needed, free)
        for args, code in (((), 1), (("/WAIT",), HOST.loader_exit(2403))):
            with self.subTest(args=args):
                run = self.launch(kit, *args, tmp=small)
                HOST.assert_reported(self, run, message, code=code)
                self.assertEqual(os.listdir(small), [])

    def test_a_damaged_last_entry_leaves_nothing(self):
        kit = self.build("--file", LOADER)
        first = kit_listing(kit.loader_path)["archives"][0]
        last = first["entries"][-1]
        at = first["start"] + (last["data_start"] + last["data_end"]) // 2
        with open(kit.loader_path, "r+b") as f:
            f.seek(at)
            byte = f.read(1)
            f.seek(at)
            f.write(bytes([byte[0] ^ 0xFF]))
        run = self.launch(kit, "/S", "/WAIT")
        self.assertEqual(run.code, HOST.loader_exit(2404))
        HOST.assert_silent(self, run)
        self.assertIsNone(run.record)
        self.assertEqual(self.left_in_tmp(), [])


class DamagedKits(DeployCase):
    def test_a_kit_cut_short_says_download_again(self):
        kit = self.build()
        whole = read_bytes(kit.loader_path)
        # Half of what follows the loader's image: a cut into the image
        # itself leaves no program the system can start at all.
        image = os.path.getsize(LOADER)
        for keep in (len(whole) - 1, image + (len(whole) - image) // 2):
            with self.subTest(keep=keep):
                with open(kit.loader_path, "wb") as f:
                    f.write(whole[:keep])
                run = self.launch(kit, "/WAIT")
                HOST.assert_reported(self, run, MSG_CUT_SHORT % (HOST.path(kit.loader_path),
                                                                 len(whole), keep),
                                     code=HOST.loader_exit(2402))
                self.assertEqual(self.left_in_tmp(), [])

    def test_an_entry_that_does_not_unpack_whole_is_a_damaged_kit(self):
        """A stream zeroed in its second half, or a range cut inside it, used
        to be written short and reported as success."""
        data = self.folder("data")
        with open(os.path.join(data, "big.bin"), "wb") as f:
            f.write(bytes(range(256)) * 4 + os.urandom(5000))
        kit = self.build("--file", os.path.join(data, "big.bin"))
        whole = read_bytes(kit.loader_path)
        first = kit_listing(kit.loader_path)["archives"][0]
        entry = first["entries"][1]
        stream = first["start"] + entry["data_start"]
        end = first["start"] + entry["data_end"]
        zeroed = bytearray(whole)
        middle = (stream + end) // 2
        zeroed[middle:end + 1] = bytes(end + 1 - middle)
        cut = bytearray(whole)
        record_at = stream - 164
        cut[record_at + 16:record_at + 20] = (entry["data_end"] - 100).to_bytes(4, "little")
        for name, damaged in (("zeroed", zeroed), ("cut", cut)):
            with self.subTest(name):
                with open(kit.loader_path, "wb") as f:
                    f.write(damaged)
                run = self.launch(kit, "/WAIT")
                HOST.assert_reported(self, run, MSG_ENTRY_DAMAGED % (
                    HOST.path(kit.loader_path), entry["stored_name"], stream),
                    code=HOST.loader_exit(2404))
                self.assertEqual(self.left_in_tmp(), [])

    def test_another_kits_setup2_is_refused(self):
        """setup.2 from another kit beside this kit's loader: nothing starts,
        under /EXTRACT nothing is left either."""
        kit = self.build("--external")
        extra = self.folder("extra")
        with open(os.path.join(extra, "theirs.txt"), "w") as f:
            f.write("theirs\n")
        other = self.build("--external", "--payload", extra)
        setup2 = os.path.join(kit.folder, "setup.2")
        genuine = os.path.getsize(setup2)
        theirs = read_bytes(os.path.join(other.folder, "setup.2"))
        with open(setup2, "wb") as f:
            f.write(theirs)
        for args in (("/WAIT",), ("/EXTRACT=" + HOST.path(os.path.join(self.scratch, "out")),)):
            with self.subTest(args=args):
                run = self.launch(kit, *args)
                HOST.assert_reported(self, run, MSG_SETUP2_CUT % (HOST.path(setup2), genuine,
                                                                   len(theirs)),
                                     code=HOST.loader_exit(2402))
                self.assertEqual(self.left_in_tmp(), [])
                self.assertFalse(os.path.exists(os.path.join(self.scratch, "out")))

    def test_a_changed_setup1_is_refused_before_it_is_read(self):
        # The loader's copy holds setup.1's SHA-256 in its record: another
        # setup.1 of the same length (an attacker's, beside a signed loader)
        # is refused, and nothing is unpacked or started.
        kit = self.build("--external")
        setup1 = os.path.join(kit.folder, "setup.1")
        genuine = read_bytes(setup1)
        changed = bytearray(genuine)
        changed[-1] ^= 0x01
        with open(setup1, "wb") as f:
            f.write(changed)
        run = self.launch(kit, "/WAIT")
        HOST.assert_reported(self, run, MSG_SETUP1_CHANGED % HOST.path(setup1),
                             code=HOST.loader_exit(2402))
        self.assertEqual(self.left_in_tmp(), [])
        # The genuine one still installs.
        with open(setup1, "wb") as f:
            f.write(genuine)
        self.assertEqual(self.launch(kit, "/WAIT").code, 0)


@unittest.skipUnless(HOST.name == "posix", "another user of the same system")
class OtherUsers(DeployCase):
    """Another, unprivileged user shares a sticky folder with the victim and
    prepares names there before the run: nothing of theirs is written to."""

    @classmethod
    def setUpClass(cls):
        cls.uid, cls.gid = second_user()

    def shared(self):
        """A sticky folder below /tmp that the other user can reach."""
        root = tempfile.mkdtemp(prefix="ldx-e2e-shared-", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        os.chmod(root, 0o755)
        shared = os.path.join(root, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        return shared

    def test_an_extract_folder_another_user_made_is_refused(self):
        """They made the empty folder first and could swap what the loader
        makes in it for links to the victim's folders."""
        shared = self.shared()
        out = os.path.join(shared, "out")
        as_other_user(self.uid, self.gid, "import os, sys; os.mkdir(sys.argv[1], 0o777)", out)
        with open(os.path.join(shared, "bystander"), "w") as f:
            f.write("stays\n")
        kit = self.build()
        run = self.launch(kit, "/EXTRACT=" + out, record=False)
        HOST.assert_reported(self, run, "LOADER: Other users can change the folder %s to unpack "
                             "the installation kit into. Choose a folder that only you can "
                             "write to" % out, code=HOST.loader_exit(2406))
        self.assertEqual(sorted(os.listdir(shared)), ["bystander", "out"])
        self.assertEqual(os.listdir(out), [])

    def test_a_log_another_user_made_or_links_is_not_written_to(self):
        """A log file of theirs (mode 0666), or their link to the victim's
        file, under the name the administrator gave."""
        shared = self.shared()
        victim = os.path.join(self.folder("victim"), "victim.txt")
        with open(victim, "w") as f:
            f.write("private\n")
        theirs = os.path.join(shared, "theirs.log")
        link = os.path.join(shared, "link.log")
        as_other_user(self.uid, self.gid,
                      "import os, sys\n"
                      "with open(sys.argv[1], 'w') as f: f.write('theirs\\n')\n"
                      "os.chmod(sys.argv[1], 0o666)\n"
                      "os.symlink(sys.argv[2], sys.argv[3])\n", theirs, victim, link)
        kit = self.build()
        for log in (theirs, link):
            with self.subTest(os.path.basename(log)):
                run = self.launch(kit, "/WAIT", "/LOG=" + log, "--", "secret-key", record=False)
                HOST.assert_reported(self, run, "LOADER: Could not write the log file " + log,
                                     code=HOST.loader_exit(2401))
        self.assertEqual(read_bytes(theirs), b"theirs\n")
        self.assertEqual(read_bytes(victim), b"private\n")

class Tampering(DeployCase):
    """Another process changes what the run makes or uses while it runs;
    here Linux does it under Wine's feet, as no Windows sharing rule stops
    it, and Wine shows a Unix symbolic link to a folder as a reparse point."""

    def victim(self, name, *files):
        """A folder of someone else's files, each holding "victim"."""
        folder = self.folder(name)
        for file in files:
            with open(os.path.join(folder, file), "w") as f:
                f.write("victim")
        return folder

    @only_on("wine")
    def test_wait_removes_nothing_through_a_link_put_in_the_working_folders_place(self):
        # The working folder renamed away while the installer runs, a link
        # to another folder in its place: the clean-up must not delete that
        # folder's files of the same names.
        kit = self.build()
        victim = self.victim("victim", INSTALL, "keep.txt")
        runs = []
        runner = threading.Thread(
            target=lambda: runs.append(self.launch(kit, "/WAIT", delay_ms=4000)))
        runner.start()
        swapped = None
        deadline = time.monotonic() + 60
        while swapped is None and time.monotonic() < deadline and runner.is_alive():
            # Once the installer has written its record, it runs.
            started = any(re.match(r"record-\d+\.txt$", n) for n in os.listdir(self.scratch))
            for name in os.listdir(self.tmp) if started else ():
                working = os.path.join(self.tmp, name)
                if self.WORKING_FOLDER.match(name) and os.path.isdir(working):
                    os.rename(working, working + "-moved")
                    os.symlink(victim, working)
                    swapped = working
            time.sleep(0.02)
        runner.join()
        self.assertIsNotNone(swapped, "the working folder never appeared")
        self.assertEqual(runs[0].code, 0)
        self.assertEqual(sorted(os.listdir(victim)), sorted([INSTALL, "keep.txt"]))
        self.assertEqual(read_bytes(os.path.join(victim, INSTALL)), b"victim")

    @only_on("wine")
    def test_a_temp_folder_others_may_write_to_is_refused(self):
        kit = self.build()
        shared = self.folder("shared")
        os.chmod(shared, 0o777)  # Wine gives Everyone the right to add and delete
        run = self.launch(kit, "/TEMP=" + HOST.path(shared), "/WAIT")
        HOST.assert_reported(self, run, MSG_UNSAFE_TEMP % (HOST.path(shared) + HOST.SEP),
                             code=HOST.loader_exit(2407))
        self.assertEqual(os.listdir(shared), [])
        # Only this user may write: taken.
        private = self.folder("private")
        os.chmod(private, 0o700)
        self.assertEqual(self.launch(kit, "/TEMP=" + HOST.path(private), "/WAIT").code, 0)

    @only_on("wine")
    def test_the_log_is_never_written_through_a_link(self):
        kit = self.build()
        victim = self.victim("victim", "run.log", "other.log")
        other_users = os.path.join(victim, "other.log")
        os.chown(other_users, 65534, 65534)
        hard = os.path.join(self.scratch, "hard.log")
        os.link(os.path.join(victim, "run.log"), hard)
        through_folder = os.path.join(self.scratch, "logs")
        os.symlink(victim, through_folder)
        through_name = os.path.join(self.scratch, "named.log")
        os.symlink(other_users, through_name)
        for log in (hard, os.path.join(through_folder, "run.log"), through_name):
            with self.subTest(log=log):
                run = self.launch(kit, "/LOG=" + HOST.path(log), "/WAIT")
                HOST.assert_reported(self, run, MSG_NO_LOG % HOST.path(log),
                                     code=HOST.loader_exit(2401), owner="")
        for name in ("run.log", "other.log"):
            self.assertEqual(read_bytes(os.path.join(victim, name)), b"victim")
        self.assertEqual(self.left_in_tmp(), [])


if __name__ == "__main__":
    unittest.main()
