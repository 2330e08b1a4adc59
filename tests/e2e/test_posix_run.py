"""End-to-end runs of the POSIX loader: real kits, real processes, a scratch
temporary folder per run.

Environment: E2E_LOADER (the loader program), E2E_PROBE (the probe installer),
E2E_SCRATCH (optional: where scratch folders go).
"""

import os
import re
import shutil
import stat
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import kits
from e2e_support import (CAPTION, MSG_CANNOT_CREATE, MSG_CANNOT_RUN, MSG_NO_FILES,
                         MSG_NO_SETUP1, MSG_NO_TEMP, MSG_TOO_MANY, PROCESS_TIMEOUT,
                         memory_folder, mount_tmpfs, msg_disk_full,
                         read_bytes, read_record, unmount, KitCase)

LOADER = os.environ.get("E2E_LOADER", "")
PROBE = os.environ.get("E2E_PROBE", "")

# Named like GetTempFileNameA's files in a temporary folder of the user's
# own; six random characters in one other users share (a sticky tmpfs).
WORKING_FOLDER = re.compile(r"^ldx([0-9A-F]{1,4}|[0-9A-Za-z]{6})$")


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


def write_file(path, content):
    with open(path, "wb") as f:
        f.write(content)


def probe_entry(name=b"C:\\Program Files\\Product\\install"):
    return kits.Entry(name, read_bytes(PROBE))


def data_entries():
    return [
        kits.Entry(b"C:\\Product\\data\\readme.txt", b"read me\n" * 300),
        kits.Entry(b"D:lib.bin", bytes(range(256)) * 40),
        kits.Entry(b"empty.dat", b""),
    ]


class Run:
    """One loader run: exit code, standard error and what the probe saw."""

    def __init__(self, case, kit_path, args=(), tmp=None, record=True):
        self.tmp = tmp
        self.record_path = os.path.join(case.scratch, "record-%d.txt" % case.next_id())
        env = {"PATH": "/usr/bin:/bin", "PROBE_RECORD": self.record_path}
        if tmp is not None:
            env["TMPDIR"] = tmp
        # Files, not pipes: the installer inherits the loader's standard
        # handles and may outlive it, and a pipe would wait for both.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([kit_path, *args], env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=PROCESS_TIMEOUT)
            out.seek(0)
            err.seek(0)
            self.stdout = out.read().decode("latin-1")
            self.stderr = err.read().decode("latin-1")
        self.code = proc.returncode
        # After a failure the record is only looked for, not waited for: an
        # installer started by mistake is caught when it has written it.
        self.record = read_record(self.record_path, decode=os.fsdecode,
                                  timeout=15 if record and self.code == 0 else 0)


class LoaderCase(KitCase):
    WORKING_FOLDER = WORKING_FOLDER

    def setUp(self):
        if not (os.path.isfile(LOADER) and os.path.isfile(PROBE)):
            self.skipTest("E2E_LOADER and E2E_PROBE must name the built programs")
        self.start(LOADER, "ldr-e2e-")

    def run_kit(self, kit, args=(), tmp=None, record=True):
        if tmp is None:
            tmp = self.folder("tmp-%d" % (self._ids + 1))
        return Run(self, kit.loader_path, args, tmp, record)

    def assertSucceeded(self, run):
        self.assertEqual((run.code, run.stderr), (0, ""), "the loader failed")
        self.assertIsNotNone(run.record, "the installer was not started")

    def assertReported(self, run, message):
        """The POSIX error report: caption and message on standard error,
        nothing on standard output, exit code 1."""
        self.assertEqual(run.stderr, CAPTION + "\n" + message + "\n")
        self.assertEqual(run.stdout, "")
        self.assertEqual(run.code, 1)
        self.assertIsNone(run.record)


