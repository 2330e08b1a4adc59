#!/usr/bin/env python3
"""kitpack's build against `tar | pigz -9` and `tar | gzip -9` on real trees.

Two trees copied from a folder of shared libraries (default
/usr/lib/x86_64-linux-gnu), chosen by name order so that a run on the same
system takes the same files:

  many small   every library of 1 KiB to 4 MiB in the folder itself, in
               name order, until SMALL_MIB (default 115: on Debian 12 with
               this project's packages 386 files, 121 MB, the size of the
               tree in the issue that asked for these figures)
  few large    the largest libraries of 8 to 40 MiB until LARGE_MIB
               (default 100): every one is cut into pieces

hyperfine times every command on a tree, RUNS rounds (default 3) of one
run each, the commands taking turns. The script prints one Markdown section
(for docs/benchmarks.md): the medians, the ratios of time against pigz -9 and
gzip -9, the ratios of size against the tar.gz of pigz -9 (the smaller one)
and of gzip -9, and a sweep of kitpack's levels. Nothing is copied into the repository.

usage: bench/run-kitpack-trees.py [--kitpack PATH] [--runs N] [--libs DIR]
                                  [--work DIR] [--small-mib N] [--large-mib N]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
KIB = 1024
MIB = 1 << 20
CORES = os.cpu_count() or 1
LEVELS = (1, 6, 9, 10, 11, 12)


def libraries(folder):
    """(path, size) of the regular shared-library files directly in folder."""
    found = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if ".so" in name and os.path.isfile(path) and not os.path.islink(path):
            found.append((path, os.path.getsize(path)))
    return found


def pick_small(libs, limit):
    chosen, total = [], 0
    for path, size in libs:
        if KIB <= size <= 4 * MIB and total < limit:
            chosen.append(path)
            total += size
    return chosen


def pick_large(libs, limit):
    chosen, total = [], 0
    for path, size in sorted(libs, key=lambda item: (-item[1], item[0])):
        if 8 * MIB <= size <= 40 * MIB and total + size <= limit:
            chosen.append(path)
            total += size
    return chosen



def copy_tree(files, dest):
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    os.makedirs(dest)
    for path in files:
        shutil.copyfile(path, os.path.join(dest, os.path.basename(path)))
    return sum(os.path.getsize(p) for p in files)


def build_kitpack():
    build = os.path.join(ROOT, "build", "bench-kitpack")
    if not os.path.isfile(os.path.join(build, "build.ninja")):
        subprocess.run(["cmake", "--preset", "native", "-B", build, "-DBUILD_TESTING=OFF"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "kitpack"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "kitpack", "kitpack")


def commands(kitpack, work, tree, cores):
    """(label, shell command, output file) for every contender on one tree."""

    def kit(name, *extra):
        out = os.path.join(work, name)
        return ("%s build -q --loader %s/loader.bin --installer %s/setup.exe --payload %s -o %s %s" % (
            kitpack, work, work, tree, out, " ".join(extra))).strip(), out

    tar = "tar -C %s --sort=name -cf - ." % tree
    pigz, gzip = os.path.join(work, "tree.pigz.tar.gz"), os.path.join(work, "tree.tar.gz")
    return [
        ("kitpack, default level, %d threads" % cores, *kit("kit.exe")),
        ("kitpack --threads 1", *kit("kit1.exe", "--threads 1")),
        ("kitpack --level 11", *kit("kit11.exe", "--level 11")),
        ("pigz -9 -p %d (tar piped in)" % cores, "%s | pigz -9 -p %d > %s" % (tar, cores, pigz), pigz),
        ("gzip -9 (tar piped in)", "%s | gzip -9 > %s" % (tar, gzip), gzip),
    ]


def hyperfine(work, runs, contenders):
    """Medians and ranges of `runs` rounds over (label, command, output): each
    round is one hyperfine run of every command once, so that drift in the
    machine's load spreads over all of them instead of landing on one."""
    out = os.path.join(work, "times.json")
    times = {label: [] for label, _, _ in contenders}
    cpu = {label: [] for label, _, _ in contenders}
    for _ in range(runs):
        argv = ["hyperfine", "--runs", "1", "--export-json", out, "--style", "basic"]
        for label, command, _ in contenders:
            argv += ["--command-name=" + label, command]
        subprocess.run(argv, check=True, stdout=sys.stderr)
        with open(out) as f:
            for r in json.load(f)["results"]:
                times[r["command"]] += r["times"]
                cpu[r["command"]].append(r["user"] + r["system"])
    return [{"label": label, "median": statistics.median(times[label]), "min": min(times[label]),
             "max": max(times[label]), "cpu": statistics.median(cpu[label]), "size": os.path.getsize(output)}
            for label, _, output in contenders]


