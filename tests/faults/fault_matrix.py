#!/usr/bin/env python3
"""Fault matrix: the real loader against faults of its surroundings.

Each row of FAULTS lays out a kit and a temporary folder, breaks one thing,
runs the loader (natively, or the Windows loader under Wine through the
error-box driver), and checks the message, the exit code and what is on disk
afterwards. Before and after every run the kit folder and the temporary
folder are snapshotted: the only things that may appear are one new ldx*.tmp
file and one new ldx* folder (with the extracted files inside) in the
temporary folder; nothing may vanish or change. The one documented exception
is the fallback when the working folder cannot be made: the extracted files
then land in the temporary folder itself.

A fault this machine cannot produce (not root, no tmpfs, Wine lacking the
means) is skipped with its reason in the summary table, never passed
silently. Exit status: 1 when any row failed, else 0.

Usage:
  fault_matrix.py --loader L --probe P [--scratch DIR]
  fault_matrix.py --loader L.exe --probe P.exe --wine-run W --driver D --with-env E
"""

import argparse
import hashlib
import json
import os
import pwd
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from ldkit import kits  # noqa: E402
from ldkit.wine import win  # noqa: E402
from ldkit.e2e import (CAPTION, MSG_NO_TEMP, read_record)  # noqa: E402

MSG_DISK_FULL = re.compile(r"^LOADER: Could not write to the file (.*)\. "
                           r"This probably means that your disk is full$")
MSG_NOT_OPENED = re.compile(r"^The file (.*) could not be opened for reading$")
MSG_CANNOT_RUN = re.compile(r"^LOADER: Could not run the installation executable file\. "
                            r"The WinExec return was ([0-9]|[12][0-9]|3[01])$")
# GetTempFileNameA's four hexadecimal digits; in a temporary folder other
# users share (POSIX, sticky), six random characters instead.
WORKING_FOLDER = re.compile(r"^ldx([0-9A-Fa-f]{1,4}|[0-9A-Za-z]{6})$")
MSG_NO_PRIVATE_FOLDER = re.compile(
    r"^LOADER: Could not create a private directory in the temporary directory .*$")
TEMP_FILE = re.compile(r"^ldx[0-9A-Fa-f]{1,4}\.tmp$")
NOBODY = 65534
# An unprivileged user with a home of its own, for Wine, made when missing.
TEST_USER = "loaderkit-user"


def test_user():
    """(uid, gid, home) of TEST_USER, creating the user first if needed."""
    try:
        entry = pwd.getpwnam(TEST_USER)
    except KeyError:
        done = subprocess.run(["useradd", "--create-home", "--shell", "/bin/sh", TEST_USER],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise Skip("cannot create the user %s: %s"
                       % (TEST_USER, done.stdout.decode(errors="replace").strip()))
        entry = pwd.getpwnam(TEST_USER)
    return entry.pw_uid, entry.pw_gid, entry.pw_dir


class Skip(Exception):
    pass


def noise(n, seed=1):
    """Bytes that do not compress, so that they fill a small disk."""
    out = bytearray()
    block = seed.to_bytes(4, "little")
    while len(out) < n:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:n])


# --- the world around one run ---------------------------------------------

