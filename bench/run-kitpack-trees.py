#!/usr/bin/env python3
"""kitpack's build against `tar | pigz -9` and `tar | gzip -9` on real trees.

Two trees copied from a folder of shared libraries (default
/usr/lib/x86_64-linux-gnu), chosen by name order so that a run on the same
system takes the same files:

  many small   every library of 1 KiB to 4 MiB in the folder itself, in
               name order, until SMALL_MIB (default 100)
  few large    the largest libraries of 8 to 40 MiB until LARGE_MIB
               (default 100): every one is cut into pieces

hyperfine times every command on a tree in one run (RUNS each, default 3);
the script prints one Markdown section with the medians, the ratios of time
against pigz -9 and gzip -9, and the ratios of size against the tar.gz of
gzip -9. Nothing is copied into the repository.

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
    kit = os.path.join(work, "kit.exe")
    build = "%s build -q --loader %s/loader.bin --installer %s/setup.exe --payload %s -o " % (
        kitpack, work, work, tree)
    tar = "tar -C %s --sort=name -cf - ." % tree
    return [
        ("kitpack (level 12, %d threads)" % cores, build + kit, kit),
        ("kitpack --threads 1", build + os.path.join(work, "kit1.exe") + " --threads 1",
         os.path.join(work, "kit1.exe")),
        ("kitpack --level 9", build + os.path.join(work, "kit9.exe") + " --level 9",
         os.path.join(work, "kit9.exe")),
        ("tar | pigz -9 -p %d" % cores, "%s | pigz -9 -p %d > %s/tree.pigz.tar.gz" % (tar, cores, work),
         os.path.join(work, "tree.pigz.tar.gz")),
        ("tar | gzip -9", "%s | gzip -9 > %s/tree.tar.gz" % (tar, work), os.path.join(work, "tree.tar.gz")),
    ]


def hyperfine(work, runs, contenders):
    """{label: times and CPU} of one hyperfine run over (label, command, output)."""
    out = os.path.join(work, "times.json")
    argv = ["hyperfine", "--runs", str(runs), "--export-json", out, "--style", "basic"]
    for label, command, _ in contenders:
        argv += ["-n", label, command]
    subprocess.run(argv, check=True, stdout=sys.stderr)
    with open(out) as f:
        results = {r["command"]: r for r in json.load(f)["results"]}
    rows = []
    for label, _, output in contenders:
        r = results[label]
        rows.append({"label": label, "median": statistics.median(r["times"]), "min": min(r["times"]),
                     "max": max(r["times"]), "cpu": r["user"] + r["system"],
                     "size": os.path.getsize(output)})
    return rows


def measure(kitpack, work, tree, runs, cores):
    rows = hyperfine(work, runs, commands(kitpack, work, tree, cores))
    subprocess.run([kitpack, "verify", os.path.join(work, "kit.exe")], check=True, stdout=subprocess.DEVNULL)
    return rows


def level_sweep(kitpack, work, tree, cores, tar_gz):
    """One build at each level beside one pigz -9, on all cores."""
    contenders = []
    for level in LEVELS:
        kit = os.path.join(work, "kit-level%d.exe" % level)
        contenders.append(("--level %d" % level, "%s build -q --loader %s/loader.bin --installer %s/setup.exe "
                           "--payload %s -o %s --level %d" % (kitpack, work, work, tree, kit, level), kit))
    pigz = commands(kitpack, work, tree, cores)[3]
    rows = hyperfine(work, 1, contenders + [pigz])
    base = rows[-1]
    lines = ["### Levels, on the many small files (one run each, %d threads)" % cores, "",
             "| kitpack | wall s | time ÷ pigz -9 | CPU s | bytes | size ÷ tar.gz (gzip -9) |",
             "|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %.2f | %.2f | %.2f | %s | %.3f |" % (
            r["label"], r["median"], r["median"] / base["median"], r["cpu"], format(r["size"], ","),
            r["size"] / tar_gz))
    return lines + [""]


def table(name, files, total, rows):
    pigz = next(r for r in rows if r["label"].startswith("tar | pigz"))
    gzip = next(r for r in rows if r["label"] == "tar | gzip -9")
    lines = ["### %s: %d files, %.1f MB" % (name, files, total / 1e6), "",
             "| tool | wall s (median, min–max) | time ÷ pigz -9 | time ÷ gzip -9 | CPU s | bytes "
             "| size ÷ tar.gz (gzip -9) | size ÷ pigz -9 |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %.2f (%.2f–%.2f) | %.2f | %.2f | %.2f | %s | %.3f | %.3f |" % (
            r["label"], r["median"], r["min"], r["max"], r["median"] / pigz["median"],
            r["median"] / gzip["median"], r["cpu"], format(r["size"], ","), r["size"] / gzip["size"],
            r["size"] / pigz["size"]))
    kit, one = rows[0], rows[1]
    lines += ["", "kitpack at its default: kit %.3f of the tar.gz (target ≤ 0.96), built in %.2f of pigz -9's "
              "time (target ≤ 1); %d threads %.2f× faster than one." % (
                  kit["size"] / gzip["size"], kit["median"] / pigz["median"], CORES,
                  one["median"] / kit["median"]), ""]
    return lines



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
    ap.add_argument("--small-mib", type=int, default=100)
    ap.add_argument("--large-mib", type=int, default=100)
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
           "Written by `bench/run-kitpack-trees.py` (%s UTC, %d runs per command, `nproc` %d, "
           "load average at the start %s). Libraries from `%s`, copied into `%s`; "
           "the tar.gz tools pack the tree with `tar --sort=name`, kitpack with a 4 KiB stand-in "
           "loader. Sizes are whole files: the kit with its records, the tar.gz with tar's headers." % (
               time.strftime("%Y-%m-%d %H:%M", time.gmtime()), a.runs, CORES, " ".join(load), a.libs, work),
           ""]
    tar_gz = None
    for key, name, files in trees:
        tree = os.path.join(work, "tree-" + key)
        total = copy_tree(files, tree)
        rows = measure(kitpack, work, tree, a.runs, CORES)
        tar_gz = tar_gz or rows[-1]["size"]
        out += table(name, len(files), total, rows)
    out += level_sweep(kitpack, work, os.path.join(work, "tree-small"), CORES, tar_gz)
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else ["?"] * 3
    out.append("Load average at the end %s. Versions: libdeflate %s; %s; %s; %s." % (
        " ".join(load), version(["dpkg-query", "-W", "-f", "${Version}", "libdeflate-dev"]),
        version(["pigz", "--version"]), version(["gzip", "--version"]), version(["hyperfine", "--version"])))
    print("\n".join(out))


if __name__ == "__main__":
    main()
