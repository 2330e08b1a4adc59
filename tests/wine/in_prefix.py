#!/usr/bin/env python3
"""Runs a Windows program under Wine in a prefix of its own, made for this
run from the shared one with the given settings, and passes its exit code on.

usage: in_prefix.py --wine-run WINE_RUN --prefix DIR [--dpi N] -- PROGRAM [ARG...]

--dpi sets LogPixels (HKCU\\Control Panel\\Desktop) and LOADERKIT_EXPECT_DPI
for the program, so that a test can tell the setting took effect.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.wine import TestPrefix  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--wine-run", required=True)
    p.add_argument("--prefix", required=True, help="folder for the prefix; made afresh, removed after")
    p.add_argument("--dpi", type=int)
    p.add_argument("command", nargs="+")
    a = p.parse_args()
    settings = {}
    if a.dpi:
        settings[r"HKEY_CURRENT_USER\Control Panel\Desktop"] = {"LogPixels": a.dpi}
    with TestPrefix(a.wine_run, a.prefix, settings) as prefix:
        if a.dpi:
            prefix.env["LOADERKIT_EXPECT_DPI"] = str(a.dpi)
        done = prefix.run(a.command, timeout=600, stdout=None, stderr=None)
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
