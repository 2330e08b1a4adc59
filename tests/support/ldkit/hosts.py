"""The two hosts the loader's end-to-end runs take place on: the POSIX
loader run directly, and the Windows loader run under Wine watched by the
error-box driver. A host knows how to run a kit, how the loader reports
success and failure there, and how paths and command lines look to the
installer; the test cases themselves are written once.

E2E_HOST picks the host ("posix", the default, or "wine"). Environment:
E2E_LOADER, E2E_PROBE and E2E_SCRATCH (optional) on both; under Wine also
E2E_DRIVER, E2E_WITH_ENV and E2E_WINE_RUN.
"""

import json
import os
import re
import subprocess
import sys
import tempfile

from .e2e import CAPTION, PROCESS_TIMEOUT, KitCase, read_record
from .wine import win

LOADER = os.environ.get("E2E_LOADER", "")
PROBE = os.environ.get("E2E_PROBE", "")
DRIVER = os.environ.get("E2E_DRIVER", "")
WITH_ENV = os.environ.get("E2E_WITH_ENV", "")
WINE_RUN = os.environ.get("E2E_WINE_RUN", "")


def run_to_files(command, env, timeout):
    """subprocess.run with its output read back from files, not pipes: an
    installer the loader started may outlive it holding the same output
    (Wine's processes inherit the Unix ones), and a pipe would wait for it."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=timeout)
        out.seek(0)
        err.seek(0)
        proc.stdout, proc.stderr = out.read(), err.read()
    return proc


class PosixRun:
    """One loader run: exit code, standard error and what the probe saw."""

    def __init__(self, case, kit_path, args=(), tmp=None, record=True, env=None):
        """env: more variables for the loader and the installer."""
        self.tmp = tmp
        self.record_path = os.path.join(case.scratch, "record-%d.txt" % case.next_id())
        env = {"PATH": "/usr/bin:/bin", "PROBE_RECORD": self.record_path, **(env or {})}
        if tmp is not None:
            env["TMPDIR"] = tmp
        proc = run_to_files([kit_path, *args], env, PROCESS_TIMEOUT)
        self.stdout = proc.stdout.decode("latin-1")
        self.stderr = proc.stderr.decode("latin-1")
        self.code = proc.returncode
        # After a failure the record is only looked for, not waited for: an
        # installer started by mistake is caught when it has written it.
        self.record = read_record(self.record_path, decode=os.fsdecode,
                                  timeout=15 if record and self.code == 0 else 0)


class WineRun:
    """One loader run under the driver."""

    # Wine itself now and then fails to start a program when several tests
    # share its server under load (no answer at all, or the driver reporting
    # that CreateProcess failed). Such a run says nothing about the loader and
    # is tried once more; whatever the loader did is never retried.
    ATTEMPTS = 2
    WINE_TIMEOUT = 150

    def __init__(self, case, program, args=(), tmp=None, record=True, prefix=None,
                 decode=lambda raw: raw.decode("latin-1"), env=None):
        """prefix: a TestPrefix whose registry names the temporary folder
        (then TMP and TEMP are not set here, and tmp only says where to
        look); decode: how the probe's record is read; env: more variables
        for the loader and the installer (Wine passes them on)."""
        self.tmp = tmp
        problems = []
        for _ in range(self.ATTEMPTS):
            self.record_path = os.path.join(case.scratch, "record-%d.txt" % case.next_id())
            env = dict(prefix.env if prefix else os.environ, **(env or {}))
            env["PROBE_RECORD"] = win(self.record_path)
            tmp_text = win(tmp) if tmp is not None else ""
            command = [WINE_RUN, DRIVER, "--timeout", "30000", program, *args]
            if prefix is None:
                command[1:1] = [WITH_ENV, "TMP=" + tmp_text, "TEMP=" + tmp_text, "--"]
            try:
                proc = run_to_files(command, env, self.WINE_TIMEOUT)
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


class Posix:
    name = "posix"
    LOADER_NAME = "setup"
    EXE = ""  # what a program's name ends in
    SEP = "/"
    # Named like GetTempFileNameA's files in a temporary folder of the user's
    # own; six random characters in one other users share (a sticky tmpfs).
    WORKING_FOLDER = re.compile(r"^ldx([0-9A-F]{1,4}|[0-9A-Za-z]{6})$")
    TEMP_FILE = re.compile(r"^ldx[0-9A-F]{1,4}\.tmp$")
    WORKING_FOLDER_NAME = "ldx%X"  # as the loader numbers them
    SCRATCH_PREFIX = "ldr-e2e-"

    def check_programs(self, case):
        if not (os.path.isfile(LOADER) and os.path.isfile(PROBE)):
            case.skipTest("E2E_LOADER and E2E_PROBE must name the built programs")

    def run(self, case, program, args, tmp, record, env=None):
        return PosixRun(case, program, args, tmp, record, env=env)

    def loader_exit(self, code):
        """The exit code of one of the loader's own failures in a run with
        switches (2400 to 2409): an exit status holds 8 bits."""
        return code - 2160

    def installer_exit(self, code):
        """An installer's exit code as the loader passes it on."""
        return code % 256

    def path(self, path):
        """A path as the loader and the installer spell it."""
        return path

    def same_path(self, path):
        """A path in the form two spellings of it compare equal in."""
        return path

    def handed(self, record):
        """What the installer was handed, in the form command() gives."""
        return record.args

    def command(self, *words):
        """The installer's command as the loader must hand it over: here the
        argument vector itself."""
        return list(words)

    def line(self, *words):
        return " ".join(words)

    def assert_succeeded(self, case, run):
        case.assertEqual((run.code, run.stderr), (0, ""), "the loader failed")
        case.assertIsNotNone(run.record, "the installer was not started")

    def assert_reported(self, case, run, message, code=1, owner=None):
        """The POSIX error report: caption and message on standard error,
        nothing on standard output, the exit code (1, or a run with
        switches: its own). No window owns it (owner is for Windows)."""
        case.assertEqual(run.stderr, CAPTION + "\n" + message + "\n")
        case.assertEqual(run.stdout, "")
        case.assertEqual(run.code, code)
        case.assertIsNone(run.record)

    def assert_silent(self, case, run):
        """A run under /S: not a word on either output."""
        case.assertEqual((run.stdout, run.stderr), ("", ""))