class CommandLineForms(LoaderCase):
    """Which of the three forms the installer gets, for each container and
    switch variant. The installer's arguments are checked as it received them."""

    CASES = [
        # container, loader arguments, expected switch word (None: plain form)
        ("external", [], None),
        ("external", ["*TODISK"], "TODISK"),
        ("external", ["*todisk"], "TODISK"),
        ("external", ["*ToDisk", "more", "words"], "TODISK"),
        ("external", ["TODISK"], None),
        ("external", ["/TODISK"], None),
        ("external", ["*TODISKS"], None),
        ("external", ["*TODIS"], None),
        ("external", ["other", "*TODISK"], None),
        ("external", ['"*TODISK"'], "TODISK"),       # quotes are dropped
        ("external", ["", "*todisk"], "TODISK"),     # an empty quoted pair is blank
        ("external", ["* TODISK"], None),            # one quoted word with a blank
        ("external-é", ["*todisk"], "TODISK"),         # non-ASCII folder
        ("self", [], "SELFEXTRACT"),
        ("self", ["*TODISK"], "TODISK"),             # the switch wins
        ("self", ["*todisk"], "TODISK"),
        ("self", ["TODISK"], "SELFEXTRACT"),
        ("self", ["x", "*TODISK"], "SELFEXTRACT"),
    ]

    def test_forms(self):
        for n, (container, args, word) in enumerate(self.CASES):
            with self.subTest(container=container, args=args):
                make = self.external if container.startswith("external") else self.self_extracting
                kit = make("kit-%d%s" % (n, container[8:]), [probe_entry()])
                run = self.run_kit(kit, args)
                self.assertSucceeded(run)
                folder = os.path.dirname(kit.loader_path)
                installer = os.path.join(self.working_folder(run), "install")
                if word is None:
                    expected = [installer, folder]
                else:
                    expected = [installer, "*" + word, "setup", folder]
                self.assertEqual(run.record.args, expected)
                self.assertEqual(run.record.path, installer)


class Containers(LoaderCase):
    def test_missing_container_forms(self):
        """A missing "setup.1", a folder of that name and one dated before
        1980 all count as missing; the message names the loader's folder."""
        cases = {
            "absent": lambda p: None,
            "folder": lambda p: os.mkdir(p),
            "before 1980": lambda p: (write_file(p, kits.archive([probe_entry()])),
                                      kits.set_year(p, 1975)),
        }
        for n, (name, plant) in enumerate(cases.items()):
            with self.subTest(name):
                folder = self.folder("kit-%d" % n)
                path = os.path.join(folder, "setup")
                with open(path, "wb") as f:
                    f.write(self.loader)
                os.chmod(path, 0o755)
                plant(os.path.join(folder, "setup.1"))
                run = self.run_kit(kits.Kit(path))
                self.assertReported(run, MSG_NO_SETUP1 + folder)

    def test_setup1_that_is_no_regular_file_is_there_but_cannot_be_read(self):
        """A FIFO or a socket named setup.1 exists (anything but a folder
        does), is never waited on, and cannot be opened for reading."""
        for n, kind in enumerate(["fifo", "socket"]):
            with self.subTest(kind):
                folder = self.folder("special-%d" % n)
                path = os.path.join(folder, "setup")
                with open(path, "wb") as f:
                    f.write(self.loader)
                os.chmod(path, 0o755)
                setup1 = os.path.join(folder, "setup.1")
                if kind == "fifo":
                    os.mkfifo(setup1)
                    run = self.run_kit(kits.Kit(path))
                else:
                    with socket.socket(socket.AF_UNIX) as s:
                        s.bind(setup1)
                        run = self.run_kit(kits.Kit(path))
                self.assertReported(run, "The file %s could not be opened for reading" % setup1)

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

    def test_setup1_dated_in_range_is_found(self):
        kit = self.external("kit", [probe_entry()])
        kits.set_year(os.path.join(os.path.dirname(kit.loader_path), "setup.1"), 1981)
        self.assertSucceeded(self.run_kit(kit))

    def test_second_archive_is_never_read(self):
        """The self-extracting file holds a second archive after the first;
        only the first one's files appear."""
        second = [kits.Entry(b"second-%02d.bin" % n, b"second" * n) for n in range(60)]
        kit = self.self_extracting("kit", [probe_entry(), *data_entries()], second=second)
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        self.assertEqual(sorted(os.listdir(self.working_folder(run))),
                         ["empty.dat", "install", "lib.bin", "readme.txt"])

    def test_fifty_entries_are_all_extracted(self):
        extra = [kits.Entry(b"C:\\f\\file-%02d.txt" % n, b"%d\n" % n * n) for n in range(49)]
        kit = self.external("kit", [probe_entry(), *extra])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        self.assertEqual(len(os.listdir(folder)), 50)
        for n, entry in enumerate(extra):
            self.assertEqual(read_bytes(os.path.join(folder, "file-%02d.txt" % n)), entry.data)

    def test_installer_name_is_the_name_part_of_a_full_path(self):
        for n, name in enumerate([b"C:\\Program Files\\Product\\setup-main",
                                  b"D:setup-main", b"\\\\server\\share\\setup-main"]):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(name)])
                run = self.run_kit(kit)
                self.assertSucceeded(run)
                self.assertEqual(run.record.args[0],
                                 os.path.join(self.working_folder(run), "setup-main"))

    def test_long_command_line_is_handed_over_whole(self):
        """Never a cut line: a loader folder that takes the line past 255
        characters reaches the installer whole (cut, it named a prefix of the
        folder, which anyone could create with a kit of their own)."""
        folder = os.path.join(self.scratch, "kit")
        while len(folder) < 240:
            folder = os.path.join(folder, "d" * min(20, 240 - len(folder)))
        kit = self.self_extracting(os.path.relpath(folder, self.scratch), [probe_entry()])
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        installer = os.path.join(self.working_folder(run), "install")
        expected = [installer, "*SELFEXTRACT", "setup", os.path.dirname(kit.loader_path)]
        self.assertGreater(len(" ".join(expected)), 255)
        self.assertEqual(run.record.args, expected)

    def test_long_temporary_folder_starts_the_installer_itself(self):
        """The installer's own path past 255 characters: cut, it named a
        shorter file of the archive, which the loader started instead."""
        tmp = os.path.join(self.scratch, "t")
        while len(tmp) < 245:
            tmp = os.path.join(tmp, "t" * min(30, 245 - len(tmp)))
        os.makedirs(tmp)
        name = "installer-program"
        decoy = b"#!/bin/sh\necho decoy > \"$PROBE_RECORD\"\n"
        entries = [probe_entry(name.encode())]
        entries += [kits.Entry(name[:n].encode(), decoy) for n in range(1, len(name))]
        kit = self.external("kit", entries)
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        self.assertEqual(run.record.args[0],
                         os.path.join(self.working_folder(run), "installer-program"))

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

    def test_installer_path_with_a_blank_is_quoted(self):
        """A temporary folder with a blank: the installer's path must reach it
        as one word, and its other arguments unchanged."""
        tmp = self.folder("tmp with blank")
        kit = self.self_extracting("kit", [probe_entry()])
        run = self.run_kit(kit, tmp=tmp)
        self.assertSucceeded(run)
        installer = os.path.join(self.working_folder(run), "install")
        self.assertEqual(run.record.args,
                         [installer, "*SELFEXTRACT", "setup", os.path.dirname(kit.loader_path)])


