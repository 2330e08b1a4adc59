"""A second, unprivileged user for the tests that play an attacker: made
with useradd when missing, its programs run through setpriv. Root only."""

import os
import shutil
import subprocess
import sys
import unittest

from ldkit.e2e import PROCESS_TIMEOUT

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
