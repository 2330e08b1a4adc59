#!/usr/bin/env bash
# Hand-off benchmark: time from starting a kit to the installer being
# started, for the native loader against a makeself kit of the same files.
#
#   bench/run-handoff.sh [--runs N] [--keep]
#
# The payload: one installer of 100 KiB (the probe installer, padded; it
# exits at once) and four small files. The loader kit is self-extracting
# (loader, archive, second archive, trailer, made by tests/support/ldkit/kits.py); the
# makeself kit (gzip) holds the same files and runs the same installer,
# started as "kit --nox11 --quiet". Both are timed in one hyperfine run,
# without a shell, each with its own scratch TMPDIR, emptied before every
# timed run. The loader does not wait for the installer; makeself waits for
# it and then removes its folder: that is how each of them hands off.
# Work files go to $BENCH_DIR (default: a fresh folder under /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=200
keep=0
while (($#)); do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--runs N] [--keep]" >&2; exit 2 ;;
  esac
done

for tool in hyperfine makeself python3; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done

build=${BENCH_BUILD_DIR:-build/bench-native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target loader probe_installer >/dev/null
loader="$build/loader/loader"
probe="$build/tests/e2e/probe_installer"

work=${BENCH_DIR:-$(mktemp -d /tmp/loaderkit-handoff.XXXXXX)}
mkdir -p "$work"
if ((!keep)); then trap 'rm -rf "$work"' EXIT; fi

payload="$work/payload"
mkdir -p "$payload" "$work/tmp-loader" "$work/tmp-makeself"

# The installer: the probe padded to 100 KiB (trailing bytes do not disturb
# an ELF program).
cp "$probe" "$payload/install"
size=$(stat -c %s "$payload/install")
if ((size < 102400)); then
  head -c $((102400 - size)) /dev/urandom >>"$payload/install"
fi
chmod 755 "$payload/install"
# Four small files of mixed content.
head -c 4096 /dev/urandom >"$payload/data1.bin"
seq 1 2000 >"$payload/list.txt"
printf 'readme\n%.0s' $(seq 300) >"$payload/readme.txt"
head -c 1024 /dev/zero >"$payload/zeros.dat"

echo "== payload in $payload"
ls -l "$payload" | awk 'NR > 1 {print $5, $NF}'

# The loader kit, self-extracting.
python3 - "$loader" "$payload" "$work/setup" <<'EOF'
import os, sys
sys.path.insert(0, "tests/support")
from ldkit import kits
loader, payload, out = sys.argv[1:]
names = ["install"] + sorted(n for n in os.listdir(payload) if n != "install")
entries = [kits.Entry(b"C:\\Product\\" + n.encode(), open(os.path.join(payload, n), "rb").read())
           for n in names]
kits.write_self_extracting_kit(os.path.dirname(out), open(loader, "rb").read(), entries,
                               loader_name=os.path.basename(out))
EOF

# The makeself kit of the same files, running the same installer.
makeself --quiet --gzip "$payload" "$work/setup.run" "handoff bench" ./install >/dev/null

echo "== kits"
ls -l "$work/setup" "$work/setup.run" | awk '{print $5, $NF}'

# One check run of each before timing: both must hand off cleanly.
TMPDIR="$work/tmp-loader" "$work/setup" || { echo "$0: the loader kit failed" >&2; exit 1; }
TMPDIR="$work/tmp-makeself" "$work/setup.run" --nox11 --quiet ||
  { echo "$0: the makeself kit failed" >&2; exit 1; }

echo "== hyperfine, $runs runs each"
# Each kit gets its own TMPDIR (env(1), since hyperfine runs no shell); the
# loader leaves its working folders behind, so both are emptied before
# every run.
hyperfine -N --warmup 10 --runs "$runs" \
  --prepare "find $work/tmp-loader $work/tmp-makeself -mindepth 1 -delete" \
  --export-json "$work/handoff.json" \
  -n loader "env TMPDIR=$work/tmp-loader $work/setup" \
  -n makeself "env TMPDIR=$work/tmp-makeself $work/setup.run --nox11 --quiet"

python3 - "$work/handoff.json" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
loader = results["loader"]["median"]
makeself = results["makeself"]["median"]
print("== medians")
print("loader   %.3f ms" % (loader * 1000))
print("makeself %.3f ms" % (makeself * 1000))
print("ratio    %.1fx (makeself / loader; target at least 10x)" % (makeself / loader))
EOF