class HandOff(LoaderCase):
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
            self.assertTrue(WORKING_FOLDER.match(os.path.basename(folder)), folder)
            self.assertEqual(sorted(os.listdir(folder)),
                             ["empty.dat", "install", "lib.bin", "readme.txt"])


class RootOfFileSystem(LoaderCase):
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


class Failures(LoaderCase):
    def test_messages(self):
        """Damaged kits end in the one report with the right message."""
        probe = probe_entry()
        cases = [
            ("no entries, external", self.external, [probe], {"file_count": 0}, MSG_NO_FILES),
            ("no entries, self-extracting", self.self_extracting, [], {}, MSG_NO_FILES),
            ("negative count", self.external, [probe], {"file_count": -1}, MSG_NO_FILES),
            ("51 entries", self.external, [probe], {"file_count": 51}, MSG_TOO_MANY),
            ("count beyond the entries", self.external, [probe], {"file_count": 2},
             "LOADER: Cannot read a file header in the archive file from SETUP.1"),
            ("corrupt stream", self.external,
             [kits.Entry(b"install", b"x", stream=b"\x78\xda garbage")], {}, "error"),
        ]
        for n, (name, make, entries, knobs, message) in enumerate(cases):
            with self.subTest(name):
                kit = make("kit-%d" % n, entries, **knobs)
                self.assertReported(self.run_kit(kit), message)

    def test_hostile_names_write_nothing_outside_the_working_folder(self):
        """Names whose name part would leave the working folder, or name it,
        are refused like a file that cannot be created."""
        for n, name in enumerate([b"../../escaped.txt", b"C:\\x\\..", b"sub/escaped.txt",
                                  b"C:\\x\\", b"."]):
            with self.subTest(name=name):
                kit = self.external("kit-%d" % n, [probe_entry(), kits.Entry(name, b"payload")])
                run = self.run_kit(kit)
                folder = self.working_folder(run)
                part = name.decode().replace("\\", ":").split(":")[-1]
                self.assertReported(run, MSG_CANNOT_CREATE + folder + "/" + part)
                self.assertEqual(sorted(os.listdir(folder)), ["install"])
                for root, _, files in os.walk(self.scratch):
                    self.assertNotIn("escaped.txt", files, root)

    def test_temporary_folder_that_does_not_exist(self):
        kit = self.external("kit", [probe_entry()])
        run = self.run_kit(kit, tmp=os.path.join(self.scratch, "no-such-folder"))
        self.assertReported(run, MSG_NO_TEMP)

    def test_installer_that_cannot_be_started(self):
        """The message ends in the start result; the extracted file stays."""
        cases = [
            ("garbage bytes", b"\x01\x02 not a program " * 100, 11),
            ("missing interpreter", b"#!/no/such/interpreter\n", 2),
        ]
        for n, (name, content, result) in enumerate(cases):
            with self.subTest(name):
                kit = self.external("kit-%d" % n, [kits.Entry(b"C:\\x\\install", content)])
                run = self.run_kit(kit)
                self.assertReported(run, MSG_CANNOT_RUN + str(result))
                installed = os.path.join(self.working_folder(run), "install")
                self.assertEqual(read_bytes(installed), content)

