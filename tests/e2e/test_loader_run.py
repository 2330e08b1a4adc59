"""End-to-end runs of the loader: real kits, the real loader program, a
probe installer that records what it was handed, a scratch temporary folder
per run. E2E_HOST says where: "posix" runs the POSIX loader directly,
"wine" runs loader.exe under Wine, watched by the error-box driver (every
run: wine-run with_env.exe TMP=... TEMP=... -- loaderdrive.exe loader.exe
[args]; the driver reports the exit code and the error box as JSON).

Environment: see tests/support/ldkit/hosts.py; under Wine, for
UnicodeFolders also E2E_PROBE_UTF8 (the probe with UTF-8 as its code page)
and E2E_INSTALLER (the reference installer), for ExecutionLevel E2E_KITPACK
(kitpack of the native build).
"""

import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import kits  # noqa: E402
from ldkit import manifest as pe_manifest  # noqa: E402
from ldkit.e2e import (MSG_CANNOT_CREATE, MSG_CANNOT_RUN, MSG_NO_FILES, MSG_NO_SETUP1,  # noqa: E402
                       MSG_NO_TEMP, MSG_TOO_MANY, PROCESS_TIMEOUT, memory_folder, mount_tmpfs,
                       msg_disk_full, read_bytes, read_record, unmount)
from ldkit.hosts import HOST, LOADER, PROBE, WINE_RUN, LoaderCase, WineRun, only_on  # noqa: E402
from ldkit.users import as_other_user, second_user  # noqa: E402
from ldkit.wine import TestPrefix, win  # noqa: E402

POSIX = HOST.name == "posix"
INSTALL = "install" + HOST.EXE  # the probe's name in the kits


def probe_entry(name=b"C:\\Program Files\\Product\\" + INSTALL.encode()):
    return kits.Entry(name, read_bytes(PROBE))


def data_entries():
    if POSIX:
        return [
            kits.Entry(b"C:\\Product\\data\\readme.txt", b"read me\n" * 300),
            kits.Entry(b"D:lib.bin", bytes(range(256)) * 40),
            kits.Entry(b"empty.dat", b""),
        ]
    return [
        kits.Entry(b"C:\\Product\\data\\readme.txt", b"read me\r\n" * 300),
        kits.Entry(b"D:lib.dll", bytes(range(256)) * 40),
    ]


def write_file(path, content):
    with open(path, "wb") as f:
        f.write(content)


def write_loader(case, folder, name=None):
    path = os.path.join(folder, name or case.LOADER_NAME)
    write_file(path, case.loader)
    os.chmod(path, 0o755)
    return path


def read_record_file(path, timeout=15):
    """The content of a file another process writes, once it is there."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            content = read_bytes(path)
            if content.endswith(b"\n"):
                return content
        time.sleep(0.02)
    return None


def short_private_folder(case):
    """A fresh folder under /tmp, only the user's: a UNIX socket's path must
    stay short (108 bytes), which a build tree's may not."""
    folder = tempfile.mkdtemp(prefix="ldr-", dir="/tmp")
    case.addCleanup(shutil.rmtree, folder, True)
    return folder


class RunsOnThisHost(LoaderCase):
    def installer(self, run, name=INSTALL):
        """The installer's path in the run's working folder, as the host
        spells it."""
        return HOST.path(os.path.join(self.working_folder(run), name))

    def loader_folder(self, kit):
        return HOST.path(os.path.dirname(kit.loader_path))

    def assertHanded(self, run, *words):
        self.assertEqual(HOST.handed(run.record), HOST.command(*words))


class CommandLineForms(RunsOnThisHost):
    """Which of the three forms the installer gets, for each container and
    switch variant, as the installer received it."""

    CASES = [
        # container, kit folder, loader arguments, switch word (None: plain form)
        ("external", "kit", [], None),
        ("external", "kit", ["*TODISK"], "TODISK"),
        ("external", "kit", ["*todisk"], "TODISK"),
        ("external", "kit", ["TODISK"], None),
        ("external", "kit", ["/TODISK"], None),
        ("external", "kit", ["*TODISKS"], None),
        ("external", "kit", ["other", "*TODISK"], None),
        ("external", "kit", ['"*TODISK"'], "TODISK"),      # quotes are dropped
        ("external", "kit-\u00e9", ["*todisk"], "TODISK"),  # non-ASCII (Windows: code page 1252)
        ("self", "kit", [], "SELFEXTRACT"),
        ("self", "kit", ["*TODISK"], "TODISK"),            # the switch wins
        ("self", "kit", ["x", "*TODISK"], "SELFEXTRACT"),
    ]
    POSIX_CASES = [
        ("external", "kit", ["*ToDisk", "more", "words"], "TODISK"),
        ("external", "kit", ["*TODIS"], None),
        ("external", "kit", ["", "*todisk"], "TODISK"),     # an empty quoted pair is blank
        ("external", "kit", ["* TODISK"], None),           # one quoted word with a blank
        ("self", "kit", ["*todisk"], "TODISK"),
        ("self", "kit", ["TODISK"], "SELFEXTRACT"),
    ]
    WINE_CASES = [
        ("external", "kit", ['""', "*todisk"], "TODISK"),
        ("external", "kit", ['a"b c"d'], None),
        # A blank in the loader's folder: quoted on the installer's line.
        ("self", "kit with blank", ['"*TODISK"'], "TODISK"),
    ]

    def test_forms(self):
        cases = self.CASES + (self.POSIX_CASES if POSIX else self.WINE_CASES)
        for n, (container, folder_name, args, word) in enumerate(cases):
            with self.subTest(container=container, folder=folder_name, args=args):
                make = self.external if container == "external" else self.self_extracting
                kit = make(os.path.join("case-%d" % n, folder_name), [probe_entry()])
                run = self.run_kit(kit, args)
                self.assertSucceeded(run)
                installer = self.installer(run)
                folder = self.loader_folder(kit)
                if word is None:
                    self.assertHanded(run, installer, folder)
                else:
                    self.assertHanded(run, installer, "*" + word, self.LOADER_NAME, folder)
                self.assertEqual(HOST.same_path(run.record.path), HOST.same_path(installer))


