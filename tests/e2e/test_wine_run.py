"""End-to-end runs of the Windows loader under Wine: real kits, the real
loader.exe watched by the error-box driver, a scratch temporary folder per run.

Every run is: wine-run with_env.exe TMP=... TEMP=... -- loaderdrive.exe
loader.exe [args]. The driver reports the exit code and the error box (text,
caption, owner) as JSON; the probe installer records its command line.

Environment: E2E_LOADER, E2E_PROBE, E2E_DRIVER, E2E_WITH_ENV, E2E_WINE_RUN,
E2E_SCRATCH (optional); for UnicodeFolders also E2E_PROBE_UTF8 (the probe with
UTF-8 as its code page) and E2E_INSTALLER (the reference installer); for
ExecutionLevel E2E_KITPACK (kitpack of the native build).
"""

import json
import os
import re
import subprocess
import sys
import time
import unittest

import kits
from e2e_support import (CAPTION, MSG_CANNOT_CREATE, MSG_CANNOT_RUN, MSG_NO_FILES,
                         MSG_NO_SETUP1, MSG_NO_TEMP, MSG_TOO_MANY, memory_folder,
                         mount_tmpfs, msg_disk_full, read_bytes, read_record, unmount, KitCase)

LOADER = os.environ.get("E2E_LOADER", "")
PROBE = os.environ.get("E2E_PROBE", "")
DRIVER = os.environ.get("E2E_DRIVER", "")
WITH_ENV = os.environ.get("E2E_WITH_ENV", "")
WINE_RUN = os.environ.get("E2E_WINE_RUN", "")
PROBE_UTF8 = os.environ.get("E2E_PROBE_UTF8", "")
INSTALLER = os.environ.get("E2E_INSTALLER", "")
KITPACK = os.environ.get("E2E_KITPACK", "")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import pe_manifest  # noqa: E402
from wine_prefix import TestPrefix  # noqa: E402

# GetTempFileNameA's hexadecimal digits; Wine writes them in lower case.
WORKING_FOLDER = re.compile(r"^ldx[0-9A-Fa-f]{1,4}$")
TEMP_FILE = re.compile(r"^ldx[0-9A-Fa-f]{1,4}\.tmp$")


def win(path):
    """The Windows form of a Linux path: Wine maps Z: to /."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def probe_entry(name=b"C:\\Program Files\\Product\\install.exe"):
    return kits.Entry(name, read_bytes(PROBE))


def data_entries():
    return [
        kits.Entry(b"C:\\Product\\data\\readme.txt", b"read me\r\n" * 300),
        kits.Entry(b"D:lib.dll", bytes(range(256)) * 40),
    ]


class Run:
    """One loader run under the driver."""

    # Wine itself now and then fails to start a program when several tests
    # share its server under load (no answer at all, or the driver reporting
    # that CreateProcess failed). Such a run says nothing about the loader and
    # is tried once more; whatever the loader did is never retried.
    ATTEMPTS = 2
    WINE_TIMEOUT = 150

    def __init__(self, case, program, args=(), tmp=None, record=True, prefix=None,
                 decode=lambda raw: raw.decode("latin-1")):
        """prefix: a TestPrefix whose registry names the temporary folder
        (then TMP and TEMP are not set here, and tmp only says where to
        look); decode: how the probe's record is read."""
        self.tmp = tmp
        problems = []
        for _ in range(self.ATTEMPTS):
            self.record_path = os.path.join(case.scratch, "record-%d.txt" % case.next_id())
            env = dict(prefix.env if prefix else os.environ)
            env["PROBE_RECORD"] = win(self.record_path)
            tmp_text = win(tmp) if tmp is not None else ""
            command = [WINE_RUN, DRIVER, "--timeout", "30000", program, *args]
            if prefix is None:
                command[1:1] = [WITH_ENV, "TMP=" + tmp_text, "TEMP=" + tmp_text, "--"]
            try:
                proc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      timeout=self.WINE_TIMEOUT)
            except subprocess.TimeoutExpired:
                problems.append("no answer from Wine in %d s" % self.WINE_TIMEOUT)
                continue
            out = proc.stdout.decode("latin-1")
            lines = [line for line in out.splitlines() if line.startswith("{")]
            seen = json.loads(lines[-1]) if lines else {}
            if proc.returncode != 0 or not seen.get("started"):
                problems.append("the driver failed (exit %d):\n%s%s"
                                % (proc.returncode, out, proc.stderr.decode("latin-1")))
                continue
            self.seen = seen
            self.code = seen["exit_code"]
            # After a failure the record is only looked for (the box has been
            # up for a while): an installer started by mistake shows here.
            self.record = read_record(self.record_path,
                                      timeout=15 if record and self.code == 0 else 0,
                                      decode=decode)
            if problems:
                print("Wine run retried after: %s" % problems[-1], file=sys.stderr)
            return
        raise AssertionError("\n".join(problems))


