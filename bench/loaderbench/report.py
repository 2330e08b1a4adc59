"""benchmarks.md and throughput.png from the figures of one run."""

import os
import platform as pyplatform
import re
import statistics
import subprocess

from .common import MIB, have, log, output
from .stub_size import STUB_NOTES, stub_parts


TARGET_NOTES = """On the many-small-files set every run lasts a few milliseconds, so fixed
costs weigh as much as inflating: starting the process and linking its shared
libraries, making the working folder, creating 50 files, and starting the
installer (the loader's figure includes that hand-off, the archivers have
none). The plain inflate loop it is compared with runs inside an already
running process and starts nothing, so that ratio says little below a few
MiB; the 256 MiB set is the one that measures extraction, and the hand-off
table the fixed costs. Against pigz the loader's range overlaps pigz's on
small sets. Under Wine, both the loader and the NSIS installer are GUI
programs and pay Wine's set-up of the window system in every run (the
loader shows its window, NSIS in silent mode shows none); runs there spread
widely, so read a difference against the min–max ranges."""


def pinned_zlib_version():
    """The version of the zlib source every Windows target compiles."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".deps", "zlib",
                          "zlib.h")
    try:
        with open(header) as f:
            found = re.search(r'^#define ZLIB_VERSION "([^"]*)"', f.read(), re.M)
    except OSError:
        return "?"
    return found.group(1) if found else "?"


def machine():
    cpu = "?"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    first = lambda cmd: (output(cmd).strip().splitlines() or ["?"])[0]
    versions = {
        "gcc": first(["g++", "--version"]),
        "mingw-w64 gcc": first(["x86_64-w64-mingw32-g++", "--version"]),
        "zlib (native)": output(["sh", "-c", "dpkg-query -W -f='${Version}' zlib1g"]).strip(),
        "zlib (Windows build, pinned source)": pinned_zlib_version(),
        "gzip": first(["gzip", "--version"]),
        "pigz": first(["pigz", "--version"]) or output(["sh", "-c", "pigz --version 2>&1"]).strip(),
        "unzip": first(["unzip", "-v"]),
        "zip": first(["sh", "-c", "zip -v | sed -n 2p"]),
        "7-Zip": first(["sh", "-c", "(7zz || 7z) 2>/dev/null | sed -n 2p"]),
        "makeself": first(["makeself", "--version"]),
        "NSIS": first(["makensis", "-VERSION"]),
        "Wine": first(["wine", "--version"]),
        "hyperfine": first(["hyperfine", "--version"]),
    }
    return {
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "kernel": pyplatform.release(),
        "load": open("/proc/loadavg").read().split()[:3],
        "versions": {k: v for k, v in versions.items() if v},
    }


def spread(values):
    return statistics.median(values), min(values), max(values)


def fmt_time(seconds):
    return "%.0f ms" % (seconds * 1000) if seconds < 10 else "%.1f s" % seconds


def rate_row(t, size, ref):
    med, lo, hi = spread(t.wall)
    mibs = size / MIB / med
    return "| %s | %s | %.0f (%.0f–%.0f) | %.2f | %s (%s–%s) | %.0f | %.0f | %s |" % (
        t.label, t.method, mibs, size / MIB / hi, size / MIB / lo,
        (size / MIB / med) / ref if ref else float("nan"),
        fmt_time(med), fmt_time(lo), fmt_time(hi),
        statistics.median(t.cpu) / med * 100, size / MIB / statistics.median(t.cpu),
        "%d MiB" % round(max(t.rss) / 1024)
        if max(t.rss) >= 10240 else "%d KiB" % max(t.rss))


def write_report(path, r):
    m = r["machine"]
    L = []
    L.append("# Benchmarks")
    L.append("")
    L.append("Written by `bench/run` (%s). The machine is shared and noisy: read the "
             "**ratios**, not the absolute times. Medians of %d runs per tool, min–max "
             "beside them; the tools take turns run by run, so drift in the machine's load "
             "spreads over all of them." % (r["when"], r["runs"]))
    L.append("")
    L.append("Machine: %s, `nproc` %s, kernel %s; load average at the start %s, at the end %s."
             % (m["cpu"], m["nproc"], m["kernel"], " ".join(r["load_start"]), " ".join(m["load"])))
    L.append("")
    share = statistics.median(statistics.median(t.cpu) / statistics.median(t.wall) * 100
                              for t in r["sets"][0]["tools"] if t.name in ("loader", "gzip", "unzip"))
    if share < 90:
        L.append("**This run was disturbed:** the single-threaded tools (loader, gzip, unzip) had "
                 "only about %.0f%% of a core each (CPU %% column), so tools with helper threads "
                 "(pigz, 7-Zip, makeself's pipeline) gained on them. The MiB per CPU-second "
                 "column is less disturbed by that." % share)
    else:
        L.append("The single-threaded tools had about %.0f%% of a core each (CPU %% column): "
                 "little contention during the timed runs." % share)
    L.append("")
    L.append("Work files in `%s` (%s), so the disk stays out of the figures." %
             (os.path.dirname(r["work"]) or "/", "tmpfs" if r["work"].startswith("/dev/shm") else "disk"))
    L.append("")
    for s in r["sets"]:
        L.append("## Extraction, natively: %s" % s["title"])
        L.append("")
        L.append(s["about"])
        L.append("")
        L.append("| tool | method | MiB/s median (range) | ÷ loader | wall median (range) | CPU % | MiB per CPU-second | peak RSS |")
        L.append("|---|---|---|---|---|---|---|---|")
        loader_rate = None
        for t in s["tools"]:
            if t.name == "loader":
                loader_rate = s["bytes"] / MIB / statistics.median(t.wall)
        for t in s["tools"]:
            L.append(rate_row(t, s["bytes"], loader_rate))
        raw = s.get("raw")
        if raw:
            L.append("")
            L.append("Library limit on the same kit's streams (`extract_bench compare`, in its own "
                     "place in every round, inside one process, no process start; medians): "
                     "plain inflate loop with 1 MiB writes %.0f MiB/s, "
                     "with 4 KiB writes %.0f MiB/s, `ExtractAll` %.0f MiB/s. The loader end to end "
                     "reaches **%.2f** of the better plain loop (target ≥ 0.90)."
                     % (raw.get("(b) plain, 1 MiB", 0), raw.get("(a) plain, 4 KiB", 0),
                        raw.get("ExtractAll", 0), s["vs_raw"]))
        L.append("")
    if r.get("wine"):
        w = r["wine"]
        L.append("## Extraction under Wine (Xvfb): %s" % w["title"])
        L.append("")
        L.append(w["about"])
        L.append("")
        L.append("| tool | method | MiB/s median (range) | ÷ loader.exe | wall median (range) |")
        L.append("|---|---|---|---|---|")
        ref = None
        for t in w["tools"]:
            if t.name == "loader.exe":
                ref = w["bytes"] / MIB / statistics.median(t.wall)
        for t in w["tools"]:
            med, lo, hi = spread(t.wall)
            L.append("| %s | %s | %.0f (%.0f–%.0f) | %.2f | %s (%s–%s) |" % (
                t.label, t.method, w["bytes"] / MIB / med, w["bytes"] / MIB / hi,
                w["bytes"] / MIB / lo, w["bytes"] / MIB / med / ref, fmt_time(med), fmt_time(lo),
                fmt_time(hi)))
        L.append("")
    if r.get("handoff"):
        L.append("## Start to hand-off, small kit")
        L.append("")
        L.append("| where | tool | median (range) | ÷ loader |")
        L.append("|---|---|---|---|")
        for where, rows in r["handoff"]:
            ref = rows[0][1]
            for name, med, lo, hi in rows:
                L.append("| %s | %s | %.1f ms (%.1f–%.1f) | %.1f× |" % (
                    where, name, med * 1000, lo * 1000, hi * 1000, med / ref))
        L.append("")
        L.append(r["handoff_about"])
        L.append("")
    if r.get("stub"):
        size, stubs, _ = r["stub"]
        L.append("## Stub size")
        L.append("")
        L.append("Stripped `loader.exe` with its resources (picture, icon, manifest, version): **%s bytes**."
                 % format(size, ","))
        L.append("")
        if stubs:
            L.append("| NSIS stub (`/usr/share/nsis/Stubs/`) | bytes | loader.exe ÷ stub |")
            L.append("|---|---|---|")
            for n, b in sorted(stubs.items(), key=lambda kv: kv[1]):
                L.append("| %s | %s | %.2f |" % (n, format(b, ","), size / b))
            L.append("")
    if r.get("stub"):
        _, _, parts = r["stub"]
        if parts:
            L.extend(stub_parts(parts))
            L.append("")
        L.append(STUB_NOTES)
        L.append("")
    if r.get("memory"):
        L.append("## Peak memory of the loader while extracting")
        L.append("")
        L.append("| payload | entries | peak RSS of the loader process |")
        L.append("|---|---|---|")
        for label, entries, rss in r["memory"]:
            L.append("| %s | %d | %s KiB |" % (label, entries, format(rss, ",")))
        L.append("")
        L.append("The loader streams every entry through fixed buffers; its peak does not grow "
                 "with the payload.")
        L.append("")
    L.append("## Targets")
    L.append("")
    for line in r["targets"]:
        L.append("* " + line)
    L.append("")
    L.append(TARGET_NOTES)
    L.append("")
    L.append("## Tool versions")
    L.append("")
    for k, v in m["versions"].items():
        L.append("* %s: %s" % (k, v))
    L.append("")
    if r.get("plot"):
        L.append("![Extraction throughput](throughput.png)")
        L.append("")
    with open(path, "w") as f:
        f.write("\n".join(L))


def plot(path, sets, wine):
    """One bar per tool and set, MiB/s median with min–max whiskers."""
    if not have("gnuplot"):
        return False
    data = path + ".dat"
    groups = [(s["title"], s["tools"], s["bytes"], s.get("raw")) for s in sets]
    if wine:
        groups.append(("Wine: " + wine["title"], wine["tools"], wine["bytes"], None))
    with open(data, "w") as f:
        for gi, (title, tools, size, raw) in enumerate(groups):
            f.write('# "%s"\n' % title)
            for t in tools:
                med, lo, hi = spread(t.wall)
                f.write('"%s" %.2f %.2f %.2f\n' % (t.label.replace('"', "'"), size / MIB / med,
                                                   size / MIB / hi, size / MIB / lo))
            if raw:
                limit = max(raw.get("(a) plain, 4 KiB", 0), raw.get("(b) plain, 1 MiB", 0))
                f.write('"limit: plain inflate" %.2f %.2f %.2f\n' % (limit, limit, limit))
            f.write("\n\n")
    n = len(groups)
    script = [
        "set terminal pngcairo size 1000,%d font 'sans,10'" % (330 * n),
        "set output '%s'" % path,
        "set multiplot layout %d,1" % n,
        "set style fill solid 0.8 border -1",
        "set boxwidth 0.6",
        "set grid ytics",
        "set ylabel 'MiB/s (median, min-max)'",
        "set xtics rotate by -20 left",
        "set yrange [0:*]",
        "set rmargin 14",
        "unset key",
    ]
    for gi, (title, _, _, _) in enumerate(groups):
        script.append("set title '%s'" % title.replace("'", ""))
        script.append("plot '%s' index %d using 0:2:xtic(1) with boxes lc rgb '#4a7ab5', "
                      "'' index %d using 0:2:3:4 with yerrorbars lc rgb 'black' pt -1"
                      % (data, gi, gi))
    script.append("unset multiplot")
    res = subprocess.run(["gnuplot"], input="\n".join(script), text=True, capture_output=True)
    os.remove(data)
    if res.returncode != 0:
        log("gnuplot failed:", res.stderr.strip())
        return False
    return True


def targets(report):
    """The targets' lines, each with the figure that meets or misses it."""
    t = []
    for s in report["sets"]:
        loader_rate = s["bytes"] / MIB / statistics.median(s["tools"][0].wall)
        deflate_peers = [(x.label, s["bytes"] / MIB / statistics.median(x.wall))
                         for x in s["tools"][1:] if x.method == "deflate"]
        best = max(deflate_peers, key=lambda p: p[1]) if deflate_peers else None
        if best:
            t.append("%s: loader %.0f MiB/s against the fastest deflate peer, %s, %.0f MiB/s: "
                     "%.2f× (target > 1)." % (s["title"], loader_rate, best[0], best[1],
                                               loader_rate / best[1]))
        t.append("%s: loader end to end at %.2f of the plain inflate loop (target ≥ 0.90)."
                 % (s["title"], s["vs_raw"]))
    for where, rows in report["handoff"]:
        if where == "native" and len(rows) > 1:
            t.append("Hand-off, native: makeself takes %.1f× the loader's time (target ≥ 10×)."
                     % (rows[1][1] / rows[0][1]))
    if report.get("stub"):
        size, stubs, _ = report["stub"]
        if stubs:
            smallest = min(stubs.values())
            t.append("Stub: %s bytes against the smallest NSIS stub's %s (%+d bytes; target "
                     "below every NSIS stub, aim 61,440)." % (format(size, ","),
                                                             format(smallest, ","),
                                                             size - smallest))
    return t