def main_table(name, files, total, rows):
    kit, one, _, pigz, gzip = rows
    lines = ["### %s: %d files, %.1f MB" % (name, files, total / 1e6), "",
             "| tool | wall s (median, min–max) | time ÷ pigz -9 | time ÷ gzip -9 | CPU s | bytes "
             "| size ÷ tar.gz (pigz -9) | size ÷ tar.gz (gzip -9) |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %.2f (%.2f–%.2f) | %.2f | %.2f | %.2f | %s | %.4f | %.4f |" % (
            r["label"], r["median"], r["min"], r["max"], r["median"] / pigz["median"],
            r["median"] / gzip["median"], r["cpu"], format(r["size"], ","), r["size"] / pigz["size"],
            r["size"] / gzip["size"]))
    lines += ["", "kitpack at its default: the kit is %.4f of pigz -9's tar.gz and %.4f of gzip -9's (target "
              "≤ 0.96), built in %.2f of pigz -9's time (target ≤ 1) with %.2f of its CPU time; %d threads "
              "take %.2f of one thread's time." % (
                  kit["size"] / pigz["size"], kit["size"] / gzip["size"], kit["median"] / pigz["median"],
                  kit["cpu"] / pigz["cpu"], CORES, kit["median"] / one["median"]), ""]
    # What the kit holds besides deflate data: a 164-byte record and a zlib
    # header and checksum per entry (the installer's too), the stand-in loader.
    fixed = (files + 1) * (164 + 6) + 4096
    lines += ["Of the default kit, %s bytes are records, zlib headers and checksums and the stand-in loader "
              "(%.2f%% of the tar.gz); its deflate data alone is %.4f of pigz -9's tar.gz." % (
                  format(fixed, ","), 100.0 * fixed / pigz["size"], (kit["size"] - fixed) / pigz["size"]), ""]
    return lines


def level_table(kitpack, work, tree, cores):
    """One build at each level beside one pigz -9, all on every core."""
    contenders = []
    for level in LEVELS:
        kit = os.path.join(work, "kit-level%d.exe" % level)
        contenders.append(("kitpack --level %d" % level, "%s build -q --loader %s/loader.bin --installer %s/setup.exe "
                           "--payload %s -o %s --level %d" % (kitpack, work, work, tree, kit, level), kit))
    rows = hyperfine(work, 1, contenders + [commands(kitpack, work, tree, cores)[3]])
    pigz = rows[-1]
    lines = ["Levels (one run each, %d threads):" % cores, "",
             "| tool | wall s | time ÷ pigz -9 | CPU s | CPU ÷ pigz -9 | bytes | size ÷ tar.gz (pigz -9) |",
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %.2f | %.2f | %.2f | %.2f | %s | %.4f |" % (
            r["label"], r["median"], r["median"] / pigz["median"], r["cpu"], r["cpu"] / pigz["cpu"],
            format(r["size"], ","), r["size"] / pigz["size"]))
    return lines + [""]


def version(argv):
    try:
        p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except OSError:
        return "?"
    return p.stdout.strip().splitlines()[0] if p.stdout.strip() else "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--kitpack")
    ap.add_argument("--runs", type=int, default=int(os.environ.get("RUNS", "3")))
    ap.add_argument("--libs", default="/usr/lib/x86_64-linux-gnu")
    ap.add_argument("--work", default="/dev/shm/kitpack-trees" if os.path.isdir("/dev/shm") else None)
    ap.add_argument("--small-mib", type=int, default=int(os.environ.get("SMALL_MIB", "115")))
    ap.add_argument("--large-mib", type=int, default=int(os.environ.get("LARGE_MIB", "100")))
    a = ap.parse_args()
    for tool in ("hyperfine", "pigz", "gzip", "tar"):
        if not shutil.which(tool):
            sys.exit("run-kitpack-trees: %s is missing (scripts/setup.sh installs it)" % tool)
    kitpack = a.kitpack or build_kitpack()
    work = a.work or os.path.join(os.environ.get("TMPDIR", "/tmp"), "kitpack-trees")
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "loader.bin"), "wb") as f:
        f.write(os.urandom(4096))
    with open(os.path.join(work, "setup.exe"), "wb") as f:
        f.write(b"installer")

    libs = libraries(a.libs)
    trees = [("small", "Many small files", pick_small(libs, a.small_mib * MIB)),
             ("large", "A few large files", pick_large(libs, a.large_mib * MIB))]
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else ["?"] * 3
    out = ["## Building kits: kitpack against pigz -9 and gzip -9", "",
           "Written by `bench/run-kitpack-trees.py` (%s UTC, medians of %d rounds, each command once a round, `nproc` %d, "
           "load average at the start %s). Libraries from `%s`, copied into `%s`; "
           "the tar.gz tools pack the tree with `tar --sort=name`, kitpack with a 4 KiB stand-in "
           "loader. Sizes are whole files: the kit with its records, the tar.gz with tar's headers." % (
               time.strftime("%Y-%m-%d %H:%M", time.gmtime()), a.runs, CORES, " ".join(load), a.libs, work),
           ""]
    for key, name, files in trees:
        tree = os.path.join(work, "tree-" + key)
        total = copy_tree(files, tree)
        rows = hyperfine(work, a.runs, commands(kitpack, work, tree, CORES))
        subprocess.run([kitpack, "verify", os.path.join(work, "kit.exe")], check=True,
                       stdout=subprocess.DEVNULL)
        out += main_table(name, len(files), total, rows)
        out += level_table(kitpack, work, tree, CORES)
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else ["?"] * 3
    out.append("Load average at the end %s. Versions: libdeflate %s; %s; %s; %s." % (
        " ".join(load), version(["dpkg-query", "-W", "-f", "${Version}", "libdeflate-dev"]),
        version(["pigz", "--version"]), version(["gzip", "--version"]), version(["hyperfine", "--version"])))
    print("\n".join(out))


if __name__ == "__main__":
    main()
