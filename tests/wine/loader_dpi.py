#!/usr/bin/env python3
"""The real loader.exe at 96, 144 and 192 DPI, each in a Wine prefix of its
own whose LogPixels says so. Run without an archive, the loader stops in its
error box over its shown window; the driver measures that window. At every
DPI the window keeps the share of the screen its 96-DPI look has (within 2
pixels), and the bar and its margins scale by DPI/96. Prints what it measured.

usage: loader_dpi.py --wine-run WINE_RUN --driver loaderdrive.exe --loader loader.exe --work DIR
"""

import argparse
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.wine import TestPrefix  # noqa: E402


def rnd(value):
    """Nearest integer, a half to the even neighbour (Python's round)."""
    return round(value)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--wine-run", required=True)
    p.add_argument("--driver", required=True)
    p.add_argument("--loader", required=True)
    p.add_argument("--work", required=True)
    a = p.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    loader = os.path.join(a.work, "setup.exe")
    shutil.copy2(a.loader, loader)

    problems = []
    for dpi in (96, 144, 192):
        settings = {r"HKEY_CURRENT_USER\Control Panel\Desktop": {"LogPixels": dpi}}
        with TestPrefix(a.wine_run, os.path.join(a.work, "prefix-%d" % dpi), settings) as prefix:
            done = prefix.run([a.driver, "--timeout", "30000", loader], timeout=180)
        lines = [x for x in done.stdout.decode("latin-1").splitlines() if x.startswith("{")]
        if done.returncode != 0 or not lines:
            sys.exit("loader_dpi: the driver failed at %d DPI (exit %d): %s"
                     % (dpi, done.returncode, done.stdout + done.stderr))
        seen = json.loads(lines[-1])
        geometry = seen["setup_geometry"]
        if geometry is None:
            problems.append("%d DPI: the Setup window was never shown" % dpi)
            continue
        left, top, width, height = geometry["window"]
        client_w, client_h = geometry["client"]
        bar_left, bar_top, bar_w, bar_h = geometry["bar"]
        max_w, max_h = geometry["maximized"]
        print("%d DPI: window %dx%d at %d,%d, client %dx%d, bar %dx%d at %d,%d (maximized %dx%d)"
              % (dpi, width, height, left, top, client_w, client_h, bar_w, bar_h, bar_left,
                 bar_top, max_w, max_h))
        scale = dpi / 96

        def expect(what, actual, wanted, slack=0):
            if abs(actual - wanted) > slack:
                problems.append("%d DPI: %s is %s, expected %s" % (dpi, what, actual, wanted))

        expect("the window's DPI", geometry["dpi"], dpi)
        expect("the exit code", seen["exit_code"], 1)
        # The 96-DPI look of the same screen, scaled.
        look_w, look_h = max_w / scale, max_h / scale
        expect("the width", width, look_w * 0.5 * scale, 2)
        expect("the height", height, look_h * 0.15 * scale, 2)
        expect("the left edge", left, (look_w * 0.5 - look_w * 0.25) * scale, 2)
        expect("the top edge", top, (look_h * 0.5 - look_h * 0.075) * scale, 2)
        expect("the bar's left edge", bar_left, rnd(52 * scale))
        expect("the margin right of the bar", client_w - bar_left - bar_w, rnd(10 * scale))
        expect("the bar's height", bar_h, rnd(20 * scale))
        expect("the bar's top", bar_top, rnd(client_h / 2 - rnd(20 * scale) / 2))
    if problems:
        print("\n".join(problems), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