class LoaderCase(KitCase):
    LOADER_NAME = "setup.exe"
    WORKING_FOLDER = WORKING_FOLDER

    def setUp(self):
        for name, path in [("E2E_LOADER", LOADER), ("E2E_PROBE", PROBE), ("E2E_DRIVER", DRIVER),
                           ("E2E_WITH_ENV", WITH_ENV), ("E2E_WINE_RUN", WINE_RUN)]:
            if not os.path.isfile(path):
                self.fail("%s must name a built program (got %r)" % (name, path))
        self.start(LOADER, "ldr-wine-e2e-")

    def run_kit(self, kit, args=(), tmp=None, record=True, program=None):
        if tmp is None:
            tmp = self.folder("tmp-%d" % (self._ids + 1))
        return Run(self, program or kit.loader_path, args, tmp, record)

    def assertSucceeded(self, run):
        self.assertFalse(run.seen["timed_out"])
        self.assertFalse(run.seen["box"], run.seen["box_text"])
        self.assertEqual(run.code, 0)
        self.assertIsNotNone(run.record, "the installer was not started")

    def assertReported(self, run, message, owner="Setup"):
        """The one error box: text, caption, owner, exit code 1."""
        seen = run.seen
        self.assertFalse(seen["timed_out"])
        self.assertTrue(seen["box"], "no error box")
        self.assertEqual(seen["box_text"], message)
        self.assertEqual(seen["box_caption"], CAPTION)
        self.assertEqual(seen["buttons"], ["OK"])
        self.assertEqual(seen["owner_class"], owner)
        self.assertEqual(run.code, 1)
        self.assertIsNone(run.record)


class CommandLineForms(LoaderCase):
    """The installer's command line, verbatim, for each container and switch
    variant."""

    CASES = [
        # container, kit folder, loader arguments, switch word (None: plain form)
        ("external", "kit", [], None),
        ("external", "kit", ["*TODISK"], "TODISK"),
        ("external", "kit", ["*todisk"], "TODISK"),
        ("external", "kit", ["TODISK"], None),
        ("external", "kit", ["/TODISK"], None),
        ("external", "kit", ["*TODISKS"], None),
        ("external", "kit", ["other", "*TODISK"], None),
        ("external", "kit", ['"*TODISK"'], "TODISK"),
        ("external", "kit", ['""', "*todisk"], "TODISK"),
        ("external", "kit", ['a"b c"d'], None),
        ("external", "kit-\u00e9", ["*todisk"], "TODISK"),    # ANSI, code page 1252
        # A blank in the loader's folder: quoted on the installer's line.
        ("self", "kit with blank", ['"*TODISK"'], "TODISK"),
        ("self", "kit", [], "SELFEXTRACT"),
        ("self", "kit", ["*TODISK"], "TODISK"),
        ("self", "kit", ["x", "*TODISK"], "SELFEXTRACT"),
    ]

    def test_forms(self):
        for n, (container, folder_name, args, word) in enumerate(self.CASES):
            with self.subTest(container=container, folder=folder_name, args=args):
                make = self.external if container == "external" else self.self_extracting
                kit = make(os.path.join("case-%d" % n, folder_name), [probe_entry()])
                run = self.run_kit(kit, args)
                self.assertSucceeded(run)
                installer = win(os.path.join(self.working_folder(run), "install.exe"))
                folder = win(os.path.dirname(kit.loader_path))
                if " " in folder:
                    folder = '"%s"' % folder
                if word is None:
                    expected = "%s %s" % (installer, folder)
                else:
                    expected = "%s *%s setup.exe %s" % (installer, word, folder)
                self.assertEqual(run.record.cmdline, expected)
                self.assertEqual(run.record.path.lower(), installer.lower())


