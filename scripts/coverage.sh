#!/usr/bin/env bash
# Line coverage of the native test suite per product folder, with branch
# coverage of format/ and archive/ beside it. Builds the "coverage" preset
# (gcc --coverage), runs its whole CTest suite, then reads the counts with
# gcovr. Prints one table; exits non-zero when the build or a test fails.
#
#   bash scripts/coverage.sh [--min PERCENT]   (default: report only)
set -uo pipefail
cd "$(dirname "$0")/.."
min=""
if [ "${1:-}" = "--min" ]; then min="$2"; fi
command -v gcovr >/dev/null || { echo "coverage: gcovr is missing (apt-get install gcovr)" >&2; exit 1; }

build=build/coverage
cmake --preset coverage >/dev/null || exit 1
cmake --build --preset coverage -j "${LOADERKIT_JOBS:-2}" >/dev/null || exit 1
find "$build" -name '*.gcda' -delete
ctest --preset coverage >"$build/ctest.log" 2>&1
tests_ok=$?
grep -E 'tests passed|tests failed' "$build/ctest.log"

folders=(base format platform archive ui loader kitpack examples payload)
printf '\n| folder | lines | line coverage | branch coverage |\n|---|---|---|---|\n'
below=0
for folder in "${folders[@]}"; do
  [ -d "$folder" ] || continue
  # gcovr's summary: "lines: 98.1% (520 out of 530)" and "branches: ...".
  summary=$(gcovr -r . "$build" --filter "$folder/" --exclude '.*_win32\.cpp' \
            --gcov-ignore-parse-errors --branches --print-summary -o "$build/gcovr-$folder.txt" 2>"$build/gcovr-$folder.log")
  lines=$(sed -n 's/^lines: \([0-9.]*\)% (\([0-9]*\) out of \([0-9]*\)).*/\1 \3/p' <<<"$summary")
  branches=$(sed -n 's/^branches: \([0-9.]*\)%.*/\1/p' <<<"$summary")
  read -r percent total <<<"$lines"
  case "$folder" in format|archive) shown_branches="${branches}%" ;; *) shown_branches="" ;; esac
  printf '| %s/ | %s | %s%% | %s |\n' "$folder" "${total:-0}" "${percent:-0}" "$shown_branches"
  if [ -n "$min" ] && awk -v p="${percent:-0}" -v m="$min" 'BEGIN{exit !(p < m)}'; then below=1; fi
done
echo
echo "(POSIX build: the *_win32.cpp files are counted by the Windows build's tests, not here)"
[ $tests_ok -eq 0 ] || { echo "coverage: some tests failed (see $build/ctest.log)"; exit 1; }
[ $below -eq 0 ] || { echo "coverage: a folder is below $min%"; exit 1; }
