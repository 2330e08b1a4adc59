#!/usr/bin/env bash
# Runs every libFuzzer target of the "fuzz" preset for a given time over its
# committed seeds and regressions, one target after another, and prints
# executions and findings per target. A finding (crash, leak, timeout,
# out-of-memory) is copied to fuzz/findings/<target>/ to be kept, after a
# look, as a regression input in fuzz/corpus/regressions/<seeds>/.
#
#   bash scripts/fuzz-campaign.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Exits non-zero when any target found something.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-60}"
shift || true

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j "${LOADERKIT_JOBS:-2}" >/dev/null || exit 1

# Each target's seeds folder, as fuzz/CMakeLists.txt names it.
declare -A seeds
while read -r target folder; do
  seeds[$target]=$folder
done < <(sed -n 's/^loaderkit_fuzz_target(\([a-z_0-9]*\) SEEDS \([a-z_0-9]*\).*/\1 \2/p' fuzz/CMakeLists.txt)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(printf '%s\n' "${!seeds[@]}" | sort))

work="$root/build/fuzz/campaign"
mkdir -p "$work"
total=0
found_any=0
printf '| target | seconds | executions | per second | findings |\n|---|---|---|---|---|\n'
for target in "${targets[@]}"; do
  folder="${seeds[$target]:-}"
  program="$root/build/fuzz/fuzz/$target"
  [ -n "$folder" ] && [ -x "$program" ] || { echo "fuzz-campaign: no target $target" >&2; exit 1; }
  corpus="$work/$target-corpus"
  artifacts="$work/$target-artifacts/"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  "$program" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 -timeout=20 \
    -artifact_prefix="$artifacts" "$corpus" "fuzz/corpus/$folder" \
    "fuzz/corpus/regressions/$folder" >"$work/$target.log" 2>&1
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$work/$target.log" | tail -1)
  runs=${runs:-0}
  findings=$(find "$artifacts" -type f | wc -l)
  if [ "$findings" -gt 0 ]; then
    found_any=1
    mkdir -p "fuzz/findings/$target"
    cp "$artifacts"* "fuzz/findings/$target/"
  fi
  total=$((total + runs))
  printf '| `%s` | %s | %s | %s | %s |\n' "$target" "$seconds" "$runs" $((runs / seconds)) "$findings"
done
printf '| all | | %s | | |\n' "$total"
exit $found_any