class Containers(LoaderCase):
    def test_missing_container_forms(self):
        def write_old(p):
            with open(p, "wb") as f:
                f.write(kits.archive([probe_entry()]))
            kits.set_year(p, 1975)
        cases = {"absent": lambda p: None, "folder": os.mkdir, "before 1980": write_old}
        for n, (name, plant) in enumerate(cases.items()):
            with self.subTest(name):
                folder = self.folder("kit-%d" % n)
                path = os.path.join(folder, "setup.exe")
                with open(path, "wb") as f:
                    f.write(self.loader)
                plant(os.path.join(folder, "setup.1"))
                run = self.run_kit(kits.Kit(path))
                self.assertReported(run, MSG_NO_SETUP1 + win(folder))
                self.assertTrue(run.seen["setup_visible_during_box"])

    def test_installer_name_is_the_name_part_and_second_archive_unread(self):
        kit = self.self_extracting("kit", [probe_entry(b"D:\\Deep\\Folder\\main.exe"),
                                           *data_entries()])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        self.assertEqual(run.record.cmdline.split(" ")[0], win(os.path.join(folder, "main.exe")))
        self.assertEqual(sorted(os.listdir(folder)), ["lib.dll", "main.exe", "readme.txt"])

    def test_long_command_line_is_handed_over_whole(self):
        """Never a cut line: cut at 255 characters, the folder named a prefix
        of itself, where anyone could have put a kit of their own."""
        folder = os.path.join(self.scratch, "kit")
        while len(win(folder)) < 235:
            folder = os.path.join(folder, "d" * min(20, 235 - len(win(folder))))
        kit = self.self_extracting(os.path.relpath(folder, self.scratch), [probe_entry()])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        full = "%s *SELFEXTRACT setup.exe %s" % (installer, win(folder))
        self.assertGreater(len(full), 255)
        self.assertEqual(run.record.cmdline, full)
        self.assertEqual(run.record.args[1:], ["*SELFEXTRACT", "setup.exe", win(folder)])

    def test_loader_name_and_folder_reach_the_installer_whole(self):
        """A kit downloaded twice, in a folder with a blank and an "&": each
        is one argument, and a batch installer runs no second command."""
        kit = self.self_extracting("Tools & Extras", [probe_entry()], loader_name="setup (1).exe")
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        folder = win(os.path.dirname(kit.loader_path))
        self.assertEqual(run.record.cmdline,
                         '%s *SELFEXTRACT "setup (1).exe" "%s"' % (installer, folder))
        self.assertEqual(run.record.args, [installer, "*SELFEXTRACT", "setup (1).exe", folder])

        record = b'"%PROBE_RECORD%.part"'
        batch = b"".join([b"@echo off\r\n",
                          b"> " + record + b" echo path=%~f0\r\n",
                          *[b">> " + record + b" echo arg=%" + n + b"\r\n" for n in (b"1", b"2", b"3", b"4")],
                          b'move /y ' + record + b' "%PROBE_RECORD%" > nul\r\n'])
        kit = self.self_extracting("More & Tools", [kits.Entry(b"C:\\x\\install.bat", batch)],
                                   loader_name="a&b.exe")
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = win(os.path.dirname(kit.loader_path))
        # cmd.exe keeps the quotes in %1..%4 and ends each line in CR.
        self.assertEqual([a.rstrip("\r") for a in run.record.args],
                         ["*SELFEXTRACT", '"a&b.exe"', '"%s"' % folder, ""])
        self.assertEqual(os.listdir(os.path.dirname(kit.loader_path)), ["a&b.exe"])

    def test_batch_installer_is_not_handed_a_percent_sign(self):
        kit = self.self_extracting("100%", [kits.Entry(b"C:\\x\\install.bat", b"@echo off\r\n")])
        run = self.run_kit(kit)
        installer = win(os.path.join(self.working_folder(run), "install.bat"))
        self.assertReported(run, "LOADER: Could not run the installation executable file %s. It is "
                            "a batch file, and a batch file cannot be handed a %%, ! or \" safely, "
                            "as in: %s" % (installer, win(os.path.dirname(kit.loader_path))))

    def test_long_temporary_folder_starts_the_installer_itself(self):
        """The installer's own path past 255 characters: cut, it named a
        shorter file of the archive, which the loader started instead."""
        name = "installer-program.exe"
        entries = [probe_entry(name.encode())]
        entries += [kits.Entry(name[:n].encode(), b"MZ not this one") for n in range(1, len(name))]
        # The installer's path is the folder, "\ldx" and 1 to 4 digits, "\"
        # and the name: 256 to 259 characters from a folder of 229 (beyond
        # 259 the system creates no file and starts no program).
        tmp = os.path.join(self.scratch, "t")
        while len(win(tmp)) < 229:
            tmp = os.path.join(tmp, "t" * min(30, 228 - len(win(tmp))))
        os.makedirs(tmp)
        self.assertEqual(len(win(tmp)), 229)
        kit = self.external("kit", entries)
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), name))
        self.assertGreater(len(installer), 255)
        self.assertEqual(run.record.path.lower(), installer.lower())


    def test_installer_path_with_a_blank_is_quoted(self):
        tmp = self.folder("tmp with blank")
        kit = self.external("kit", [probe_entry()])
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        self.assertEqual(run.record.cmdline,
                         '"%s" %s' % (installer, win(os.path.dirname(kit.loader_path))))

    def test_loader_at_the_root_of_a_drive(self):
        """K: mapped to a scratch folder through the prefix's dosdevices: the
        loader's folder is "K:", setup.1 is looked for as K:\\setup.1."""
        prefix = os.environ.get("WINEPREFIX", "/tmp/loaderkit-wine")
        devices = os.path.join(prefix, "dosdevices")
        if not os.path.isdir(devices):
            self.fail("no Wine prefix at %s" % prefix)
        drive = None
        for letter in "klmnopqrstuvwxy":
            link = os.path.join(devices, letter + ":")
            try:
                os.symlink(self.folder("drive"), link)
            except FileExistsError:
                continue
            drive = letter.upper() + ":"
            self.addCleanup(os.remove, link)
            break
        if drive is None:
            self.fail("no free drive letter in %s" % devices)
        root = self.folder("drive")
        loader = os.path.join(root, "setup.exe")
        with open(loader, "wb") as f:
            f.write(self.loader)
        run = self.run_kit(kits.Kit(loader), program=drive + "\\setup.exe")
        self.assertReported(run, MSG_NO_SETUP1 + drive)
        with open(os.path.join(root, "setup.1"), "wb") as f:
            f.write(kits.archive([probe_entry()]))
        run = self.run_kit(kits.Kit(loader), program=drive + "\\setup.exe")
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        self.assertEqual(run.record.cmdline, "%s %s" % (installer, drive))
        # Self-extracting at the root: the folder is "K:" in that form too.
        os.remove(os.path.join(root, "setup.1"))
        kits.write_self_extracting_kit(root, self.loader, [probe_entry()], loader_name="setup.exe")
        run = self.run_kit(kits.Kit(loader), program=drive + "\\setup.exe")
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        self.assertEqual(run.record.cmdline, "%s *SELFEXTRACT setup.exe %s" % (installer, drive))


