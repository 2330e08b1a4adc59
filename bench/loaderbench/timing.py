"""Timing a contender run by run, and checking what it unpacked."""

import os
import random
import shutil
import subprocess
import time

from .common import MIB, TIME


class Tool:
    """One contender: the command, and the folder it unpacks into (emptied
    before every run)."""

    def __init__(self, name, label, cmd, out, env=None, stdout_file=None, method=""):
        self.name, self.label, self.cmd, self.out = name, label, cmd, out
        self.env, self.stdout_file, self.method = env, stdout_file, method
        self.wall, self.cpu, self.rss = [], [], []


def timed(tool):
    shutil.rmtree(tool.out, ignore_errors=True)
    os.makedirs(tool.out)
    env = dict(os.environ)
    env.update(tool.env or {})
    stdout = open(tool.stdout_file, "wb") if tool.stdout_file else subprocess.DEVNULL
    # A child forked from this interpreter counts the interpreter's pages in
    # its peak even after exec; GNU time, small itself, reports the peak of
    # the program alone (and of what it waits for, not of an installer that
    # a loader leaves running).
    cmd = list(tool.cmd)
    rss_file = tool.out + ".rss"
    if TIME:
        cmd = [TIME, "-f", "%M", "-o", rss_file] + cmd
    try:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.PIPE, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
    finally:
        if tool.stdout_file:
            stdout.close()
    if proc.returncode != 0:
        raise SystemExit("bench: %s failed (%d): %s\n%s" % (tool.name, proc.returncode,
                                                             " ".join(tool.cmd), err))
    rss = usage.ru_maxrss
    if TIME:
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
        os.remove(rss_file)
    return wall, usage.ru_utime + usage.ru_stime, rss


def measure(tools, runs, warmup=1, also=None):
    """Every tool once per round, rounds repeated: drift in the machine's load
    spreads over all of them instead of landing on one. ALSO, when given, is
    called once per round at a place of its own in the order."""
    for _ in range(warmup):
        for t in tools:
            timed(t)
    for r in range(runs):
        order = list(tools) + ([also] if also else [])
        random.Random(r).shuffle(order)
        for t in order:
            if t is also:
                also()
                continue
            wall, cpu, rss = timed(t)
            t.wall.append(wall)
            t.cpu.append(cpu)
            t.rss.append(rss)
    for t in tools:
        shutil.rmtree(t.out, ignore_errors=True)
        if t.stdout_file and os.path.exists(t.stdout_file):
            os.remove(t.stdout_file)


def check_unpacked(tools, payload, data_names):
    """Each tool must really have unpacked every file, byte for byte."""
    for t in tools:
        if t.stdout_file:
            continue
        timed(t)
        found = {}
        for dirpath, _, names in os.walk(t.out):
            for n in names:
                found[n] = os.path.join(dirpath, n)
        for n in data_names:
            if n not in found:
                raise SystemExit("bench: %s did not unpack %s" % (t.name, n))
            if not same_file(found[n], os.path.join(payload, n)):
                raise SystemExit("bench: %s unpacked %s wrongly" % (t.name, n))
        shutil.rmtree(t.out, ignore_errors=True)


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MIB), fb.read(MIB)
            if x != y:
                return False
            if not x:
                return True
