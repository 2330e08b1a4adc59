#!/usr/bin/env bash
# Extraction benchmark: builds the native preset, makes archives of mixed
# data, compares ExtractAll with two plain inflate loops and measures peak
# memory of extraction at two archive sizes, each in a process of its own.
#
#   bench/run-extract.sh [--mib N] [--repeat N] [--keep]
# Work files go to $BENCH_DIR (default: a fresh folder under /tmp; a folder
# in /dev/shm leaves the disk out of the figures). What the run makes there
# is removed afterwards unless --keep is given.
set -euo pipefail
cd "$(dirname "$0")/.."

mib=256
repeat=5
keep=0
while (($#)); do
  case "$1" in
    --mib) mib=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--mib N] [--repeat N] [--keep]" >&2; exit 2 ;;
  esac
done

build=${BENCH_BUILD_DIR:-build/bench-native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target extract_bench >/dev/null
bench="$build/bench/extract_bench"

if [[ -n "${BENCH_DIR:-}" ]]; then
  work=$BENCH_DIR
  mkdir -p "$work"
  # A folder given by the caller keeps everything but what this run made.
  cleanup() { rm -rf "$work/large.1" "$work/small.1" "$work/out-compare" "$work/out-small" "$work/out-large"; }
else
  work=$(mktemp -d /tmp/loaderkit-bench.XXXXXX)
  cleanup() { rm -rf "$work"; }
fi
if ((!keep)); then trap cleanup EXIT; fi

small=$((mib / 4))
((small > 0)) || small=1

echo "== archives ($mib MiB and $small MiB unpacked, mixed data) in $work"
"$bench" make "$work/large.1" --mib "$mib" 2>/dev/null
"$bench" make "$work/small.1" --mib "$small" 2>/dev/null
ls -l "$work/large.1" "$work/small.1" | awk '{print $5, $NF}'

echo "== throughput, $repeat runs each"
"$bench" compare "$work/large.1" "$work/out-compare" --repeat "$repeat"

echo "== peak memory of one extraction (separate processes)"
printf '%5s MiB: ' "$small"; "$bench" extract "$work/small.1" "$work/out-small"
printf '%5s MiB: ' "$mib"; "$bench" extract "$work/large.1" "$work/out-large"