class Failures(LoaderCase):
    def test_messages(self):
        probe = probe_entry()
        cases = [
            ("no entries, external", self.external, [probe], {"file_count": 0}, MSG_NO_FILES),
            ("no entries, self-extracting", self.self_extracting, [], {}, MSG_NO_FILES),
            ("51 entries", self.external, [probe], {"file_count": 51}, MSG_TOO_MANY),
            ("corrupt stream", self.external,
             [kits.Entry(b"install.exe", b"x", stream=b"\x78\xda garbage")], {}, "error"),
        ]
        for n, (name, make, entries, knobs, message) in enumerate(cases):
            with self.subTest(name):
                kit = make("kit-%d" % n, entries, **knobs)
                self.assertReported(self.run_kit(kit), message)

    def test_hostile_names_write_nothing_outside_the_working_folder(self):
        """Names whose name part would leave the working folder, name it, or
        name a device are refused like a file that cannot be created."""
        for n, name in enumerate([b"../../escaped.txt", b"C:\\x\\..", b"C:\\x\\...",
                                  b"C:\\x\\CON"]):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(), kits.Entry(name, b"payload")])
                run = self.run_kit(kit)
                folder = self.working_folder(run)
                part = name.decode().replace("\\", ":").split(":")[-1]
                self.assertReported(run, MSG_CANNOT_CREATE + win(folder) + "\\" + part)
                self.assertEqual(sorted(os.listdir(folder)), ["install.exe"])
                for root, _, files in os.walk(self.scratch):
                    self.assertNotIn("escaped.txt", files, root)

    def test_temporary_folder_that_does_not_exist(self):
        kit = self.external("kit", [probe_entry()])
        run = self.run_kit(kit, tmp=os.path.join(self.scratch, "no-such-folder"))
        self.assertReported(run, MSG_NO_TEMP)

    def test_installer_that_cannot_be_started(self):
        content = b"\x01\x02 not a program " * 100
        kit = self.external("kit", [kits.Entry(b"C:\\x\\install.exe", content)])
        run = self.run_kit(kit)
        self.assertReported(run, MSG_CANNOT_RUN + "11")
        self.assertEqual(read_bytes(os.path.join(self.working_folder(run), "install.exe")),
                         content)


