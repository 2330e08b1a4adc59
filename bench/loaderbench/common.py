"""What every part of the benchmark uses: the tree, logging, running tools."""

import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20
TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def log(*parts):
    print("bench:", *parts, flush=True)


def run(cmd, **kw):
    """Runs a command that must succeed; its output is kept quiet."""
    kw.setdefault("stdout", subprocess.DEVNULL)
    result = subprocess.run(cmd, **kw)
    if result.returncode != 0:
        raise SystemExit("bench: failed (%d): %s" % (result.returncode, " ".join(map(str, cmd))))
    return result


def have(tool):
    return shutil.which(tool) is not None


def output(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout
    except OSError:
        return ""


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")
