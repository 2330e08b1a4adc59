"""Timing programs under Wine, from inside one Wine process (bench/wintime.exe)."""

import os
import shutil
import subprocess

from .common import ROOT, have, run, winpath
from .payloads import make_kit
from .timing import Tool, same_file


NSIS_SCRIPT = r"""Target amd64-unicode
Name "bench"
OutFile "{out}"
SetCompressor zlib
SilentInstall silent
RequestExecutionLevel user
Section
  SetOutPath "$TEMP\nsisbench"
{files}
  Exec '"$OUTDIR\install.exe"'
SectionEnd
"""


def make_nsis(payload, out):
    files = "\n".join('  File "%s"' % os.path.join(payload, n) for n in sorted(os.listdir(payload)))
    script = out + ".nsi"
    with open(script, "w") as f:
        f.write(NSIS_SCRIPT.format(out=out, files=files))
    run(["makensis", "-V1", script])


def wine_measure(win, programs, runs, work, tag, payload=None):
    """Times (name, label, method, program, args) under Wine with wintime,
    from inside one Wine process. Returns Tools holding the wall times; the
    untimed first round's folders are checked against PAYLOAD."""
    base = os.path.join(work, "wout-" + tag)
    shutil.rmtree(base, ignore_errors=True)
    cmd = [os.path.join(ROOT, "scripts", "wine-run"), win["wintime"], str(runs), winpath(base)]
    tools = []
    for name, label, method, program, args in programs:
        line = " ".join(['"%s"' % winpath(program)] + args)
        cmd += [name, line]
        tools.append(Tool(name, label, None, os.path.join(base, name + "-0"), method=method))
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        raise SystemExit("bench: wintime failed (%d): %s" % (res.returncode, res.stderr[-2000:]))
    by_name = {t.name: t for t in tools}
    for line in res.stdout.split("\n"):
        parts = line.split()
        if len(parts) == 4 and parts[0] in by_name:
            if parts[3] != "0":
                raise SystemExit("bench: %s exited with %s under Wine" % (parts[0], parts[3]))
            by_name[parts[0]].wall.append(float(parts[2]))
    for t in tools:
        if len(t.wall) != runs:
            raise SystemExit("bench: wintime gave %d times for %s" % (len(t.wall), t.name))
        if payload:
            found = {}
            for dirpath, _, names in os.walk(t.out):
                for n in names:
                    found[n] = os.path.join(dirpath, n)
            for n in sorted(os.listdir(payload)):
                if n not in found or not same_file(found[n], os.path.join(payload, n)):
                    raise SystemExit("bench: %s did not unpack %s under Wine" % (t.name, n))
    shutil.rmtree(base, ignore_errors=True)
    return tools


def kit_and_nsis(kitpack, loader, payload, work, tag):
    """A loader.exe kit of the payload and, where makensis is installed, an
    NSIS installer of it: (kit, nsis or None)."""
    kit = os.path.join(work, "w%s-kit.exe" % tag)
    make_kit(kitpack, loader, payload, "install.exe", kit)
    nsis = None
    if have("makensis"):
        nsis = os.path.join(work, "w%s-nsis.exe" % tag)
        make_nsis(payload, nsis)
    return kit, nsis
