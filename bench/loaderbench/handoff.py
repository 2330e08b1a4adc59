"""Start to hand-off for a small kit, natively and under Wine."""

import json
import os
import statistics
import subprocess

from .common import ROOT, have, log
from .payloads import with_installer
from .report import spread
from .wine import kit_and_nsis, wine_measure


def handoff_native(build, work, runs):
    """bench/run-handoff.sh's hyperfine figures (loader against makeself)."""
    if not (have("hyperfine") and have("makeself")):
        return None
    folder = os.path.join(work, "handoff")
    env = dict(os.environ, BENCH_DIR=folder, BENCH_BUILD_DIR=build)
    res = subprocess.run([os.path.join(ROOT, "bench", "run-handoff.sh"), "--runs", str(runs),
                          "--keep"], env=env, capture_output=True, text=True, cwd=ROOT)
    if res.returncode != 0:
        log("run-handoff.sh failed:", res.stderr.strip()[-500:])
        return None
    results = {x["command"]: x for x in json.load(open(os.path.join(folder, "handoff.json")))["results"]}
    rows = []
    for name in ("loader", "makeself"):
        times = results[name]["times"]
        rows.append((name, statistics.median(times), min(times), max(times)))
    return rows


def handoff_wine(native, win, work, data_small, smoke):
    """A loader.exe kit of the probe and four small files against NSIS and
    against starting the installer alone, under Wine."""
    small = with_installer(data_small, win["probe"], os.path.join(work, "wpayload-small"),
                           "install.exe")
    # Five files, as in run-handoff.sh: the installer and four small ones.
    tiny = os.path.join(work, "wpayload-tiny")
    os.makedirs(tiny)
    for n in ["install.exe"] + sorted(os.listdir(small))[:4]:
        os.link(os.path.join(small, n), os.path.join(tiny, n))
    kit, nsis = kit_and_nsis(native["kitpack"], win["loader"], tiny, work, "tiny")
    programs = [("loader.exe", "", "", kit, [])]
    if nsis:
        programs.append(("nsis", "", "", nsis, ["/S"]))
    # The floor: Wine starting the installer itself.
    programs.append(("floor", "", "", os.path.join(tiny, "install.exe"), []))
    tools = wine_measure(win, programs, 5 if smoke else 30, work, "tiny")
    rows = []
    for t in tools:
        name = {"loader.exe": "loader.exe kit", "nsis": "NSIS installer (/S)",
                "floor": "the installer alone (Wine's floor)"}[t.name]
        med, lo, hi = spread(t.wall)
        rows.append((name, med, lo, hi))
    return rows


def handoff(nbuild, native, win, work, data_small, smoke, no_build):
    """[(where, rows)] for the report."""
    rows_by_host = []
    # run-handoff.sh configures its build folder with the native preset:
    # not to be pointed at a folder some other preset made.
    rows = None if no_build else handoff_native(nbuild, work, 20 if smoke else 200)
    if rows:
        rows_by_host.append(("native", rows))
    if win:
        rows_by_host.append(("Wine", handoff_wine(native, win, work, data_small, smoke)))
    return rows_by_host


HANDOFF_ABOUT = (
    "Native: `bench/run-handoff.sh` (hyperfine, no shell): the loader kit against a "
    "makeself kit of the same five files (a 100 KiB installer that exits at once and "
    "four small files); makeself waits for the installer and removes its folder, which "
    "is how it hands off. Under Wine (timed inside Wine by `bench/wintime.exe`): a "
    "loader.exe kit of the Windows probe and four small files, against an NSIS "
    "installer that unpacks the same files and starts the installer, and against "
    "starting the installer alone, the floor for any loader there.")
