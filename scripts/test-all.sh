#!/usr/bin/env bash
# Checks the style gate, then builds and tests everything: the POSIX build, the same with AddressSanitizer
# and UBSan, the Windows build under Wine, the release packages, and the bounded fuzz runs. Runs
# every preset even after a failure, prints each ctest summary at the end and
# exits non-zero if any step failed.
set -uo pipefail

cd "$(dirname "$0")/.."
root="$PWD"
logs="$root/build/test-all-logs"
jobs="${LOADERKIT_JOBS:-2}"

bash scripts/setup.sh || { echo "test-all: setup failed" >&2; exit 1; }
mkdir -p "$logs"
# The fault matrix fails on a fault it had to skip.
export LOADERKIT_NO_SKIPS=1
rm -f "$logs"/*.log

# Wine's X server and wineserver are ended however the run ends.
trap '"$root/scripts/wine-run" --stop' EXIT

failed=()
run_preset() {
  local preset="$1"
  shift
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"$logs/$preset-configure.log" 2>&1; then
    tail -40 "$logs/$preset-configure.log"
    failed+=("$preset (configure)")
    return
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" >"$logs/$preset-build.log" 2>&1; then
    grep -E 'error|FAILED' "$logs/$preset-build.log" | head -40
    failed+=("$preset (build)")
    return
  fi
  echo "=== $preset: test $*"
  if ! ctest --preset "$preset" "$@" 2>&1 | tee "$logs/$preset-test.log" | grep -E '\*\*\*(Failed|Timeout|Exception)|Not Run'; then
    :
  fi
  if ! grep -q '100% tests passed' "$logs/$preset-test.log"; then
    failed+=("$preset (tests)")
  fi
  # Every case runs here: a skipped test fails the run instead of passing
  # silently (the tests that need root or a second user set them up).
  if grep -q 'The following tests did not run' "$logs/$preset-test.log"; then
    sed -n '/The following tests did not run/,/^$/p' "$logs/$preset-test.log"
    failed+=("$preset (skipped tests)")
  fi
}

start=$(date +%s)
run_preset native
# The style gate (format, layers, Python lint, clang-tidy on the native
# build's compile commands).
echo "=== style"
if ! bash scripts/check-style.sh --tidy; then
  failed+=("style")
fi
run_preset native-asan
run_preset windows
# The release packages: scripts/package.sh twice (identical files), their
# contents, the CMake consumer built against them, a kit from the zip alone
# installed under Wine.
echo "=== package"
if ! python3 tests/packaging/check_packages.py >"$logs/package.log" 2>&1; then
  tail -40 "$logs/package.log"
  failed+=("package")
fi
grep -E '^(dist/|scripts/package.sh|two runs)' "$logs/package.log" || true
# libFuzzer targets (clang), each for a bounded time over its committed seeds.
run_preset fuzz

echo
echo "=== Summaries"
for preset in native native-asan windows fuzz; do
  if [ -f "$logs/$preset-test.log" ]; then
    echo "--- $preset"
    sed -n '/tests passed/,$p' "$logs/$preset-test.log"
  fi
done
echo "Took $(($(date +%s) - start)) s; logs in $logs"

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "All presets passed."
