#!/usr/bin/env bash
# What checking setup.1 costs: an external kit whose loader carries the
# deployment record (setup.1's length and SHA-256, checked before the
# archive is read) against the same kit built with --no-deployment (no
# check), natively, with an installer that exits at once.
#
#   bench/run-setup1-check.sh [--runs N] [--mib N] [--keep]
#
# setup.1 holds the installer and N MiB (default 64) of files, half
# incompressible, half text. Both kits are timed in one hyperfine run, each
# with its own scratch TMPDIR, emptied before every timed run; sha256sum of
# the same setup.1 is timed beside them as the cost of the hash alone.
# Work files go to $BENCH_DIR (default: a fresh folder under /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=20
mib=64
keep=0
while (($#)); do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --mib) mib=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--runs N] [--mib N] [--keep]" >&2; exit 2 ;;
  esac
done
command -v hyperfine >/dev/null || { echo "$0: hyperfine is missing; run scripts/setup.sh" >&2; exit 1; }

build=${BENCH_BUILD_DIR:-build/bench-native}
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" -j2 --target loader kitpack >/dev/null
loader="$build/loader/loader"
kitpack="$build/kitpack/kitpack"

work=${BENCH_DIR:-$(mktemp -d /dev/shm/loaderkit-setup1.XXXXXX)}
mkdir -p "$work"
if ((!keep)); then trap 'rm -rf "$work"' EXIT; fi

payload="$work/payload"
mkdir -p "$payload"
printf '#!/bin/sh\nexit 0\n' >"$payload/install"
chmod 755 "$payload/install"
half=$((mib / 2))
head -c $((half * 1048576)) /dev/urandom >"$payload/random.bin"
(set +o pipefail; seq 1 100000000 | head -c $(((mib - half) * 1048576)) >"$payload/text.txt")

for kind in checked unchecked; do
  extra=()
  [ "$kind" = unchecked ] && extra=(--no-deployment)
  mkdir -p "$work/$kind" "$work/tmp-$kind"
  "$kitpack" build -q --external --loader "$loader" --installer "$payload/install" \
    --file "$payload/random.bin" --file "$payload/text.txt" -o "$work/$kind" "${extra[@]}"
done
echo "== setup.1: $(stat -c %s "$work/checked/setup.1") bytes; $runs runs each"

hyperfine --style basic --runs "$runs" --warmup 2 -N --export-markdown "$work/setup1.md" \
  --prepare "sh -c 'rm -rf $work/tmp-checked/* $work/tmp-unchecked/*'" \
  -n "with the record (setup.1 checked)" "env TMPDIR=$work/tmp-checked $work/checked/loader" \
  -n "built with --no-deployment (not checked)" "env TMPDIR=$work/tmp-unchecked $work/unchecked/loader" \
  -n "sha256sum setup.1 alone" "sha256sum $work/checked/setup.1"
cat "$work/setup1.md"