class Containers(RunsOnThisHost):
    def test_missing_container_forms(self):
        """A missing "setup.1", a folder of that name and one dated before
        1980 all count as missing; the message names the loader's folder."""
        def write_old(p):
            write_file(p, kits.archive([probe_entry()]))
            kits.set_year(p, 1975)
        cases = {"absent": lambda p: None, "folder": os.mkdir, "before 1980": write_old}
        for n, (name, plant) in enumerate(cases.items()):
            with self.subTest(name):
                folder = self.folder("kit-%d" % n)
                path = write_loader(self, folder)
                plant(os.path.join(folder, "setup.1"))
                run = self.run_kit(kits.Kit(path))
                self.assertReported(run, MSG_NO_SETUP1 + HOST.path(folder))
                if not POSIX:
                    self.assertTrue(run.seen["setup_visible_during_box"])

    def test_long_command_line_is_handed_over_whole(self):
        """Never a cut line: a loader folder that takes the line past 255
        characters reaches the installer whole (cut, it named a prefix of the
        folder, which anyone could create with a kit of their own)."""
        length = 240 if POSIX else 235
        folder = os.path.join(self.scratch, "kit")
        while len(HOST.path(folder)) < length:
            folder = os.path.join(folder, "d" * min(20, length - len(HOST.path(folder))))
        kit = self.self_extracting(os.path.relpath(folder, self.scratch), [probe_entry()])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        words = [self.installer(run), "*SELFEXTRACT", self.LOADER_NAME, HOST.path(folder)]
        self.assertGreater(len(HOST.line(*words)), 255)
        self.assertHanded(run, *words)
        self.assertEqual(run.record.args[1:], words[1:])

    def test_long_temporary_folder_starts_the_installer_itself(self):
        """The installer's own path past 255 characters: cut, it named a
        shorter file of the archive, which the loader started instead."""
        name = "installer-program" + HOST.EXE
        if POSIX:
            decoy, length = b"#!/bin/sh\necho decoy > \"$PROBE_RECORD\"\n", 245
        else:
            # The installer's path is the folder, "\ldx" and 1 to 4 digits,
            # "\" and the name: 256 to 259 characters from a folder of 229
            # (beyond 259 the system creates no file and starts no program).
            decoy, length = b"MZ not this one", 229
        entries = [probe_entry(name.encode())]
        entries += [kits.Entry(name[:n].encode(), decoy) for n in range(1, len(name))]
        tmp = os.path.join(self.scratch, "t")
        while len(HOST.path(tmp)) < length:
            room = length - len(HOST.path(tmp)) - 1  # after the separator
            # The last folder fills the room exactly; none before leaves none.
            tmp = os.path.join(tmp, "t" * (room if room <= 30 else min(30, room - 2)))
        os.makedirs(tmp)
        self.assertEqual(len(HOST.path(tmp)), length)
        kit = self.external("kit", entries)
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        installer = self.installer(run, name)
        self.assertGreater(len(installer), 255)
        self.assertEqual(HOST.same_path(run.record.path), HOST.same_path(installer))

    def test_installer_path_with_a_blank_is_quoted(self):
        """A temporary folder with a blank: the installer's path must reach it
        as one word, and its other arguments unchanged."""
        for container in ("external", "self"):
            with self.subTest(container):
                tmp = self.folder(os.path.join(container, "tmp with blank"))
                make = self.external if container == "external" else self.self_extracting
                kit = make("kit-" + container, [probe_entry()])
                run = self.run_kit(kit, tmp=tmp)
                self.assertSucceeded(run)
                installer = self.installer(run)
                self.assertIn(" ", installer)
                if container == "external":
                    self.assertHanded(run, installer, self.loader_folder(kit))
                else:
                    self.assertHanded(run, installer, "*SELFEXTRACT", self.LOADER_NAME,
                                      self.loader_folder(kit))

    @only_on("posix")
    def test_setup1_that_is_no_regular_file_is_there_but_cannot_be_read(self):
        """A FIFO or a socket named setup.1 exists (anything but a folder
        does), is never waited on, and cannot be opened for reading."""
        for n, kind in enumerate(["fifo", "socket"]):
            with self.subTest(kind):
                # A socket's path has a short limit: its kit lies under /tmp.
                folder = (self.folder("special-%d" % n) if kind == "fifo"
                          else short_private_folder(self))
                path = write_loader(self, folder)
                setup1 = os.path.join(folder, "setup.1")
                if kind == "fifo":
                    os.mkfifo(setup1)
                    run = self.run_kit(kits.Kit(path))
                else:
                    with socket.socket(socket.AF_UNIX) as s:
                        s.bind(setup1)
                        run = self.run_kit(kits.Kit(path))
                self.assertReported(run, "The file %s could not be opened for reading" % setup1)

    @only_on("posix")
    def test_loader_in_a_folder_deeper_than_260_characters(self):
        """Host paths follow the system's path limit, not Windows' 260."""
        deep = self.folder("kit-deep")
        while len(deep) < 400:
            deep = os.path.join(deep, "a-folder-with-a-long-name-" + "x" * 30)
        os.makedirs(deep)
        kit = kits.write_self_extracting_kit(deep, self.loader, [probe_entry()],
                                             loader_name=self.LOADER_NAME)
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        self.assertEqual(run.record.args[-1], deep)

    @only_on("posix")
    def test_setup1_dated_in_range_is_found(self):
        kit = self.external("kit", [probe_entry()])
        kits.set_year(os.path.join(os.path.dirname(kit.loader_path), "setup.1"), 1981)
        self.assertSucceeded(self.run_kit(kit))

    @only_on("posix")
    def test_second_archive_is_never_read(self):
        """The self-extracting file holds a second archive after the first;
        only the first one's files appear."""
        second = [kits.Entry(b"second-%02d.bin" % n, b"second" * n) for n in range(60)]
        kit = self.self_extracting("kit", [probe_entry(), *data_entries()], second=second)
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        self.assertEqual(sorted(os.listdir(self.working_folder(run))),
                         ["empty.dat", "install", "lib.bin", "readme.txt"])

    @only_on("posix")
    def test_fifty_entries_are_all_extracted(self):
        extra = [kits.Entry(b"C:\\f\\file-%02d.txt" % n, b"%d\n" % n * n) for n in range(49)]
        kit = self.external("kit", [probe_entry(), *extra])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        self.assertEqual(len(os.listdir(folder)), 50)
        for n, entry in enumerate(extra):
            self.assertEqual(read_bytes(os.path.join(folder, "file-%02d.txt" % n)), entry.data)

    @only_on("posix")
    def test_installer_name_is_the_name_part_of_a_full_path(self):
        for n, name in enumerate([b"C:\\Program Files\\Product\\setup-main",
                                  b"D:setup-main", b"\\\\server\\share\\setup-main"]):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(name)])
                run = self.run_kit(kit)
                self.assertSucceeded(run)
                self.assertEqual(run.record.args[0],
                                 os.path.join(self.working_folder(run), "setup-main"))

    @only_on("posix")
    def test_paths_with_quotes_and_blanks_reach_the_installer_as_they_are(self):
        """The arguments are handed over as built, never re-split from text:
        a double quote in the temporary folder made the loader start a
        program at another path, and a kit downloaded twice ("setup (1)")
        reached the installer in two pieces."""
        tmp = self.folder('x/a"b"')
        planted = self.folder("x/ab")
        kit = self.self_extracting("Tools & Extras", [probe_entry()], loader_name="setup (1)")
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        installer = os.path.join(self.working_folder(run), "install")
        self.assertTrue(installer.startswith(tmp + "/"), installer)
        self.assertEqual(run.record.args,
                         [installer, "*SELFEXTRACT", "setup (1)", os.path.dirname(kit.loader_path)])
        self.assertEqual(os.listdir(planted), [])

    @only_on("wine")
    def test_installer_name_is_the_name_part_and_second_archive_unread(self):
        kit = self.self_extracting("kit", [probe_entry(b"D:\\Deep\\Folder\\main.exe"),
                                           *data_entries()])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        self.assertEqual(run.record.cmdline.split(" ")[0], win(os.path.join(folder, "main.exe")))
        self.assertEqual(sorted(os.listdir(folder)), ["lib.dll", "main.exe", "readme.txt"])

    @only_on("wine")
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

    @only_on("wine")
    def test_batch_installer_is_not_handed_a_percent_sign(self):
        kit = self.self_extracting("100%", [kits.Entry(b"C:\\x\\install.bat", b"@echo off\r\n")])
        run = self.run_kit(kit)
        installer = win(os.path.join(self.working_folder(run), "install.bat"))
        self.assertReported(run, "LOADER: Could not run the installation executable file %s. It is "
                            "a batch file, and a batch file cannot be handed a %%, ! or \" safely, "
                            "as in: %s" % (installer, win(os.path.dirname(kit.loader_path))))

    @only_on("wine")
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