class DoubleByteNames(LoaderCase):
    """On a Japanese system (code page 932) a name could pass the
    device-name rule on its bytes and still open a device: the system drops a
    lone lead byte at the end ("NUL" and 0x81). Where the system honours the
    loader's manifest (Wine does), the loader's code page is UTF-8, where the
    same byte is no valid character either. Either way the name is refused:
    it does not convert cleanly in the loader's code page. (The conversion in
    code page 932 itself: platform_contract_test_cp932.)"""

    def run_japanese(self, kit):
        saved = {k: os.environ.get(k) for k in ("LANG", "LC_ALL")}
        os.environ["LANG"] = os.environ["LC_ALL"] = "ja_JP.UTF-8"
        try:
            return self.run_kit(kit)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v

    def test_device_names_hidden_by_a_lone_lead_byte_are_refused(self):
        for n, name in enumerate([b"C:\\x\\NUL\x81", b"C:\\x\\COM1\x81"]):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(), kits.Entry(name, b"payload")])
                run = self.run_japanese(kit)
                self.assertTrue(run.seen["box"], "no error box: the name was written")
                self.assertTrue(run.seen["box_text"].startswith(MSG_CANNOT_CREATE),
                                run.seen["box_text"])
                self.assertEqual(run.code, 1)
                self.assertIsNone(run.record)
                self.assertEqual(os.listdir(self.working_folder(run)), ["install.exe"])


