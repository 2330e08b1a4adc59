#!/usr/bin/env bash
# Runs every libFuzzer target of the "fuzz" preset for a given time over its
# committed seeds and regressions, one target after another, and prints
# executions and findings per target. A finding (crash, leak, timeout,
# out-of-memory) is copied to fuzz/findings/<target>/ to be kept, after a
# look, as a regression input in fuzz/corpus/regressions/<seeds>/.
#
#   bash scripts/fuzz-campaign.sh [SECONDS_PER_TARGET] [TARGET...]
#
# LOADERKIT_FUZZ_PARALLEL=N runs N targets at a time (one core each).
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
printf '| target | seconds | executions | per second | findings |\n|---|---|---|---|---|\n'
# One target: its run, then its table row on standard output.
fuzz_one() {
  local target=$1 folder program corpus artifacts runs findings
  folder="${seeds[$target]:-}"
  program="$root/build/fuzz/fuzz/$target"
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
    mkdir -p "fuzz/findings/$target"
    cp "$artifacts"* "fuzz/findings/$target/"
  fi
  printf '| `%s` | %s | %s | %s | %s |\n' "$target" "$seconds" "$runs" $((runs / seconds)) "$findings"
}

for target in "${targets[@]}"; do
  [ -n "${seeds[$target]:-}" ] && [ -x "$root/build/fuzz/fuzz/$target" ] ||
    { echo "fuzz-campaign: no target $target" >&2; exit 1; }
done
parallel="${LOADERKIT_FUZZ_PARALLEL:-1}"
rows="$work/rows"
: >"$rows"
running=0
for target in "${targets[@]}"; do
  fuzz_one "$target" >>"$rows" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
sort "$rows"
total=$(awk -F'|' '{gsub(/ /, "", $4); s += $4} END {print s + 0}' "$rows")
found_any=$(awk -F'|' '{gsub(/ /, "", $6); if ($6 > 0) f = 1} END {print f + 0}' "$rows")
printf '| all | | %s | | |\n' "$total"
exit "$found_any"