@unittest.skipUnless(POSIX, "POSIX only")
class HandOff(RunsOnThisHost):
    def test_loader_ends_while_the_installer_still_runs(self):
        """The installer blocks on a pipe until the test releases it; the
        loader must have ended with exit code 0 before that."""
        fifo = os.path.join(self.scratch, "release")
        os.mkfifo(fifo)
        started = os.path.join(self.scratch, "started")
        script = ("#!/bin/sh\necho up > %s\nread line < %s\necho \"$line\" > %s.done\n"
                  % (started, fifo, started)).encode()
        kit = self.external("kit", [kits.Entry(b"C:\\x\\install", script)])
        run = self.run_kit(kit, record=False)
        self.assertEqual((run.code, run.stderr), (0, ""))
        # The installer is up and still waiting for its release.
        self.assertIsNotNone(read_record_file(started))
        self.assertFalse(os.path.exists(started + ".done"))
        # Opened without blocking, so that a vanished reader cannot hang the
        # test: ENXIO until the installer has the pipe open.
        deadline = time.monotonic() + 15
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                if time.monotonic() > deadline:
                    self.fail("the installer never opened its pipe")
                time.sleep(0.02)
        os.write(fd, b"released\n")
        os.close(fd)
        self.assertEqual(read_record_file(started + ".done"), b"released\n")

    @only_on("posix")
    def test_a_script_installer_finds_its_files_and_no_descriptor_of_the_loader(self):
        """A /bin/sh installer reaches the files unpacked beside it through
        its own $0, and holds no descriptor but the three it was given."""
        seen = os.path.join(self.scratch, "seen")
        script = ("#!/bin/sh\n"
                  "cd \"$(dirname \"$0\")\" && ls > %s.files\n"
                  "echo \"$0\" > %s.name\n"
                  "for f in /proc/$$/fd/*; do readlink \"$f\"; done > %s.fds\n"
                  % (seen, seen, seen)).encode()
        kit = self.self_extracting("kit", [kits.Entry(b"C:\\x\\setup.sh", script),
                                           kits.Entry(b"C:\\x\\data.bin", b"data")])
        run = self.run_kit(kit, record=False)
        self.assertEqual((run.code, run.stderr), (0, ""))
        self.assertEqual(read_record_file(seen + ".files"), b"data.bin\nsetup.sh\n")
        name = read_record_file(seen + ".name").decode().strip()
        self.assertEqual(os.path.basename(name), "setup.sh")
        self.assertTrue(self.WORKING_FOLDER.match(os.path.basename(os.path.dirname(name))), name)
        # The shell holds its script and the file it writes to; nothing else
        # of the test's folders may be open: not the kit, not a folder.
        held = set(read_record_file(seen + ".fds").decode().split("\n")) - {""}
        ours = {name, seen + ".fds"}
        root = os.path.realpath(self.scratch)
        self.assertEqual([t for t in held if t not in ours and t.startswith(root)], [], held)

    def test_loaders_started_together_use_their_own_folders(self):
        tmp = self.folder("shared-tmp")
        kit = self.self_extracting("kit", [probe_entry(), *data_entries()])
        procs = []
        records = []
        for n in range(8):
            record = os.path.join(self.scratch, "together-%d.txt" % n)
            records.append(record)
            procs.append(subprocess.Popen(
                [kit.loader_path], env={"TMPDIR": tmp, "PROBE_RECORD": record},
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        for proc in procs:
            _, err = proc.communicate(timeout=PROCESS_TIMEOUT)
            self.assertEqual((proc.returncode, err), (0, b""))
        installers = set()
        for record in records:
            seen = read_record(record)
            self.assertIsNotNone(seen)
            installers.add(seen.args[0])
        self.assertEqual(len(installers), 8)
        for installer in installers:
            folder = os.path.dirname(installer)
            self.assertTrue(self.WORKING_FOLDER.match(os.path.basename(folder)), folder)
            self.assertEqual(sorted(os.listdir(folder)),
                             ["empty.dat", "install", "lib.bin", "readme.txt"])


@unittest.skipUnless(POSIX, "POSIX only")
class RootOfFileSystem(RunsOnThisHost):
    """A loader in "/" itself. Needs root; the files are put at the real root
    for the run and removed afterwards."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or not os.access("/", os.W_OK):
            self.skipTest("needs to write to / (run as root)")

    def place(self, content):
        path = "/ldr-e2e-%d-%d" % (os.getpid(), self.next_id())
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o755)
        self.addCleanup(os.remove, path)
        return path

    def test_self_extracting_loader_at_root_names_root_as_its_folder(self):
        first = kits.archive([probe_entry()])
        path = self.place(kits.self_extracting(self.loader, first, kits.archive([])))
        run = self.run_kit(kits.Kit(path))
        self.assertSucceeded(run)
        installer = os.path.join(self.working_folder(run), "install")
        self.assertEqual(run.record.args,
                         [installer, "*SELFEXTRACT", os.path.basename(path), "/"])

    def test_external_container_at_root_is_looked_for_at_root(self):
        if os.path.lexists("/setup.1"):
            self.skipTest("/setup.1 exists already")
        path = self.place(self.loader)
        # Relative lookups would find this one in the working directory.
        cwd = self.folder("cwd")
        with open(os.path.join(cwd, "setup.1"), "wb") as f:
            f.write(kits.archive([probe_entry()]))
        old = os.getcwd()
        os.chdir(cwd)
        self.addCleanup(os.chdir, old)
        run = self.run_kit(kits.Kit(path))
        self.assertReported(run, MSG_NO_SETUP1 + "/")


class Failures(RunsOnThisHost):
    def test_messages(self):
        """Damaged kits end in the one report with the right message."""
        probe = probe_entry()
        cases = [
            ("no entries, external", self.external, [probe], {"file_count": 0}, MSG_NO_FILES),
            ("no entries, self-extracting", self.self_extracting, [], {}, MSG_NO_FILES),
            ("51 entries", self.external, [probe], {"file_count": 51}, MSG_TOO_MANY),
            ("corrupt stream", self.external,
             [kits.Entry(INSTALL.encode(), b"x", stream=b"\x78\xda garbage")], {}, "error"),
        ]
        if POSIX:
            cases += [
                ("negative count", self.external, [probe], {"file_count": -1}, MSG_NO_FILES),
                ("count beyond the entries", self.external, [probe], {"file_count": 2},
                 "LOADER: Cannot read a file header in the archive file from SETUP.1"),
            ]
        for n, (name, make, entries, knobs, message) in enumerate(cases):
            with self.subTest(name):
                kit = make("kit-%d" % n, entries, **knobs)
                self.assertReported(self.run_kit(kit), message)

    def test_hostile_names_write_nothing_outside_the_working_folder(self):
        """Names whose name part would leave the working folder, name it, or
        (on Windows) name a device are refused like a file that cannot be
        created."""
        names = [b"../../escaped.txt", b"C:\\x\\.."]
        names += [b"sub/escaped.txt", b"C:\\x\\", b"."] if POSIX else [b"C:\\x\\...", b"C:\\x\\CON"]
        for n, name in enumerate(names):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(), kits.Entry(name, b"payload")])
                run = self.run_kit(kit)
                folder = self.working_folder(run)
                part = name.decode().replace("\\", ":").split(":")[-1]
                self.assertReported(run, MSG_CANNOT_CREATE + HOST.path(folder) + HOST.SEP + part)
                self.assertEqual(sorted(os.listdir(folder)), [INSTALL])
                for root, _, files in os.walk(self.scratch):
                    self.assertNotIn("escaped.txt", files, root)

    def test_temporary_folder_that_does_not_exist(self):
        kit = self.external("kit", [probe_entry()])
        run = self.run_kit(kit, tmp=os.path.join(self.scratch, "no-such-folder"))
        self.assertReported(run, MSG_NO_TEMP)

    def test_installer_that_cannot_be_started(self):
        """The message ends in the start result; the extracted file stays."""
        cases = [("garbage bytes", b"\x01\x02 not a program " * 100, 11)]
        if POSIX:
            cases.append(("missing interpreter", b"#!/no/such/interpreter\n", 2))
        for n, (name, content, result) in enumerate(cases):
            with self.subTest(name):
                kit = self.external("kit-%d" % n, [kits.Entry(b"C:\\x\\" + INSTALL.encode(), content)])
                run = self.run_kit(kit)
                self.assertReported(run, MSG_CANNOT_RUN + str(result))
                installed = os.path.join(self.working_folder(run), INSTALL)
                self.assertEqual(read_bytes(installed), content)


@unittest.skipIf(POSIX, "Windows only")
class DoubleByteNames(RunsOnThisHost):
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


class FullDisk(RunsOnThisHost):
    def test_full_disk_in_the_middle_of_an_entry(self):
        tmp = self.folder("small-tmp")
        why_not = mount_tmpfs(tmp, "2m")
        if why_not:
            self.skipTest(why_not)
        self.addCleanup(unmount, tmp)
        big = os.urandom(4 << 20)
        kit = self.external("kit", [probe_entry(), kits.Entry(b"C:\\x\\big.bin", big, level=1)])
        run = self.run_kit(kit, tmp=tmp)
        folder = self.working_folder(run)
        target = os.path.join(folder, "big.bin")
        self.assertReported(run, msg_disk_full(HOST.path(target)))
        # What was written stays: the first entry whole, the second in part.
        self.assertEqual(read_bytes(os.path.join(folder, INSTALL)), read_bytes(PROBE))
        written = read_bytes(target)
        self.assertGreater(len(written), 0)
        self.assertLess(len(written), len(big))
        self.assertEqual(written, big[:len(written)])


class Leftovers(RunsOnThisHost):
    def temp_files(self, run):
        return [n for n in os.listdir(run.tmp) if HOST.TEMP_FILE.match(n)]

    @only_on("posix")
    def test_after_success(self):
        entries = [probe_entry(), *data_entries()]
        kit = self.self_extracting("kit", entries)
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        # The empty temporary file names the working folder, and both stay.
        self.assertEqual(self.temp_files(run), [os.path.basename(folder) + ".tmp"])
        self.assertEqual(os.path.getsize(folder + ".tmp"), 0)
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        names = {"install": entries[0], "readme.txt": entries[1], "lib.bin": entries[2],
                 "empty.dat": entries[3]}
        self.assertEqual(sorted(os.listdir(folder)), sorted(names))
        for name, entry in names.items():
            self.assertEqual(read_bytes(os.path.join(folder, name)), entry.data, name)
        # The installer can be run by its owner; data files keep no execute bit
        # for others and nothing is writable by others.
        mode = os.stat(os.path.join(folder, "install")).st_mode
        self.assertTrue(mode & stat.S_IXUSR)
        for name in names:
            self.assertEqual(os.stat(os.path.join(folder, name)).st_mode & 0o077, 0, name)

    @only_on("posix")
    def test_after_failure(self):
        """A corrupt third entry: the first two stay whole, the temporary file
        and the working folder stay."""
        entries = [probe_entry(), data_entries()[0],
                   kits.Entry(b"broken.bin", b"y", stream=b"\x78\x9c\xff\xff\xff")]
        kit = self.external("kit", entries)
        run = self.run_kit(kit)
        self.assertReported(run, "error")
        folder = self.working_folder(run)
        self.assertEqual(self.temp_files(run), [os.path.basename(folder) + ".tmp"])
        self.assertEqual(read_bytes(os.path.join(folder, "install")), entries[0].data)
        self.assertEqual(read_bytes(os.path.join(folder, "readme.txt")), entries[1].data)
        self.assertTrue(os.path.exists(os.path.join(folder, "broken.bin")))

    @only_on("wine")
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
                temp_files = self.temp_files(run)
                self.assertEqual(temp_files, [os.path.basename(folder) + ".tmp"])
                self.assertEqual(os.path.getsize(os.path.join(run.tmp, temp_files[0])), 0)
                for name, entry in [("install.exe", entries[0]), ("readme.txt", entries[1]),
                                    ("lib.dll", entries[2])]:
                    self.assertEqual(read_bytes(os.path.join(folder, name)), entry.data, name)


class SharedTemporaryFolder(RunsOnThisHost):
    """When the working folder cannot be made, files go straight into the
    temporary folder (the installer's path is that folder's path and its
    name), where others may have planted names."""

    @classmethod
    def setUpClass(cls):
        # Every name the working folder could take exists already: 65,535
        # folders, made once for the class.
        cls.tmp, cls.clean_tmp = memory_folder("ldr-e2e-shared-")
        # The user's own: only there do files go straight into the folder.
        os.chmod(cls.tmp, 0o700)
        for number in range(1, 0x10000):
            os.mkdir(os.path.join(cls.tmp, HOST.WORKING_FOLDER_NAME % number))

    @classmethod
    def tearDownClass(cls):
        cls.clean_tmp()

    def setUp(self):
        super().setUp()
        for name in (INSTALL, "readme.txt"):
            if os.path.lexists(os.path.join(self.tmp, name)):
                os.remove(os.path.join(self.tmp, name))

    def test_files_go_into_the_temporary_folder(self):
        kit = self.external("kit", [probe_entry(), data_entries()[0]])
        run = self.run_kit(kit, tmp=self.tmp)
        self.assertSucceeded(run)
        self.assertHanded(run, HOST.path(os.path.join(self.tmp, INSTALL)), self.loader_folder(kit))
        self.assertEqual(read_bytes(os.path.join(self.tmp, "readme.txt")),
                         data_entries()[0].data)

    @only_on("posix")
    def test_planted_symlink_is_never_followed(self):
        victim = os.path.join(self.scratch, "victim.txt")
        with open(victim, "wb") as f:
            f.write(b"precious")
        absent = os.path.join(self.scratch, "absent.txt")
        for n, target in enumerate([victim, absent]):
            with self.subTest(target=os.path.basename(target)):
                link = os.path.join(self.tmp, "install")
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(target, link)
                kit = self.external("kit-%d" % n, [probe_entry()])
                run = self.run_kit(kit, tmp=self.tmp)
                self.assertReported(run, MSG_CANNOT_CREATE + link)
                self.assertEqual(read_bytes(victim), b"precious")
                self.assertFalse(os.path.exists(absent))
                self.assertTrue(os.path.islink(link))


@unittest.skipUnless(POSIX, "POSIX only")
class TemporaryFolderOfOtherUsers(RunsOnThisHost):
    """The temporary folder is shared with another, unprivileged user who
    plants names and links there before the loader runs (no timing: what is
    planted is there from the start). The victim is the user running the
    tests."""

    @classmethod
    def setUpClass(cls):
        cls.uid, cls.gid = second_user()

    def shared_root(self):
        """A folder below /tmp that the other user can reach."""
        root = tempfile.mkdtemp(prefix="ldx-e2e-shared-", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        os.chmod(root, 0o755)
        return root

    def test_temporary_folder_others_can_rename_things_in_is_refused(self):
        """Writable by others without the sticky bit, or another user's own
        folder: the other user could swap the working folder for a link and
        the installer for a program of their own before it starts."""
        root = self.shared_root()
        cases = {"open": (0o777, 0), "theirs": (0o1777, self.uid)}
        for name, (mode, owner) in cases.items():
            with self.subTest(name):
                tmp = os.path.join(root, name)
                os.mkdir(tmp)
                os.chmod(tmp, mode)
                os.chown(tmp, owner, owner if owner == 0 else self.gid)
                kit = self.external("kit-" + name, [probe_entry()])
                run = self.run_kit(kit, tmp=tmp)
                self.assertReported(run, "LOADER: Other users can change the temporary directory "
                                    "%s/. Set TMPDIR to a directory that only you can write to"
                                    % tmp)
                self.assertEqual(os.listdir(tmp), [])

    def test_names_planted_in_a_sticky_folder_are_left_alone(self):
        """Every ldx name the working folder could take, a file under the
        installer's name and a hard link to a private file of the victim under
        a data file's name, all planted beforehand. The loader works in a
        folder of a name nobody could foresee and changes none of them."""
        root = self.shared_root()
        tmp = os.path.join(root, "shared")
        os.mkdir(tmp)
        if mount_tmpfs(tmp, "64m,nr_inodes=300000,mode=1777") is None:
            self.addCleanup(unmount, tmp)
        os.chmod(tmp, 0o1777)
        plant = ("import os, sys\n"
                 "tmp = sys.argv[1]\n"
                 "for n in range(1, 0x10000):\n"
                 "    os.mkdir(os.path.join(tmp, 'ldx%X' % n))\n"
                 "with open(os.path.join(tmp, 'install'), 'w') as f:\n"
                 "    f.write('theirs')\n")
        as_other_user(self.uid, self.gid, plant, tmp)
        # On the same file system, where the other user cannot reach it.
        os.mkdir(os.path.join(tmp, "private"), 0o700)
        victim = os.path.join(tmp, "private", "victim.txt")
        write_file(victim, b"private")
        os.chmod(victim, 0o600)
        # As the victim's own kind of link: fs.protected_hardlinks may stop
        # the other user from making it, a system without it does not.
        os.link(victim, os.path.join(tmp, "readme.txt"))
        before = set(os.listdir(tmp))

        kit = self.external("kit", [probe_entry(), data_entries()[0]])
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        folder = os.path.dirname(run.record.args[0])
        self.assertEqual(os.path.dirname(folder), tmp)
        self.assertRegex(os.path.basename(folder), r"^ldx[0-9A-Za-z]{6}$")
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        self.assertEqual(read_bytes(os.path.join(folder, "readme.txt")), data_entries()[0].data)
        self.assertEqual(read_bytes(os.path.join(tmp, "install")), b"theirs")
        self.assertEqual(read_bytes(victim), b"private")
        self.assertEqual(set(os.listdir(tmp)) - before, {os.path.basename(folder)})


# Cyrillic and Chinese: outside code page 1252, the ANSI code page of a
# Western Windows (and of Wine here).
TEMP_NAME = "\u0442\u0435\u043c\u043f-\u4e34\u65f6"     # "temp", Russian and Chinese
KIT_NAME = "\u043d\u0430\u0431\u043e\u0440-\u5957\u4ef6"    # "kit"
DATA_NAME = "\u0434\u0430\u043d\u043d\u044b\u0435-\u6570\u636e.txt"  # "data"
ENVIRONMENT_KEY = r"HKEY_CURRENT_USER\Environment"


def utf8_text(driver_text):
    """A text of the driver's JSON: UTF-8 bytes escaped one by one."""
    return driver_text.encode("latin-1").decode("utf-8")


@unittest.skipIf(POSIX, "Windows only")
class UnicodeFolders(RunsOnThisHost):
    """A user whose temporary folder (HKCU\\Environment TEMP and TMP of a
    prefix of the test's own) and whose kit folder hold characters outside
    the ANSI code page: with UTF-8 as the loader's code page the working
    folder is made in that temporary folder, every name arrives intact and
    the installer finds the kit."""

    PROBE_UTF8 = os.environ.get("E2E_PROBE_UTF8", "")
    INSTALLER = os.environ.get("E2E_INSTALLER", "")

    def setUp(self):
        super().setUp()
        for name, path in [("E2E_PROBE_UTF8", self.PROBE_UTF8), ("E2E_INSTALLER", self.INSTALLER)]:
            if not os.path.isfile(path):
                self.fail("%s must name a built program (got %r)" % (name, path))
        self.tmp = self.folder(TEMP_NAME)
        self.prefix = TestPrefix(WINE_RUN, os.path.join(self.scratch, "prefix"),
                                 {ENVIRONMENT_KEY: {"TEMP": win(self.tmp), "TMP": win(self.tmp)}})
        self.prefix.__enter__()
        self.addCleanup(self.prefix.__exit__, None, None, None)

    def test_probe_receives_both_folders_and_a_utf8_name_is_created(self):
        data = "\u043f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d\r\n".encode("utf-8") * 50
        entries = [kits.Entry(b"C:\\KIT\\install.exe", read_bytes(self.PROBE_UTF8)),
                   kits.Entry(("C:\\KIT\\" + DATA_NAME).encode("utf-8"), data)]
        kit = self.self_extracting(os.path.join(KIT_NAME, "probe"), entries)
        run = WineRun(self, kit.loader_path, tmp=self.tmp, prefix=self.prefix,
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
            [kits.Entry(b"C:\\KIT\\installer.exe", read_bytes(self.INSTALLER))],
            second=[kits.Entry(name.encode("utf-8"), content) for name, content in payload])
        run = WineRun(self, kit.loader_path, tmp=self.tmp, prefix=self.prefix, record=False)
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


@unittest.skipIf(POSIX, "Windows only")
class LongPaths(RunsOnThisHost):
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
        kits.write_self_extracting_kit(
            self.folder(first), self.loader,
            [probe_entry(), kits.Entry(b"C:\\planted.txt", b"planted")],
            loader_name=planted_name)
        return genuine

    def test_kit_in_a_folder_of_100_cjk_characters_plants_nothing(self):
        # The cut must fall on a character boundary inside the second folder
        # for the planted name to be a name at all: ASCII letters in front of
        # it move the boundary. The first folder shrinks for a long scratch path.
        base = len(win(self.scratch).encode("utf-8")) + 1
        first_count = max(16, min(60, (200 - base) // 3))
        self.assertLess(base + 3 * first_count + 1 + 12, 260,
                        "the scratch path is too long to place the cut")
        room = 260 - (base + 3 * first_count + 1)
        letters = room % 3 or 3
        genuine = self.genuine_and_planted(
            self.cjk(first_count), "k" * letters + self.cjk(100 - first_count))
        self.assertGreater(len(win(genuine.loader_path).encode("utf-8")), 260)
        run = WineRun(self, genuine.loader_path, tmp=self.tmp, prefix=self.prefix)
        self.assertSucceeded(run)
        self.assertEqual(sorted(os.listdir(self.working_folder(run))),
                         ["genuine.txt", INSTALL])


@unittest.skipIf(POSIX, "Windows only")
class ExecutionLevel(RunsOnThisHost):
    """A kit built by kitpack with --execution-level requireAdministrator:
    its manifest says so, it verifies, and it runs (Wine elevates silently)."""

    KITPACK = os.environ.get("E2E_KITPACK", "")

    def test_require_administrator(self):
        if not os.path.isfile(self.KITPACK):
            self.fail("no host kitpack at %r: build the native preset first" % self.KITPACK)
        folder = self.folder("kit")
        kit_path = os.path.join(folder, "setup.exe")
        subprocess.run([self.KITPACK, "build", "--loader", LOADER,
                        "--installer", PROBE + "=C:\\KIT\\install.exe",
                        "-o", kit_path, "--execution-level", "requireAdministrator"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        root = pe_manifest.manifest(kit_path)
        self.assertEqual(pe_manifest.execution_level(root), ("requireAdministrator", "false"))
        verified = subprocess.run([self.KITPACK, "verify", kit_path], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(verified.returncode, 0, verified.stderr)
        self.assertEqual(verified.stderr, b"")
        # Only the manifest, the deployment record after its mark and the
        # header's checksum differ from the loader as built.
        loader = read_bytes(LOADER)
        kit = read_bytes(kit_path)
        self.assertEqual(loader.count(pe_manifest.DEPLOYMENT_MARK), 1)
        self.assertNotEqual(loader, kit[:len(loader)])
        self.assertEqual(pe_manifest.changed_beyond_level(loader, kit), [])
        run = self.run_kit(kits.Kit(kit_path))
        self.assertSucceeded(run)
        installer = win(os.path.join(self.working_folder(run), "install.exe"))
        self.assertEqual(run.record.cmdline, "%s *SELFEXTRACT setup.exe %s" % (installer, win(folder)))


if __name__ == "__main__":
    unittest.main()
