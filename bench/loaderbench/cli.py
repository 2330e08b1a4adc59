"""bench/run's command line and the order of its parts."""

import argparse
import os
import shutil
import tempfile
import time

from . import extract, handoff, memory, report, stub_size
from .builds import build_native, build_windows
from .common import ROOT, log, run
from .payloads import make_mixed, make_small


def options(description):
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--runs", type=int)
    ap.add_argument("--mib", type=int)
    ap.add_argument("--no-wine", action="store_true")
    ap.add_argument("--out")
    ap.add_argument("--keep", action="store_true")
    return ap.parse_args()


def start_wine(win, work, figures):
    """Measures the stub, then makes the kits with the stripped loader, as
    they would be shipped, and starts Wine."""
    figures["stub"] = stub_size.stub_sizes(win, work)
    if figures["stub"]:
        win["loader"] = os.path.join(work, "loader-stripped.exe")
    # A Wine prefix and X display of the benchmark's own, so that tests
    # running beside it neither share nor stop its wineserver.
    os.environ.setdefault("WINEPREFIX", "/tmp/loaderkit-bench-wine")
    os.environ.setdefault("LOADERKIT_DISPLAY", ":78")
    log("starting Wine (prefix %s)" % os.environ["WINEPREFIX"])
    run([os.path.join(ROOT, "scripts", "wine-run"), win["probe"]])


def measure_all(a, work, figures):
    smoke = a.smoke
    runs = a.runs or (1 if smoke else 5)
    mib = a.mib or (4 if smoke else 256)
    wine = not (a.no_wine or smoke)
    no_build = os.environ.get("BENCH_NO_BUILD") == "1"
    nbuild = os.environ.get("BENCH_BUILD_DIR", os.path.join(ROOT, "build", "bench-native"))
    wbuild = os.environ.get("BENCH_WIN_BUILD_DIR", os.path.join(ROOT, "build", "bench-win"))
    figures["runs"] = runs
    native = build_native(nbuild, no_build)
    win = build_windows(wbuild, no_build) if wine else None
    if win:
        start_wine(win, work, figures)

    log("payloads in", work)
    data_mixed = os.path.join(work, "data-mixed")
    data_small = os.path.join(work, "data-small")
    make_mixed(data_mixed, mib)
    make_small(data_small)
    figures["sets"] = extract.native_sets(native, work, data_mixed, data_small, mib, runs)
    figures["memory"] = memory.peak_memory(native, work, mib, figures["sets"][0], smoke)
    if wine:
        wruns = runs if a.runs else max(3, runs // 2)
        figures["wine"] = extract.wine_set(native, win, work, data_mixed, mib, wruns)
    figures["handoff"] = handoff.handoff(nbuild, native, win, work, data_small, smoke, no_build)
    figures["handoff_about"] = handoff.HANDOFF_ABOUT


def write_outputs(figures, out_dir):
    figures["targets"] = report.targets(figures)
    figures["machine"] = report.machine()
    png = os.path.join(out_dir, "throughput.png")
    figures["plot"] = report.plot(png, figures["sets"], figures.get("wine"))
    md = os.path.join(out_dir, "benchmarks.md")
    report.write_report(md, figures)
    log("wrote", md, "and", png if figures["plot"] else "(no plot: gnuplot missing)")
    for line in figures["targets"]:
        log(line)


def main(description):
    a = options(description)
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = os.environ.get("BENCH_DIR") or tempfile.mkdtemp(prefix="loaderkit-bench.", dir=base)
    os.makedirs(work, exist_ok=True)
    out_dir = a.out or (os.path.join(work, "report") if a.smoke else os.path.join(ROOT, "docs"))
    os.makedirs(out_dir, exist_ok=True)
    figures = {"when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
               "work": work, "load_start": open("/proc/loadavg").read().split()[:3],
               "sets": [], "targets": []}
    try:
        measure_all(a, work, figures)
        write_outputs(figures, out_dir)
    finally:
        if not a.keep and not os.environ.get("BENCH_DIR"):
            shutil.rmtree(work, ignore_errors=True)