class FullDisk(LoaderCase):
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
        self.assertReported(run, msg_disk_full(target))
        # What was written stays: the first entry whole, the second in part.
        self.assertEqual(read_bytes(os.path.join(folder, "install")), read_bytes(PROBE))
        written = read_bytes(target)
        self.assertGreater(len(written), 0)
        self.assertLess(len(written), len(big))
        self.assertEqual(written, big[:len(written)])


class Leftovers(LoaderCase):
    def ldx_files(self, run):
        return [n for n in os.listdir(run.tmp) if re.match(r"^ldx[0-9A-F]{1,4}\.tmp$", n)]

    def test_after_success(self):
        entries = [probe_entry(), *data_entries()]
        kit = self.self_extracting("kit", entries)
        run = self.run_kit(kit)
        self.assertSucceeded(run)
        folder = self.working_folder(run)
        # The empty temporary file names the working folder, and both stay.
        self.assertEqual(self.ldx_files(run), [os.path.basename(folder) + ".tmp"])
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

    def test_after_failure(self):
        """A corrupt third entry: the first two stay whole, the temporary file
        and the working folder stay."""
        entries = [probe_entry(), data_entries()[0],
                   kits.Entry(b"broken.bin", b"y", stream=b"\x78\x9c\xff\xff\xff")]
        kit = self.external("kit", entries)
        run = self.run_kit(kit)
        self.assertReported(run, "error")
        folder = self.working_folder(run)
        self.assertEqual(self.ldx_files(run), [os.path.basename(folder) + ".tmp"])
        self.assertEqual(read_bytes(os.path.join(folder, "install")), entries[0].data)
        self.assertEqual(read_bytes(os.path.join(folder, "readme.txt")), entries[1].data)
        self.assertTrue(os.path.exists(os.path.join(folder, "broken.bin")))


class SharedTemporaryFolder(LoaderCase):
    """When the working folder cannot be made, files go straight into the
    temporary folder, where others may have planted names."""

    @classmethod
    def setUpClass(cls):
        # Every name the working folder could take exists already: 65,535
        # folders, made once for the class.
        cls.tmp, cls.clean_tmp = memory_folder("ldr-e2e-shared-")
        # The user's own: only there do files go straight into the folder.
        os.chmod(cls.tmp, 0o700)
        for number in range(1, 0x10000):
            os.mkdir(os.path.join(cls.tmp, "ldx%X" % number))

    @classmethod
    def tearDownClass(cls):
        cls.clean_tmp()

    def setUp(self):
        super().setUp()
        for name in ("install", "readme.txt"):
            if os.path.lexists(os.path.join(self.tmp, name)):
                os.remove(os.path.join(self.tmp, name))

    def test_files_go_into_the_temporary_folder(self):
        kit = self.external("kit", [probe_entry(), data_entries()[0]])
        run = self.run_kit(kit, tmp=self.tmp)
        self.assertSucceeded(run)
        installer = os.path.join(self.tmp, "install")
        self.assertEqual(run.record.args, [installer, os.path.dirname(kit.loader_path)])
        self.assertEqual(read_bytes(os.path.join(self.tmp, "readme.txt")),
                         data_entries()[0].data)

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


ATTACKER = "ldx-e2e-other"


def other_user():
    """A second, unprivileged user (uid, gid), made when missing: root only."""
    import pwd
    try:
        entry = pwd.getpwnam(ATTACKER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        ATTACKER], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=PROCESS_TIMEOUT)
        entry = pwd.getpwnam(ATTACKER)
    return entry.pw_uid, entry.pw_gid


def second_user():
    """The other user (uid, gid) for a test class; skips it unless the tests
    run as root with setpriv and useradd at hand."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None or shutil.which("useradd") is None:
        raise unittest.SkipTest("needs root, setpriv and useradd for a second user")
    return other_user()


def as_other_user(uid, gid, script, *args):
    """Runs a Python script as the other user: what an attacker could do."""
    subprocess.run(["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", "--",
                    sys.executable, "-c", script, *args], check=True, timeout=300)


class TemporaryFolderOfOtherUsers(LoaderCase):
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


if __name__ == "__main__":
    unittest.main()