class FullDisk(LoaderCase):
    def test_full_disk_in_the_middle_of_an_entry(self):
        tmp = self.folder("small-tmp")
        why_not = mount_tmpfs(tmp, "2m")
        if why_not:
            self.skipTest(why_not)
        self.addCleanup(unmount, tmp)
        big = os.urandom(4 << 20)
        kit = self.external("kit", [probe_entry(), kits.Entry(b"big.bin", big, level=1)])
        run = self.run_kit(kit, tmp=tmp)
        folder = self.working_folder(run)
        target = os.path.join(folder, "big.bin")
        self.assertReported(run, msg_disk_full(win(target)))
        written = read_bytes(target)
        self.assertGreater(len(written), 0)
        self.assertEqual(written, big[:len(written)])


class Leftovers(LoaderCase):
    def test_after_success_and_after_failure(self):
        for n, broken in enumerate([False, True]):
            with self.subTest(broken=broken):
                entries = [probe_entry(), *data_entries()]
                if broken:
                    entries.append(kits.Entry(b"broken.bin", b"y", stream=b"\x78\x9c\xff\xff"))
                kit = self.self_extracting("kit-%d" % n, entries)
                run = self.run_kit(kit)
                if broken:
                    self.assertReported(run, "error")
                else:
                    self.assertSucceeded(run)
                folder = self.working_folder(run)
                temp_files = [f for f in os.listdir(run.tmp) if TEMP_FILE.match(f)]
                self.assertEqual(temp_files, [os.path.basename(folder) + ".tmp"])
                self.assertEqual(os.path.getsize(os.path.join(run.tmp, temp_files[0])), 0)
                for name, entry in [("install.exe", entries[0]), ("readme.txt", entries[1]),
                                    ("lib.dll", entries[2])]:
                    self.assertEqual(read_bytes(os.path.join(folder, name)), entry.data, name)



class SharedTemporaryFolder(LoaderCase):
    """Every name the working folder could take exists already: the files go
    straight into the temporary folder, and the installer's path is that
    folder's path and its name."""

    def test_files_go_into_the_temporary_folder(self):
        tmp, clean_tmp = memory_folder("ldr-wine-e2e-shared-")
        self.addCleanup(clean_tmp)
        for number in range(1, 0x10000):
            os.mkdir(os.path.join(tmp, "ldx%x" % number))
        kit = self.external("kit", [probe_entry(), data_entries()[0]])
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        self.assertEqual(run.record.cmdline, "%s %s" % (win(os.path.join(tmp, "install.exe")),
                                                        win(os.path.dirname(kit.loader_path))))
        self.assertEqual(read_bytes(os.path.join(tmp, "readme.txt")), data_entries()[0].data)


# Cyrillic and Chinese: outside code page 1252, the ANSI code page of a
# Western Windows (and of Wine here).
TEMP_NAME = "\u0442\u0435\u043c\u043f-\u4e34\u65f6"     # "temp", Russian and Chinese
KIT_NAME = "\u043d\u0430\u0431\u043e\u0440-\u5957\u4ef6"    # "kit"
DATA_NAME = "\u0434\u0430\u043d\u043d\u044b\u0435-\u6570\u636e.txt"  # "data"
ENVIRONMENT_KEY = r"HKEY_CURRENT_USER\Environment"


def utf8_text(driver_text):
    """A text of the driver's JSON: UTF-8 bytes escaped one by one."""
    return driver_text.encode("latin-1").decode("utf-8")


