#!/usr/bin/env bash
# The style gate: every C++ file in the house format (.clang-format), every
# folder including only the layers below it, and the Python scripts free of
# pyflakes complaints. Prints each complaint and exits 1 on any.
#
#   scripts/check-style.sh          check
#   scripts/check-style.sh --fix    reformat the C++ files in place first
#   scripts/check-style.sh --tidy   also run clang-tidy (.clang-tidy) on the
#                                   product sources of the native build
set -uo pipefail
cd "$(dirname "$0")/.."

clang_format=$(command -v clang-format || command -v clang-format-14) ||
  { echo "check-style: clang-format is missing (scripts/setup.sh installs it)" >&2; exit 1; }
pyflakes=$(command -v pyflakes3 || command -v pyflakes) ||
  { echo "check-style: pyflakes is missing (scripts/setup.sh installs it)" >&2; exit 1; }

failed=0
mapfile -t cpp < <(git ls-files '*.cpp' '*.h')

if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i "${cpp[@]}"
fi

# 1. Format.
for f in "${cpp[@]}"; do
  if ! "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format: $f is not in the house format (clang-format -i $f)"
    failed=1
  fi
done

# 2. Layers: the folders a folder's files may include, lowest layer first.
declare -A allowed=(
  [base]="base"
  [format]="base format"
  [inflate]="inflate"
  [payload]="base format inflate payload"
  [platform]="base platform"
  [archive]="base format inflate platform archive"
  [ui]="base ui"
  [loader]="base format inflate platform archive ui loader"
  [kitpack]="base format inflate payload kitpack"
  [examples]="base format examples"
)
for folder in "${!allowed[@]}"; do
  while IFS= read -r hit; do
    file=${hit%%:*}
    included=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")
    top=${included%%/*}
    if [[ " ${allowed[$folder]} " != *" $top "* ]]; then
      echo "layers: $file includes $included ($folder/ may include only: ${allowed[$folder]})"
      failed=1
    fi
  done < <(git grep -n '^[[:space:]]*#[[:space:]]*include "' -- "$folder/*.cpp" "$folder/*.h")
done

# 2b. kitpack's rooms, lowest first: a room includes only kitpack files of
# its own room and the rooms below it, and kit_error.h, the one error type
# of every room.
declare -A rooms=(
  [host]="host"
  [pe]="host pe"
  [kit]="host pe kit"
  [cli]="host pe kit cli"
)
for room in "${!rooms[@]}"; do
  while IFS= read -r hit; do
    file=${hit%%:*}
    included=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")
    [[ $included == kitpack/* ]] || continue
    [[ $included == kitpack/kit_error.h ]] && continue
    inner=${included#kitpack/}
    inner=${inner%%/*}
    if [[ " ${rooms[$room]} " != *" $inner "* ]]; then
      echo "rooms: $file includes $included (kitpack/$room/ may include only: ${rooms[$room]})"
      failed=1
    fi
  done < <(git grep -n '^[[:space:]]*#[[:space:]]*include "' -- "kitpack/$room/*.cpp" "kitpack/$room/*.h")
done
if git ls-files 'kitpack/*.cpp' 'kitpack/*.h' | grep -qv '^kitpack/\(host\|pe\|kit\|cli\)/\|^kitpack/kit_error.h$'; then
  echo "rooms: kitpack's sources belong in host/, pe/, kit/ or cli/"
  failed=1
fi

# 3. Python: every tracked .py file and every script whose first line names python.
mapfile -t py < <(git ls-files '*.py'; git ls-files | while read -r f; do
  [[ $f == *.* ]] && continue
  head -n1 "$f" 2>/dev/null | grep -q '^#!.*python' && echo "$f"; done)
if ! "$pyflakes" "${py[@]}"; then
  failed=1
fi

# 4. clang-tidy, on request: needs build/native/compile_commands.json.
if [ "${1:-}" = "--tidy" ]; then
  mapfile -t product < <(git ls-files 'base/*.cpp' 'format/*.cpp' 'inflate/*.cpp' 'payload/*.cpp' 'platform/*.cpp' 'archive/*.cpp' \
    'ui/*.cpp' 'loader/*.cpp' 'kitpack/*.cpp' 'examples/*.cpp' | grep -v win32)
  tidy_out=$(clang-tidy -p build/native --quiet "${product[@]}" 2>/dev/null | grep -E 'warning:|error:')
  if [ -n "$tidy_out" ]; then
    echo "$tidy_out"
    failed=1
  fi
fi

if ((failed)); then
  echo "check-style: FAILED" >&2
  exit 1
fi
echo "check-style: ${#cpp[@]} C++ files formatted, layers respected, ${#py[@]} Python files clean"