class Wine:
    name = "wine"
    LOADER_NAME = "setup.exe"
    EXE = ".exe"
    SEP = "\\"
    # GetTempFileNameA's hexadecimal digits; Wine writes them in lower case.
    WORKING_FOLDER = re.compile(r"^ldx[0-9A-Fa-f]{1,4}$")
    TEMP_FILE = re.compile(r"^ldx[0-9A-Fa-f]{1,4}\.tmp$")
    WORKING_FOLDER_NAME = "ldx%x"
    SCRATCH_PREFIX = "ldr-wine-e2e-"

    def check_programs(self, case):
        for name, path in [("E2E_LOADER", LOADER), ("E2E_PROBE", PROBE), ("E2E_DRIVER", DRIVER),
                           ("E2E_WITH_ENV", WITH_ENV), ("E2E_WINE_RUN", WINE_RUN)]:
            if not os.path.isfile(path):
                case.fail("%s must name a built program (got %r)" % (name, path))

    def run(self, case, program, args, tmp, record, env=None):
        return WineRun(case, program, args, tmp, record, env=env)

    def loader_exit(self, code):
        return code

    def installer_exit(self, code):
        return code

    def path(self, path):
        return win(path)

    def same_path(self, path):
        return path.lower()

    def handed(self, record):
        return record.cmdline

    def command(self, *words):
        """The installer's command line, verbatim: a word with a blank in
        quotes."""
        return self.line(*words)

    def line(self, *words):
        return " ".join('"%s"' % w if " " in w else w for w in words)

    def assert_succeeded(self, case, run):
        case.assertFalse(run.seen["timed_out"])
        case.assertFalse(run.seen["box"], run.seen["box_text"])
        case.assertEqual(run.code, 0)
        case.assertIsNotNone(run.record, "the installer was not started")

    def assert_reported(self, case, run, message, code=1, owner="Setup"):
        """The one error box: text, caption, owner, the exit code."""
        seen = run.seen
        case.assertFalse(seen["timed_out"])
        case.assertTrue(seen["box"], "no error box")
        case.assertEqual(seen["box_text"], message)
        case.assertEqual(seen["box_caption"], CAPTION)
        case.assertEqual(seen["buttons"], ["OK"])
        case.assertEqual(seen["owner_class"], owner)
        case.assertEqual(run.code, code)
        case.assertIsNone(run.record)

    def assert_silent(self, case, run):
        """A run under /S: no window of the loader's, shown or hidden, no box."""
        seen = run.seen
        case.assertFalse(seen["timed_out"])
        case.assertFalse(seen["box"], seen["box_text"])
        case.assertFalse(seen["setup_window_seen"])
        case.assertEqual(seen["other_windows"], [])


HOSTS = {"posix": Posix, "wine": Wine}
HOST = HOSTS[os.environ.get("E2E_HOST", "posix")]()


class LoaderCase(KitCase):
    """A test case against the real loader on this run's host."""

    LOADER_NAME = HOST.LOADER_NAME
    WORKING_FOLDER = HOST.WORKING_FOLDER

    def setUp(self):
        HOST.check_programs(self)
        self.start(LOADER, HOST.SCRATCH_PREFIX)

    def run_kit(self, kit, args=(), tmp=None, record=True, program=None, env=None):
        if tmp is None:
            tmp = self.folder("tmp-%d" % (self._ids + 1))
        return HOST.run(self, program or kit.loader_path, args, tmp, record, env=env)

    def assertSucceeded(self, run):
        HOST.assert_succeeded(self, run)

    def assertReported(self, run, message, **kw):
        HOST.assert_reported(self, run, message, **kw)


def only_on(host):
    """A test method for one host only: on the other it is no test at all
    (not a skipped one, which would mark the whole group skipped)."""
    return lambda method: method if HOST.name == host else None