class UnicodeFolders(LoaderCase):
    """A user whose temporary folder (HKCU\\Environment TEMP and TMP of a
    prefix of the test's own) and whose kit folder hold characters outside
    the ANSI code page: with UTF-8 as the loader's code page the working
    folder is made in that temporary folder, every name arrives intact and
    the installer finds the kit."""

    def setUp(self):
        super().setUp()
        for name, path in [("E2E_PROBE_UTF8", PROBE_UTF8), ("E2E_INSTALLER", INSTALLER)]:
            if not os.path.isfile(path):
                self.fail("%s must name a built program (got %r)" % (name, path))
        self.tmp = self.folder(TEMP_NAME)
        self.prefix = TestPrefix(WINE_RUN, os.path.join(self.scratch, "prefix"),
                                 {ENVIRONMENT_KEY: {"TEMP": win(self.tmp), "TMP": win(self.tmp)}})
        self.prefix.__enter__()
        self.addCleanup(self.prefix.__exit__, None, None, None)

    def test_probe_receives_both_folders_and_a_utf8_name_is_created(self):
        data = "\u043f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d\r\n".encode("utf-8") * 50
        entries = [kits.Entry(b"C:\\KIT\\install.exe", read_bytes(PROBE_UTF8)),
                   kits.Entry(("C:\\KIT\\" + DATA_NAME).encode("utf-8"), data)]
        kit = self.self_extracting(os.path.join(KIT_NAME, "probe"), entries)
        run = Run(self, kit.loader_path, tmp=self.tmp, prefix=self.prefix,
                  decode=lambda raw: raw.decode("utf-8"))
        self.assertFalse(run.seen["timed_out"])
        self.assertFalse(run.seen["box"], utf8_text(run.seen["box_text"]))
        self.assertEqual(run.code, 0)
        self.assertIsNotNone(run.record, "the installer was not started")
        folder = self.working_folder(run)
        installer = win(os.path.join(folder, "install.exe"))
        self.assertEqual(run.record.cmdline, "%s *SELFEXTRACT setup.exe %s"
                         % (installer, win(os.path.dirname(kit.loader_path))))
        self.assertEqual(run.record.path.lower(), installer.lower())
        self.assertEqual(sorted(os.listdir(folder)), sorted(["install.exe", DATA_NAME]))
        self.assertEqual(read_bytes(os.path.join(folder, DATA_NAME)), data)

    def test_reference_installer_installs_from_the_kit_folder(self):
        payload = [("README.txt", b"read me\r\n"),
                   ("docs\\" + DATA_NAME, DATA_NAME.encode("utf-8") * 100)]
        kit = self.self_extracting(
            os.path.join(KIT_NAME, "installer"),
            [kits.Entry(b"C:\\KIT\\installer.exe", read_bytes(INSTALLER))],
            second=[kits.Entry(name.encode("utf-8"), content) for name, content in payload])
        run = Run(self, kit.loader_path, tmp=self.tmp, prefix=self.prefix, record=False)
        self.assertFalse(run.seen["box"], utf8_text(run.seen["box_text"]))
        self.assertEqual(run.code, 0)
        # The installer goes on after the loader has ended; by default it
        # installs into "installed" in the kit's folder.
        installed = os.path.join(os.path.dirname(kit.loader_path), "installed")
        log = os.path.join(installed, "install.log")
        deadline = time.monotonic() + 60
        while not (os.path.exists(log) and b"done:" in read_bytes(log)):
            self.assertLess(time.monotonic(), deadline, "the installer did not finish")
            time.sleep(0.1)
        for name, content in payload:
            self.assertEqual(read_bytes(os.path.join(installed, *name.split("\\"))), content)
        self.assertIn(("from " + win(kit.loader_path)).encode("utf-8"), read_bytes(log))
        # Then it removes the loader's working folder and .tmp file from the
        # temporary folder, through a script that names them in UTF-8.
        deadline = time.monotonic() + 60
        while [n for n in os.listdir(self.tmp) if n.startswith("ldx")]:
            self.assertLess(time.monotonic(), deadline, os.listdir(self.tmp))
            time.sleep(0.2)


