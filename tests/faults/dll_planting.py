#!/usr/bin/env python3
"""A loader run from a folder holding planted DLLs must not load them.

Checks, for the Windows loader:
  1. its import table names only DLLs the system always takes from its own
     folder (known DLLs), and the PE asks for ASLR (high-entropy too) and DEP;
  2. run under Wine from a folder that also holds a planted comctl32.dll
     (the one DLL the loader loads that is not a known DLL), with Wine told
     to prefer native DLLs of that name, it still unpacks and starts the
     installer, and the planted DLL never writes its marker.

A planted uxtheme.dll lies beside it as well. Wine 8's own comctl32 loads
uxtheme through a path that ignores the process's default DLL directories
(Windows honours them there), so under Wine it is loaded whatever the loader
does. It is reported, not failed: it shows where the Wine run stops proving
anything.

  3. the same, with a "setup.exe.manifest" beside the kit that declares
     comctl32.dll a file of the application's own assembly: a manifest the
     system would read redirects every load of comctl32 by name to the
     planted copy. The loader must ignore it (its own embedded manifest wins,
     and comctl32 is loaded by its full path in the system folder).

With --expect-planted the second and third checks are turned around (a
marker must appear): that shows the test can fail, against a loader built
without the protection.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from ldkit import kits  # noqa: E402
from ldkit.wine import win  # noqa: E402
from ldkit.e2e import read_record  # noqa: E402

# Taken from the system folder whatever the search order says.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll",
              "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "comdlg32.dll",
              "ws2_32.dll", "rpcrt4.dll", "sechost.dll", "combase.dll", "imm32.dll"}
MUST_NOT_LOAD = ["comctl32"]
# Loaded from the application folder by Wine itself (see above).
WINE_GAPS = ["uxtheme"]
PLANTED = MUST_NOT_LOAD + WINE_GAPS


def check_pe(objdump, loader):
    text = subprocess.run([objdump, "-p", loader], stdout=subprocess.PIPE, check=True).stdout.decode()
    problems = []
    dlls = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", text)})
    print("imported DLLs: %s" % ", ".join(dlls))
    for dll in dlls:
        if dll not in KNOWN_DLLS:
            problems.append("%s is imported but is not a known DLL" % dll)
    for flag in ("HIGH_ENTROPY_VA", "DYNAMIC_BASE", "NX_COMPAT"):
        if flag not in text:
            problems.append("the PE lacks %s" % flag)
    return problems


# Declares comctl32.dll a file of the application itself, so that the system
# looks for it in the application's folder first.
EXTERNAL_MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Planted.Setup" version="1.0.0.0" processorArchitecture="*"/>
  <file name="comctl32.dll"/>
</assembly>
"""


def run_planted(a, manifest=False):
    root = os.path.abspath(a.scratch) + ("-manifest" if manifest else "")
    shutil.rmtree(root, ignore_errors=True)
    kit_dir, tmp = os.path.join(root, "kit"), os.path.join(root, "tmp")
    os.makedirs(tmp)
    with open(a.loader, "rb") as f:
        loader = f.read()
    with open(a.probe, "rb") as f:
        probe = f.read()
    kit = kits.write_external_kit(kit_dir, loader, [kits.Entry(b"C:\\Product\\install.exe", probe)],
                                  loader_name="setup.exe")
    for name in PLANTED:
        shutil.copyfile(a.dll, os.path.join(kit_dir, name + ".dll"))
    if manifest:
        with open(kit.loader_path + ".manifest", "wb") as f:
            f.write(EXTERNAL_MANIFEST)
    record = os.path.join(root, "record.txt")
    env = dict(os.environ, PROBE_RECORD=win(record),
               WINEDLLOVERRIDES="mscoree,mshtml=;%s=n,b" % ",".join(PLANTED))
    # Through the error-box driver, which dismisses a box (a loader that
    # bound to the planted DLL has no progress bar class and fails).
    command = [a.wine_run, a.with_env, "TMP=" + win(tmp), "TEMP=" + win(tmp), "--",
               a.driver, "--timeout", "30000", kit.loader_path]
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=150)
    lines = [line for line in done.stdout.decode("latin-1").splitlines() if line.startswith("{")]
    seen = json.loads(lines[-1]) if lines else {}
    exit_code = seen.get("exit_code", -1)
    markers = [n.lower() for n in os.listdir(kit_dir) if n.lower().endswith(".loaded")]
    loaded = sorted(n for n in markers if n[:-len(".dll.loaded")] in MUST_NOT_LOAD)
    gaps = sorted(n for n in markers if n[:-len(".dll.loaded")] in WINE_GAPS)
    ran = read_record(record) is not None
    print("%sloader exit code %d; installer started: %s; planted DLLs loaded: %s"
          % ("with setup.exe.manifest: " if manifest else "", exit_code, ran,
             ", ".join(loaded) or "none"))
    if gaps:
        print("loaded by Wine itself, not by the loader (a gap of Wine, not checked): %s" % ", ".join(gaps))
    problems = []
    if a.expect_planted:
        if not loaded:
            problems.append("no planted DLL was loaded, though this loader should load one")
        return problems
    if loaded:
        problems.append("planted DLLs were loaded from the loader's folder: %s" % loaded)
    if exit_code != 0 or not ran:
        problems.append("the loader did not hand over (exit %d): %s"
                        % (exit_code, done.stdout.decode("latin-1")[-800:]))
    return problems


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--loader", required=True)
    p.add_argument("--probe", required=True)
    p.add_argument("--dll", required=True, help="the planted DLL (copied under each name)")
    p.add_argument("--wine-run", required=True)
    p.add_argument("--with-env", required=True)
    p.add_argument("--driver", required=True, help="loaderdrive.exe")
    p.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    p.add_argument("--scratch", required=True)
    p.add_argument("--expect-planted", action="store_true")
    p.add_argument("--manifest-only", action="store_true", help="only the external-manifest run")
    a = p.parse_args()
    problems = [] if a.expect_planted else check_pe(a.objdump, a.loader)
    if not a.manifest_only:
        problems += run_planted(a)
    problems += run_planted(a, manifest=True)
    for problem in problems:
        print("FAIL: " + problem)
    print("dll planting: %s" % ("FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