class Case:
    def __init__(self, ctx, name):
        self.ctx = ctx
        self.root = os.path.join(ctx.scratch, name)
        self.kit_dir = os.path.join(self.root, "kit")
        self.tmp = os.path.join(self.root, "tmp")
        self.record = os.path.join(self.root, "record.txt")
        self.mounts = []
        self.user = None           # run as this uid (native only)
        self.fallback = False      # extracted files may land in tmp itself
        os.makedirs(self.kit_dir)
        os.makedirs(self.tmp)
        # Something of someone else's that must survive every run.
        with open(os.path.join(self.tmp, "unrelated.txt"), "wb") as f:
            f.write(b"not the loader's\n")

    def mount_tmpfs(self, options):
        if os.geteuid() != 0:
            raise Skip("needs root to mount a tmpfs")
        if not shutil.which("mount"):
            raise Skip("no mount program")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", self.tmp],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise Skip("cannot mount a tmpfs here: " + done.stdout.decode(errors="replace").strip())
        self.mounts.append(self.tmp)
        with open(os.path.join(self.tmp, "unrelated.txt"), "wb") as f:
            f.write(b"not the loader's\n")

    def remount_read_only(self):
        done = subprocess.run(["mount", "-o", "remount,ro", self.tmp],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise Skip("cannot remount read-only: " + done.stdout.decode(errors="replace").strip())

    def unprivileged(self):
        if os.geteuid() != 0:
            raise Skip("needs root to switch to an unprivileged user")
        if not shutil.which("setpriv"):
            raise Skip("no setpriv program")
        # Wine needs a user with a home for its prefix; natively nobody does.
        self.user = test_user() if self.ctx.wine else (NOBODY, NOBODY, None)
        # The unprivileged user must reach the kit and the temporary folder.
        path = self.root
        while path != "/":
            os.chmod(path, os.stat(path).st_mode | 0o005)
            path = os.path.dirname(path)
        # Sticky: the loader refuses a temporary folder below one that others
        # may rename things in.
        os.chmod(self.root, 0o1777)
        os.chmod(self.tmp, 0o1777)

    def external(self, entries, **kw):
        return kits.write_external_kit(self.kit_dir, self.ctx.loader_bytes, entries,
                                       loader_name=self.ctx.loader_name, **kw)

    def self_extracting(self, entries, **kw):
        return kits.write_self_extracting_kit(self.kit_dir, self.ctx.loader_bytes, entries,
                                              loader_name=self.ctx.loader_name, **kw)

    def close(self):
        for point in reversed(self.mounts):
            subprocess.run(["umount", point], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mounts = []


def snapshot(folder):
    """Every entry below folder: relative path -> (kind, size, digest)."""
    seen = {}
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(top, name)
            rel = os.path.relpath(path, folder)
            info = os.lstat(path)
            if stat.S_ISDIR(info.st_mode):
                seen[rel] = ("dir", 0, "")
            elif stat.S_ISLNK(info.st_mode):
                seen[rel] = ("link", 0, os.readlink(path))
            else:
                try:
                    with open(path, "rb") as f:
                        digest = hashlib.sha256(f.read()).hexdigest()
                except OSError:
                    digest = "unreadable"
                seen[rel] = ("file", info.st_size, digest)
    return seen


def leftover_problems(case, before_tmp, after_tmp, before_kit, after_kit):
    problems = []
    if before_kit != after_kit:
        problems.append("the kit folder changed: %s" % sorted(set(before_kit.items()) ^ set(after_kit.items())))
    for rel, old in before_tmp.items():
        if after_tmp.get(rel) != old:
            problems.append("%s changed or vanished" % rel)
    new = [rel for rel in after_tmp if rel not in before_tmp]
    temp_files = [r for r in new if TEMP_FILE.match(r)]
    folders = [r for r in new if WORKING_FOLDER.match(r) and after_tmp[r][0] == "dir"]
    if len(temp_files) > 1 or len(folders) > 1:
        problems.append("more than one temporary file or working folder: %s" % new)
    for rel in new:
        top = rel.split(os.sep)[0]
        if rel in temp_files or top in folders:
            continue
        if case.fallback and os.sep not in rel and after_tmp[rel][0] == "file":
            continue
        problems.append("%s appeared outside the working folder" % rel)
    return problems


# --- running the loader ----------------------------------------------------

class Outcome:
    def __init__(self, code, message):
        self.code = code
        self.message = message


def run_native(case, loader_path, args):
    env = dict(os.environ, TMPDIR=case.tmp, PROBE_RECORD=case.record)
    command = [loader_path, *args]
    if case.user is not None:
        uid, gid, _ = case.user
        # A build instrumented with gcc's line counts writes them as the
        # loader ends, next to its objects, which are not this user's to
        # write: they go below the case instead of into the message.
        counts = os.path.join(case.root, "counts")
        os.makedirs(counts, exist_ok=True)
        os.chmod(counts, 0o777)
        env["GCOV_PREFIX"] = counts
        command = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", "--"] + command
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=60)
    text = done.stderr.decode("latin-1")
    message = None
    if text:
        lines = text.rstrip("\n").split("\n")
        if lines[0] != CAPTION:
            raise AssertionError("unexpected output: %r" % text)
        message = "\n".join(lines[1:])
    return Outcome(done.returncode, message)


def run_wine(ctx, case, loader_path, args):
    env = dict(os.environ, PROBE_RECORD=win(case.record))
    command = [ctx.wine_run, ctx.with_env, "TMP=" + win(case.tmp), "TEMP=" + win(case.tmp), "--",
               ctx.driver, "--timeout", "30000", loader_path, *args]
    if case.user is not None:
        # The user's own Wine prefix in its home: Wine refuses a prefix that
        # another user owns. The X server is shared.
        uid, gid, home = case.user
        command = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", "--",
                   "env", "HOME=" + home, "WINEPREFIX=" + os.path.join(home, "wine-prefix")] + command
    last = ""
    for _ in range(2):  # Wine itself now and then fails to start a program
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=150)
        out = done.stdout.decode("latin-1")
        lines = [line for line in out.splitlines() if line.startswith("{")]
        seen = json.loads(lines[-1]) if lines else {}
        if done.returncode == 0 and seen.get("started"):
            if seen.get("timed_out"):
                raise AssertionError("the loader did not end: %s" % seen)
            message = seen.get("box_text") if seen.get("box") else None
            if message is not None and seen.get("box_caption", CAPTION) != CAPTION:
                raise AssertionError("box caption %r" % seen.get("box_caption"))
            return Outcome(seen["exit_code"], message)
        last = out + done.stderr.decode("latin-1")
    raise AssertionError("the driver failed: %s" % last)


