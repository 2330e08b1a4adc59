#!/usr/bin/env bash
# Build speed and size of kitpack against gzip -9 and pigz -9 on a 256 MiB
# mixed payload: incompressible bytes, text-like data and zeros.
#
#   bench/run-kitpack.sh            builds kitpack in build/bench-kitpack if needed
#   KITPACK=path RUNS=5 bench/run-kitpack.sh
#
# Every tool compresses the same bytes at level 9 on the same cores; kitpack's
# kit carries a 4 KiB stand-in loader and its headers, and is still compared
# with the bare gzip stream.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${RUNS:-3}"
work="${BENCH_DIR:-${TMPDIR:-/tmp}/kitpack-bench}"
kitpack="${KITPACK:-}"

if [ -z "$kitpack" ]; then
  build="$root/build/bench-kitpack"
  [ -f "$build/build.ninja" ] || cmake --preset native -B "$build" >/dev/null
  cmake --build "$build" -j2 --target kitpack >/dev/null
  kitpack="$build/kitpack/kitpack"
fi

mkdir -p "$work"
payload="$work/payload"
if [ ! -f "$payload/.complete" ]; then
  echo "making the 256 MiB payload in $payload ..."
  rm -rf "$payload"
  mkdir -p "$payload/text"
  python3 - "$payload" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(2026)
# 96 MiB that no compressor can shrink.
with open(os.path.join(root, "random.bin"), "wb") as f:
    for _ in range(96):
        f.write(rnd.randbytes(1 << 20))
# 128 MiB of text from a 4,000-word vocabulary with numbers mixed in.
vocab = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 11)))
         for _ in range(4000)]
for n in range(8):
    parts, size = [], 0
    while size < 16 << 20:
        line = " ".join(rnd.choices(vocab, k=12)) + " %d\n" % rnd.randint(0, 99999)
        parts.append(line)
        size += len(line)
    with open(os.path.join(root, "text", "part%d.txt" % n), "wb") as f:
        f.write("".join(parts).encode()[:16 << 20])
# 32 MiB of zeros.
with open(os.path.join(root, "zeros.bin"), "wb") as f:
    f.write(bytes(32 << 20))
PY
  touch "$payload/.complete"
fi
head -c 4096 /dev/urandom >"$work/loader.bin"
printf 'installer' >"$work/setup.exe"
# The same bytes in the order kitpack stores them, for gzip and pigz.
(cd "$payload" && cat random.bin text/part*.txt zeros.bin) >"$work/all.bin"

kit="$work/kit.exe"
kit_cmd="$kitpack build --loader $work/loader.bin --installer $work/setup.exe --payload $payload -o $kit"
kit1_cmd="$kit_cmd --threads 1"
gzip_cmd="gzip -9 -c $work/all.bin > $work/all.gz"
pigz_cmd="pigz -9 -c $work/all.bin > $work/all.pigz.gz"

echo "cores: $(nproc); runs: $runs; the machine may be shared with other work (figures are noisy)"
if command -v hyperfine >/dev/null; then
  hyperfine --runs "$runs" --export-json "$work/times.json" \
    -n "kitpack (all cores)" "$kit_cmd" -n "kitpack --threads 1" "$kit1_cmd" \
    -n "gzip -9" "$gzip_cmd" -n "pigz -9" "$pigz_cmd"
  python3 - "$work/times.json" "$kit" "$work/all.gz" "$work/all.pigz.gz" "$work/all.bin" <<'PY'
import json, os, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
kit, gz, pz, raw = (os.path.getsize(p) for p in sys.argv[2:6])
g = results["gzip -9"]["mean"]
print()
print("%-22s %9s %9s %9s %14s %9s" % ("tool", "wall s", "vs gzip", "cpu s", "bytes", "vs gzip"))
for name, size in [("kitpack (all cores)", kit), ("kitpack --threads 1", kit), ("gzip -9", gz), ("pigz -9", pz)]:
    r = results[name]
    print("%-22s %9.2f %8.2fx %9.2f %14d %+8.3f%%" % (name, r["mean"], g / r["mean"], r["user"] + r["system"],
                                                      size, (size - gz) * 100.0 / gz))
print("input: %d bytes; load average now: %s" % (raw, " ".join(open("/proc/loadavg").read().split()[:3])))
print("targets: kitpack (all cores) >= 1.80x gzip -9 wall speed; kit <= +0.500% size")
PY
else
  for c in "$kit_cmd" "$kit1_cmd" "$gzip_cmd" "$pigz_cmd"; do
    echo "== $c"
    /usr/bin/time -f "%e s" bash -c "$c"
  done
  ls -l "$kit" "$work/all.gz" "$work/all.pigz.gz"
fi
"$kitpack" verify "$kit"
