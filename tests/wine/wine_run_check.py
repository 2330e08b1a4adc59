#!/usr/bin/env python3
"""scripts/wine-run must fail loudly, never quietly, when Wine or Xvfb is
missing: exit code 127 and a message naming what is missing."""

import os
import shutil
import subprocess
import sys
import tempfile

WINE_RUN = sys.argv[1]
BASICS = ["bash", "env", "id", "mkdir", "cat", "rm", "seq", "sleep", "flock", "setsid"]


def run_with(tools):
    with tempfile.TemporaryDirectory() as bin_dir:
        for tool in BASICS:
            os.symlink(shutil.which(tool), os.path.join(bin_dir, tool))
        for tool in tools:
            os.symlink(shutil.which("true"), os.path.join(bin_dir, tool))
        env = {"PATH": bin_dir, "HOME": os.environ.get("HOME", "/tmp")}
        return subprocess.run([shutil.which("bash"), WINE_RUN, "program.exe"], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


failures = []
for tools, missing in (([], "wine"), (["wine", "wineserver"], "Xvfb")):
    run = run_with(tools)
    message = run.stderr.decode()
    if run.returncode != 127 or f"{missing} is not installed" not in message:
        failures.append(f"without {missing}: exit {run.returncode}, stderr {message!r}")
if failures:
    sys.exit("\n".join(failures))
print("wine-run fails loudly without wine and without Xvfb")
