#!/usr/bin/env python3
"""One end-to-end case of a Windows program run under Wine through loaderdrive.

Lays out a fresh folder (the program copied in, optionally dated, optionally
with a setup.1 beside it), runs the program through the driver and compares
what the driver saw with the expectations given. Placeholders in --text:
{path} is the Windows path of the copied program, {dir} its folder.
Fails loudly (never skips) when Wine, Xvfb or the driver cannot run.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

CAPTION = "There was an error when trying to load the installation program"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--emulator", required=True)
    p.add_argument("--driver", required=True)
    p.add_argument("--program", required=True)
    p.add_argument("--work", required=True, help="folder for this case; made afresh")
    p.add_argument("--name", help="file name of the copied program")
    p.add_argument("--year", type=int, help="date the copied program's last write in this year")
    p.add_argument("--setup1", help="file to place beside the program as setup.1")
    p.add_argument("--setup1-hex", help="bytes of a setup.1 to place beside the program, in hex")
    p.add_argument("--setup1-dir", action="store_true", help="place a folder named setup.1 beside it")
    p.add_argument("--setup1-year", type=int, help="date setup.1's last write in this year")
    p.add_argument("--show", type=int, help="wShowWindow for the program's start-up information")
    p.add_argument("--timeout-ms", type=int, default=30000)
    p.add_argument("--exit", type=int, required=True, help="expected exit code")
    p.add_argument("--text", help="expected box text; omit with --no-box")
    p.add_argument("--no-box", action="store_true", help="expect that no error box appears")
    p.add_argument("--icon", default="hand", help="expected icon of the box")
    p.add_argument("--owner", choices=["setup", "none"], help="expected owner of the box")
    p.add_argument("--setup-visible", choices=["yes", "no"],
                   help="whether the Setup window is visible while the box is up")
    p.add_argument("args", nargs="*", help="arguments for the program (after --)")
    a = p.parse_args()

    for tool in (a.emulator, a.driver, a.program):
        if not os.path.exists(tool):
            sys.exit(f"loader_case: missing {tool}")

    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    program = os.path.join(a.work, a.name or os.path.basename(a.program))
    shutil.copy2(a.program, program)
    setup1 = os.path.join(a.work, "setup.1")
    if a.setup1:
        shutil.copy2(a.setup1, setup1)
    if a.setup1_hex is not None:
        with open(setup1, "wb") as f:
            f.write(bytes.fromhex(a.setup1_hex))
    if a.setup1_dir:
        os.makedirs(setup1)
    for path, year in ((program, a.year), (setup1, a.setup1_year)):
        if year is not None:
            stamp = time.mktime((year, 7, 1, 12, 0, 0, 0, 0, -1))
            os.utime(path, (stamp, stamp))

    command = [a.emulator, a.driver, "--timeout", str(a.timeout_ms)]
    if a.show is not None:
        command += ["--show", str(a.show)]
    command += [program] + a.args
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=a.timeout_ms / 1000 + 120)
    out = run.stdout.decode("latin-1")
    err = run.stderr.decode("latin-1")
    lines = [line for line in out.splitlines() if line.startswith("{")]
    if run.returncode != 0 or not lines:
        print(out + err)
        sys.exit(f"loader_case: the driver failed (exit {run.returncode})")
    seen = json.loads(lines[-1])
    print(json.dumps(seen, indent=2))

    subst = {"path": windows_path(program), "dir": windows_path(a.work)}
    problems = []

    def expect(what, actual, wanted):
        if actual != wanted:
            problems.append(f"{what}: expected {wanted!r}, got {actual!r}")

    expect("timed out", seen["timed_out"], False)
    expect("exit code", seen["exit_code"], a.exit)
    if a.no_box:
        expect("error box shown", seen["box"], False)
    else:
        expect("error box shown", seen["box"], True)
        if a.text is not None:
            expect("box text", seen["box_text"], a.text.format(**subst))
        expect("box caption", seen["box_caption"], CAPTION)
        expect("buttons", seen["buttons"], ["OK"])
        expect("button ids", seen["button_ids"], [1])
        expect("icon", seen["icon"], a.icon)
        if a.owner == "setup":
            expect("owner class", seen["owner_class"], "Setup")
        elif a.owner == "none":
            expect("owner class", seen["owner_class"], "")
        if a.setup_visible is not None:
            expect("Setup window visible under the box", seen["setup_visible_during_box"],
                   a.setup_visible == "yes")

    if problems:
        print("\n".join(problems), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