# --- the faults --------------------------------------------------------------
# Each returns (kit, args, check) where check(outcome, case) gives a list of
# problems; it may raise Skip.

def installer_entry(ctx):
    return kits.Entry(b"C:\\Product\\install.exe", ctx.probe_bytes)


def expect_message(expected):
    def check(out, case):
        problems = []
        if out.code != 1:
            problems.append("exit code %d, expected 1" % out.code)
        ok = expected.match(out.message or "") if hasattr(expected, "match") else out.message == expected
        if not ok:
            problems.append("message %r, expected %r" % (out.message, getattr(expected, "pattern", expected)))
        return problems
    return check


def expect_success(check_files=None):
    def check(out, case):
        problems = []
        if out.code != 0 or out.message is not None:
            return ["exit code %d, message %r; expected a hand-off" % (out.code, out.message)]
        record = read_record(case.record)
        if record is None:
            return ["the installer never ran"]
        if check_files:
            problems += check_files(case, record)
        return problems
    return check


def fault_disk_full(ctx, case):
    # Room for the installer and 256 KiB more.
    room = (len(ctx.probe_bytes) // 4096 + 64) * 4096
    case.mount_tmpfs("size=%d,mode=1777" % room)
    big = kits.Entry(b"C:\\Product\\data.bin", noise(1024 * 1024))
    kit = case.external([installer_entry(ctx), big])

    def check(out, case):
        problems = expect_message(MSG_DISK_FULL)(out, case)
        m = MSG_DISK_FULL.match(out.message or "")
        if m and not m.group(1).endswith(("data.bin")):
            problems.append("the message names %s, not data.bin" % m.group(1))
        # The partial file stays (nothing is undone).
        partial = [p for p in snapshot(case.tmp) if p.endswith("data.bin")]
        if len(partial) != 1:
            problems.append("partial file not left in the working folder: %s" % partial)
        return problems
    return kit, [], check


def fault_temp_missing(ctx, case):
    kit = case.external([installer_entry(ctx)])
    case.tmp_override = os.path.join(case.root, "no-such-folder")
    return kit, [], expect_message(MSG_NO_TEMP)


def fault_temp_read_only(ctx, case):
    case.mount_tmpfs("size=1m,mode=1777")
    case.remount_read_only()
    kit = case.external([installer_entry(ctx)])
    if ctx.wine:
        # Also under Wine, whose GetTempFileNameA gives a name it could not
        # make: the platform checks that the file is there, as Windows
        # guarantees.
        return kit, [], expect_message(MSG_NO_TEMP)
    # Natively the tmpfs is shared (mode 1777): the loader makes a folder of a
    # random name there, or gives up; it never writes into the shared folder
    # itself.
    return kit, [], expect_message(MSG_NO_PRIVATE_FOLDER)


def fault_temp_not_writable(ctx, case):
    case.unprivileged()
    os.chmod(case.tmp, 0o555)
    kit = case.external([installer_entry(ctx)])
    return kit, [], expect_message(MSG_NO_TEMP)


def fault_folder_name_taken(ctx, case):
    # The temporary name is random, so every name it could take is taken
    # beforehand as a folder: the temporary file can still be made (its name
    # has the extension) but the folder of the same name cannot.
    # Private to the loader's user: only there may the files go straight
    # into the temporary folder (a shared one gets a folder of a random name,
    # which cannot be taken beforehand).
    case.mount_tmpfs("size=64m,nr_inodes=300000,mode=%s" % ("1777" if ctx.wine else "0700"))
    digits = "%x" if ctx.wine else "%X"
    for n in range(0x10000):
        os.mkdir(os.path.join(case.tmp, "ldx" + digits % n))
    case.fallback = True
    kit = case.external([installer_entry(ctx), kits.Entry(b"C:\\Product\\readme.txt", b"read me\n")])

    def files(case, record):
        where = os.path.dirname(record.path.replace("\\", "/"))
        expected = win(case.tmp) if ctx.wine else case.tmp
        if os.path.normcase(where.rstrip("/")) != os.path.normcase(expected.replace("\\", "/").rstrip("/")):
            return ["the installer ran from %s, not from the temporary folder" % record.path]
        if not os.path.isfile(os.path.join(case.tmp, "readme.txt")):
            return ["readme.txt was not extracted into the temporary folder"]
        return []
    return kit, [], expect_success(files)


def fault_archive_truncated(ctx, case):
    # setup.1 cut in the middle of the second entry's stream: the table was
    # read whole, the data end early, as when the file is cut after the
    # loader started. The cut entry keeps what was inflated; the installer,
    # complete, still runs.
    data = kits.Entry(b"C:\\Product\\data.bin", noise(200000))
    kit = case.external([installer_entry(ctx), data])
    setup1 = os.path.join(case.kit_dir, "setup.1")
    size = os.path.getsize(setup1)
    with open(setup1, "r+b") as f:
        f.truncate(size - 100000)

    def files(case, record):
        got = [p for p in snapshot(case.tmp) if p.endswith("data.bin")]
        if len(got) != 1:
            return ["data.bin missing: %s" % got]
        length = os.path.getsize(os.path.join(case.tmp, got[0]))
        if not 0 < length < 200000:
            return ["data.bin holds %d bytes; expected part of 200000" % length]
        return []
    return kit, [], expect_success(files)


def fault_installer_truncated(ctx, case):
    # The installer's own stream cut short: the loader still hands over to
    # what it could extract, and starting that fails with a WinExec code.
    kit = case.external([installer_entry(ctx)])
    setup1 = os.path.join(case.kit_dir, "setup.1")
    with open(setup1, "r+b") as f:
        f.truncate(5 + 164 + 200)
    return kit, [], expect_message(MSG_CANNOT_RUN)


def fault_archive_unreadable(ctx, case):
    case.unprivileged()
    kit = case.external([installer_entry(ctx)])
    os.chmod(os.path.join(case.kit_dir, "setup.1"), 0)
    path = os.path.join(case.kit_dir, "setup.1")
    if ctx.wine:
        path = win(path)
    return kit, [], expect_message(re.compile("^The file %s could not be opened for reading$" % re.escape(path)))


def fault_installer_cannot_start(ctx, case):
    kit = case.external([kits.Entry(b"C:\\Product\\install.exe", b"this is not a program\n" * 20)])
    return kit, [], expect_message(MSG_CANNOT_RUN)


def fault_self_extracting_cut(ctx, case):
    # A self-extracting loader whose archive data were overwritten with zeros
    # (a damaged download): the zlib error is reported as "error".
    kit = case.self_extracting([installer_entry(ctx), kits.Entry(b"C:\\Product\\data.bin", noise(50000))])
    with open(kit.loader_path, "r+b") as f:
        size = os.path.getsize(kit.loader_path)
        f.seek(size - 56 - 40000)
        f.write(bytes(20000))
    return kit, [], expect_message("error")


FAULTS = [
    # name, what it does, function, where it can run ("both", "native")
    ("disk_full", "tmpfs with room for the installer and 256 KiB, 1 MiB to unpack", fault_disk_full, "both"),
    ("temp_missing", "TMPDIR/TMP names a folder that does not exist", fault_temp_missing, "both"),
    ("temp_read_only", "temporary folder on a read-only tmpfs", fault_temp_read_only, "both"),
    ("temp_not_writable", "temporary folder mode 0555, loader run as an unprivileged user",
     fault_temp_not_writable, "both"),
    ("folder_name_taken", "every ldx* folder name exists: fallback to the temporary folder",
     fault_folder_name_taken, "both"),
    ("archive_truncated", "setup.1 cut inside the second entry's stream", fault_archive_truncated, "both"),
    ("installer_truncated", "setup.1 cut inside the installer's stream", fault_installer_truncated, "both"),
    ("archive_unreadable", "setup.1 mode 000, loader run as an unprivileged user",
     fault_archive_unreadable, "both"),
    ("installer_cannot_start", "the installer entry is not a program", fault_installer_cannot_start, "both"),
    ("sfx_damaged", "self-extracting file with zeroed stream bytes", fault_self_extracting_cut, "both"),
]


class Context:
    pass


def check_the_checker():
    """The leftover rule itself, on made-up snapshots: each row must give
    problems exactly when it says so."""
    class Fake:
        fallback = False
    f = ("file", 1, "x")
    d = ("dir", 0, "")
    base = {"unrelated.txt": f}
    rows = [
        ("a working folder and its temporary file", False, {"ldx1A.tmp": f, "ldx1A": d, "ldx1A/a": f}, False),
        ("a file beside them", False, {"ldx1A.tmp": f, "ldx1A": d, "stray.txt": f}, True),
        ("the same file after the fallback", True, {"ldx1A.tmp": f, "stray.txt": f}, False),
        ("a folder after the fallback", True, {"ldx1A.tmp": f, "sub": d}, True),
        ("two working folders", False, {"ldx1A.tmp": f, "ldx1A": d, "ldx2B": d}, True),
        ("an existing file changed", False, {"unrelated.txt": ("file", 2, "y")}, True),
        ("an existing file removed", False, None, True),
    ]
    wrong = []
    for what, fallback, extra, bad in rows:
        case = Fake()
        case.fallback = fallback
        after = {} if extra is None else dict(base, **extra)
        got = bool(leftover_problems(case, base, after, {}, {}))
        if got != bad:
            wrong.append(what)
    if leftover_problems(Fake(), {}, {}, {"setup.1": f}, {"setup.1": ("file", 1, "z")}) == []:
        wrong.append("a changed kit folder")
    for what in wrong:
        print("leftover rule wrong for: %s" % what)
    return 1 if wrong else 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    if sys.argv[1:] == ["--check-the-checker"]:
        return check_the_checker()
    p.add_argument("--loader", required=True)
    p.add_argument("--probe", required=True)
    p.add_argument("--scratch")
    p.add_argument("--wine-run")
    p.add_argument("--driver")
    p.add_argument("--with-env")
    p.add_argument("--only", action="append", help="run only these faults")
    a = p.parse_args()

    ctx = Context()
    ctx.wine = a.wine_run is not None
    ctx.wine_run, ctx.driver, ctx.with_env = a.wine_run, a.driver, a.with_env
    with open(a.loader, "rb") as f:
        ctx.loader_bytes = f.read()
    with open(a.probe, "rb") as f:
        ctx.probe_bytes = f.read()
    ctx.loader_name = "setup.exe" if ctx.wine else "setup"
    if a.scratch:
        shutil.rmtree(a.scratch, ignore_errors=True)
        os.makedirs(a.scratch)
        ctx.scratch = a.scratch
    else:
        ctx.scratch = tempfile.mkdtemp(prefix="fault-matrix-")

    rows = []
    for name, what, make, where in FAULTS:
        if a.only and name not in a.only:
            continue
        start = time.monotonic()
        case = None
        try:
            case = Case(ctx, name)
            case.tmp_override = None
            kit, args, check = make(ctx, case)
            before_tmp, before_kit = snapshot(case.tmp), snapshot(case.kit_dir)
            if case.tmp_override:
                case.tmp, real_tmp = case.tmp_override, case.tmp
            out = (run_wine(ctx, case, kit.loader_path, args) if ctx.wine
                   else run_native(case, kit.loader_path, args))
            if case.tmp_override:
                case.tmp = real_tmp
            problems = check(out, case)
            problems += leftover_problems(case, before_tmp, snapshot(case.tmp), before_kit,
                                          snapshot(case.kit_dir))
            result = "FAIL" if problems else "ok"
            detail = "; ".join(problems) if problems else (out.message or "installer started")
            code = out.code
        except Skip as why:
            result, detail, code = "SKIP", str(why), "-"
        except Exception as error:  # a broken row is a failure, not a crash of the table
            result, detail, code = "FAIL", "%s: %s" % (type(error).__name__, error), "-"
        finally:
            if case is not None:
                case.close()
        rows.append((name, what, result, code, detail, time.monotonic() - start))

    build = "Windows loader under Wine" if ctx.wine else "native loader"
    print("\nFault matrix, %s" % build)
    print("%-24s %-5s %-4s %s" % ("fault", "result", "exit", "message or reason"))
    for name, what, result, code, detail, seconds in rows:
        print("%-24s %-6s %-4s %s" % (name, result, code, detail[:160]))
        print("%-24s        (%s; %.1f s)" % ("", what, seconds))
    failed = [r for r in rows if r[2] == "FAIL"]
    skipped = [r for r in rows if r[2] == "SKIP"]
    print("%d faults: %d ok, %d skipped, %d failed"
          % (len(rows), len(rows) - len(failed) - len(skipped), len(skipped), len(failed)))
    if not a.scratch and not failed:
        shutil.rmtree(ctx.scratch, ignore_errors=True)
    if skipped and os.environ.get("LOADERKIT_NO_SKIPS"):
        print("LOADERKIT_NO_SKIPS is set: a skipped fault fails the run")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
