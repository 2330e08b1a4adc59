"""Extraction: the loader's kit against the archivers, natively and under Wine."""

import os
import shutil
import statistics
import subprocess

from .common import MIB, have, log
from .payloads import folder_bytes, make_kit, make_peer_archives, with_installer
from .timing import Tool, check_unpacked, measure
from .wine import kit_and_nsis, wine_measure


def native_tools(kit_path, peers, payload, work, tag):
    out = lambda n: os.path.join(work, "out-%s-%s" % (tag, n))
    tools = [Tool("loader", "loader kit (kitpack -9)", [kit_path], out("loader"),
                  env={"TMPDIR": out("loader")}, method="deflate")]
    if "tar.gz" in peers:
        tools.append(Tool("gzip", "gzip -dc (tar.gz, -9)", ["gzip", "-dc", peers["tar.gz"]],
                          out("gzip"), stdout_file=out("gzip") + ".tar", method="deflate"))
        if have("pigz"):
            tools.append(Tool("pigz", "pigz -dc (tar.gz, -9)", ["pigz", "-dc", peers["tar.gz"]],
                              out("pigz"), stdout_file=out("pigz") + ".tar", method="deflate"))
    if "zip" in peers:
        tools.append(Tool("unzip", "unzip (zip -9)", ["unzip", "-q", "-o", peers["zip"], "-d",
                                                      out("unzip")], out("unzip"), method="deflate"))
    sevenz = shutil.which("7zz") or shutil.which("7z")
    if "7z-deflate" in peers:
        tools.append(Tool("7z-deflate", "7z x (deflate, -mx9)",
                          [sevenz, "x", "-y", "-bd", "-bso0", "-o" + out("7z-deflate"),
                           peers["7z-deflate"]], out("7z-deflate"), method="deflate"))
        tools.append(Tool("7z-default", "7z x (default: LZMA2)",
                          [sevenz, "x", "-y", "-bd", "-bso0", "-o" + out("7z-default"),
                           peers["7z-default"]], out("7z-default"), method="LZMA2"))
    if "makeself" in peers:
        tools.append(Tool("makeself", "makeself kit (gzip)",
                          [peers["makeself"], "--nox11", "--quiet", "--target", out("makeself")],
                          out("makeself"), method="deflate"))
    # The extracted gzip/pigz output is one tar file; kept out of the checks.
    for t in tools:
        if t.stdout_file:
            t.out = t.stdout_file + ".d"
    return tools


class RawLimit:
    """extract_bench's plain inflate loops and ExtractAll on the kit's own
    streams, in one process, once per call; rates in MiB/s by variant."""

    def __init__(self, extract_bench, archive, work):
        self.cmd = [extract_bench, "compare", archive, os.path.join(work, "out-raw"),
                    "--repeat", "1"]
        self.out = os.path.join(work, "out-raw")
        self.rates = {}

    def __call__(self):
        res = subprocess.run(self.cmd, capture_output=True, text=True)
        shutil.rmtree(self.out, ignore_errors=True)
        if res.returncode != 0:
            raise SystemExit("bench: extract_bench failed: " + res.stderr)
        for line in res.stdout.splitlines():
            for key in ("ExtractAll", "(a) plain, 4 KiB", "(b) plain, 1 MiB"):
                if line.startswith(key + " ") and "/" not in line:
                    self.rates.setdefault(key, []).append(float(line[len(key):].split()[0]))

    def medians(self):
        return {k: statistics.median(v) for k, v in self.rates.items()}


def native_sets(native, work, data_mixed, data_small, mib, runs):
    """Every tool on the mixed set and on the many small files, with the
    library's limit timed in its own place in every round."""
    sets = []
    for tag, data, title, about in (
        ("mixed", data_mixed, "%d MiB mixed" % mib,
         "Eleven files: the installer, %d MiB incompressible, %d MiB text in eight files, "
         "%d MiB zeros." % (mib * 3 // 8, mib // 2, mib // 8)),
        ("small", data_small, "many small files",
         "The installer and 49 files of 1–64 KiB (incompressible, text, zeros): 50 entries, "
         "as many as one archive of ours holds. Every tool gets the same 50 files; a set of "
         "thousands of files cannot be carried by the loader's first archive at all (the "
         "rest would go to the second archive, which the installer unpacks)."),
    ):
        payload = with_installer(data, native["probe"], os.path.join(work, "payload-" + tag), "install")
        size = folder_bytes(payload)
        log("archives for", tag, "(%d bytes)" % size)
        kit = os.path.join(work, tag + "-kit")
        make_kit(native["kitpack"], native["loader"], payload, "install", kit)
        external = os.path.join(work, tag + "-external")
        make_kit(native["kitpack"], native["loader"], payload, "install", external, external=True)
        peers = make_peer_archives(payload, work, tag)
        tools = native_tools(kit, peers, payload, work, tag)
        check_unpacked(tools, payload, sorted(os.listdir(payload)))
        log("timing", tag, ":", ", ".join(t.name for t in tools), "x", runs)
        limit_runs = RawLimit(native["extract_bench"], os.path.join(external, "setup.1"), work)
        measure(tools, runs, also=limit_runs)
        raw = limit_runs.medians()
        loader = tools[0]
        loader_rate = size / MIB / statistics.median(loader.wall)
        limit = max(raw.get("(a) plain, 4 KiB", 0), raw.get("(b) plain, 1 MiB", 0))
        sets.append({"title": title, "about": about, "tools": tools, "bytes": size,
                     "raw": raw, "vs_raw": loader_rate / limit if limit else 0})
    return sets


WINE_ABOUT = ("The same eleven files, the installer being the Windows "
              "probe. `bench/wintime.exe` runs each program inside one "
              "Wine process (so the second or so that Wine itself takes "
              "to start is left out), with a fresh TMP and TEMP per "
              "run, and times it from CreateProcess to its end: the "
              "loader exits after handing off, NSIS after extracting "
              "and starting the same installer. NSIS (x86-64 stub: this "
              "Wine has no 32-bit support): `SetCompressor zlib` "
              "(not solid, one stream per file like ours), "
              "`SilentInstall silent`, run with `/S`, default CRC check "
              "of its own file.")


def wine_set(native, win, work, data_mixed, mib, wruns):
    """The same mixed files through loader.exe and NSIS, under Wine."""
    payload = with_installer(data_mixed, win["probe"], os.path.join(work, "wpayload-mixed"),
                             "install.exe")
    size = folder_bytes(payload)
    kit, nsis = kit_and_nsis(native["kitpack"], win["loader"], payload, work, "mixed")
    programs = [("loader.exe", "loader.exe kit (kitpack -9)", "deflate", kit, [])]
    if nsis:
        programs.append(("nsis", "NSIS installer (zlib, /S)", "deflate", nsis, ["/S"]))
    log("timing under Wine:", ", ".join(p[0] for p in programs), "x", wruns)
    tools = wine_measure(win, programs, wruns, work, "mixed", payload)
    return {"title": "%d MiB mixed" % mib, "tools": tools, "bytes": size, "about": WINE_ABOUT}