class LongPaths(LoaderCase):
    """A kit in folders whose names take three bytes a character in UTF-8:
    the loader's own path is read whole, however many bytes it takes."""

    CJK = "\u5b89\u88c5\u7a0b\u5e8f\u6587\u4ef6\u5939"  # seven Chinese characters

    def setUp(self):
        # A prefix of the test's own names the temporary folder: the run goes
        # through no program of the ANSI code page, which would turn the
        # kit's path into question marks.
        super().setUp()
        self.tmp = self.folder("tmp")
        self.prefix = TestPrefix(WINE_RUN, os.path.join(self.scratch, "prefix"),
                                 {ENVIRONMENT_KEY: {"TEMP": win(self.tmp), "TMP": win(self.tmp)}})
        self.prefix.__enter__()
        self.addCleanup(self.prefix.__exit__, None, None, None)

    def cjk(self, count):
        return (self.CJK * (count // len(self.CJK) + 1))[:count]

    def genuine_and_planted(self, first, second):
        """The genuine kit at first/second/setup.exe, and a planted kit whose
        name is the genuine path cut after 260 bytes: what a loader that
        cut its own path there would have opened."""
        genuine = self.self_extracting(
            os.path.join(first, second),
            [probe_entry(), kits.Entry(b"C:\\genuine.txt", b"genuine")])
        whole = win(genuine.loader_path).encode("utf-8")
        cut = whole[:260].decode("utf-8")
        planted_name = cut[len(win(os.path.join(self.scratch, first))) + 1:]
        self.assertTrue(planted_name and second.startswith(planted_name), planted_name)
        planted = kits.write_self_extracting_kit(
            self.folder(first), self.loader,
            [probe_entry(), kits.Entry(b"C:\\planted.txt", b"planted")],
            loader_name=planted_name)
        return genuine, planted

    def test_kit_in_a_folder_of_100_cjk_characters_plants_nothing(self):
        # The cut must fall on a character boundary inside the second folder
        # for the planted name to be a name at all: ASCII letters in front of
        # it move the boundary. The first folder shrinks for a long scratch path.
        base = len(win(self.scratch).encode("utf-8")) + 1
        first_count = max(16, min(60, (200 - base) // 3))
        if base + 3 * first_count + 1 + 12 >= 260:
            self.skipTest("the scratch path is too long to place the cut: %d bytes" % base)
        room = 260 - (base + 3 * first_count + 1)
        letters = room % 3 or 3
        first = self.cjk(first_count)
        second = "k" * letters + self.cjk(100 - first_count)
        genuine, planted = self.genuine_and_planted(first, second)
        self.assertGreater(len(win(genuine.loader_path).encode("utf-8")), 260)
        run = Run(self, genuine.loader_path, tmp=self.tmp, prefix=self.prefix)
        self.assertSucceeded(run)
        self.assertEqual(sorted(os.listdir(self.working_folder(run))),
                         ["genuine.txt", "install.exe"])


class ExecutionLevel(LoaderCase):
    """A kit built by kitpack with --execution-level requireAdministrator:
    its manifest says so, it verifies, and it runs (Wine elevates silently)."""

    def test_require_administrator(self):
        if not os.path.isfile(KITPACK):
            self.fail("no host kitpack at %r: build the native preset first" % KITPACK)
        folder = self.folder("kit")
        kit_path = os.path.join(folder, "setup.exe")
        subprocess.run([KITPACK, "build", "--loader", LOADER,
                        "--installer", PROBE + "=C:\\KIT\\install.exe",
                        "-o", kit_path, "--execution-level", "requireAdministrator"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        root = pe_manifest.manifest(kit_path)
        self.assertEqual(pe_manifest.execution_level(root), ("requireAdministrator", "false"))
        verified = subprocess.run([KITPACK, "verify", kit_path], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(verified.returncode, 0, verified.stderr)
        self.assertEqual(verified.stderr, b"")
        # Only the manifest differs from the loader as built.
        loader = read_bytes(LOADER)
        kit = read_bytes(kit_path)
        at, size = pe_manifest.resource(loader, pe_manifest.RT_MANIFEST, 1)
        changed = [i for i in range(len(loader)) if loader[i] != kit[i]]
        self.assertTrue(changed and all(at <= i < at + size for i in changed))
        run = self.run_kit(kits.Kit(kit_path))
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        self.assertEqual(run.record.cmdline, "%s *SELFEXTRACT setup.exe %s" % (installer, win(folder)))


if __name__ == "__main__":
    unittest.main()
