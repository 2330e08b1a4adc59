"""What the loader's end-to-end tests share: scratch folders, the probe's
record, the messages the loader reports, and the base of their test cases."""

import os
import re
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
import unittest
from typing import List, Optional

from . import kits

CAPTION = "There was an error when trying to load the installation program"

MSG_NO_SETUP1 = ("LOADER: Setup.1 must be in the same directory as the the loader program. "
                 "Directory is ")
MSG_NO_TEMP = "LOADER: Could not find the temporary directory on this computer"
MSG_NO_FILES = ("There are no files in the archive in SETUP.1. There should at least be "
                "your installation project executable")
MSG_CANNOT_RUN = "LOADER: Could not run the installation executable file. The WinExec return was "
MSG_CANNOT_CREATE = "LOADER: Could not create the following file, "
MSG_TOO_MANY = ("LOADER: Sorry... You can only have 49 files in the PresetupFiles property of "
                "the TInstall. If you want to have more you can modify the MaxFiles constant "
                "in the CorvaneLoadProgram project in the Corvane directory")


def msg_disk_full(path: str) -> str:
    return ("LOADER: Could not write to the file %s. This probably means that your disk is full"
            % path)


# Every process a test starts is bounded by this (seconds).
PROCESS_TIMEOUT = 60
# How long a test waits for the probe to write its record after the loader
# has handed over.
RECORD_TIMEOUT = 15


@dataclass
class Record:
    """What the probe installer wrote: its own path, its command line
    (Windows only), its arguments and LOADERKIT_LOADER_WAITS ("" unset)."""
    path: str
    cmdline: Optional[str]
    args: List[str]
    waits: Optional[str] = None


def read_record(path: str, timeout: float = RECORD_TIMEOUT,
                decode=lambda raw: raw.decode("latin-1")) -> Optional[Record]:
    """Waits for the probe's record (the loader does not wait for the
    installer, so it may come a moment after the loader ended). decode turns
    its bytes into text: latin-1 matches the ANSI code page 1252 of the
    Windows build; POSIX paths want os.fsdecode."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    with open(path, "rb") as f:
        lines = decode(f.read()).split("\n")
    fields = {"path": None, "cmdline": None, "waits": None}
    args = []
    for line in lines:
        key, _, value = line.partition("=")
        if key == "arg":
            args.append(value)
        elif key in fields:
            fields[key] = value
    return Record(fields["path"], fields["cmdline"], args, fields["waits"])


def scratch_root() -> str:
    """Where scratch folders go: E2E_SCRATCH if given (CTest gives a folder in
    the build tree), else the system's temporary folder."""
    root = os.environ.get("E2E_SCRATCH") or tempfile.gettempdir()
    os.makedirs(root, exist_ok=True)
    return os.path.realpath(root)


def make_scratch(prefix: str) -> str:
    return tempfile.mkdtemp(prefix=prefix, dir=scratch_root())


def remove_scratch(path: str) -> None:
    def writable(func, p, _):
        os.chmod(os.path.dirname(p), 0o700)
        func(p)
    shutil.rmtree(path, onerror=writable)


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def mount_tmpfs(path: str, size: str, mode: str = "") -> Optional[str]:
    """Mounts a tmpfs of that size on path (its root folder of that mode, else
    tmpfs's own 1777). Gives None when mounted, else why not (the tests skip
    with that reason). Unmount with unmount()."""
    if os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    if shutil.which("mount") is None:
        return "no mount program here"
    options = "size=" + size + (",mode=" + mode if mode else "")
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=PROCESS_TIMEOUT)
    return None if result.returncode == 0 else "could not mount a tmpfs (no mount privilege)"


def unmount(path: str, wait: float = 20) -> None:
    """Unmounts path. An installer the loader started and did not wait for
    may still run there (its working folder, its open files): the unmount
    is tried again until it ends, and at last detached, so that no test
    leaves a mount behind."""
    deadline = time.monotonic() + wait
    while True:
        subprocess.run(["umount", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=PROCESS_TIMEOUT)
        if not os.path.ismount(path):
            return
        if time.monotonic() >= deadline:
            subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=PROCESS_TIMEOUT)
            return
        time.sleep(0.1)


def memory_folder(prefix: str):
    """A fresh folder for tens of thousands of entries, in memory where
    possible (a mounted tmpfs as root, else under /dev/shm), since a disk
    makes and removes that many slowly. Gives the path and its clean-up."""
    base = make_scratch(prefix)
    path = os.path.join(base, "tmp")
    os.mkdir(path)
    if mount_tmpfs(path, "64m") is None:
        def clean_mounted():
            unmount(path)
            remove_scratch(base)
        return path, clean_mounted
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        remove_scratch(base)
        shm = tempfile.mkdtemp(prefix=prefix, dir="/dev/shm")
        return shm, lambda: remove_scratch(shm)
    return path, lambda: remove_scratch(base)


class KitCase(unittest.TestCase):
    """A scratch folder per test, kits built in it around the loader under
    test, and the working folder a run left in its temporary folder."""

    LOADER_NAME = "setup"
    WORKING_FOLDER = re.compile(r"^ldx[0-9A-F]{1,4}$")

    def start(self, loader_path: str, prefix: str) -> None:
        self.loader = read_bytes(loader_path)
        self.scratch = make_scratch(prefix)
        self._ids = 0
        self.addCleanup(remove_scratch, self.scratch)

    def next_id(self) -> int:
        self._ids += 1
        return self._ids

    def folder(self, name: str) -> str:
        path = os.path.join(self.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path

    def external(self, folder, entries, **kw):
        kw.setdefault("loader_name", self.LOADER_NAME)
        return kits.write_external_kit(self.folder(folder), self.loader, entries, **kw)

    def self_extracting(self, folder, entries, **kw):
        kw.setdefault("loader_name", self.LOADER_NAME)
        return kits.write_self_extracting_kit(self.folder(folder), self.loader, entries, **kw)

    def working_folder(self, run) -> str:
        """The single ldx working folder made in the run's temporary folder."""
        folders = [n for n in os.listdir(run.tmp)
                   if os.path.isdir(os.path.join(run.tmp, n)) and self.WORKING_FOLDER.match(n)]
        self.assertEqual(len(folders), 1, os.listdir(run.tmp))
        return os.path.join(run.tmp, folders[0])
