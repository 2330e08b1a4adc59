#!/usr/bin/env bash
# Captures the real loader.exe under Wine in the middle of an extraction, its
# bar part-filled, into a PNG (default docs/extracting.png).
#
#   scripts/screenshot-extraction.sh WINDOWS_BUILD_DIR KITPACK [OUTPUT.png [WORK_DIR]]
#
# Packs a kit whose loader archive holds the reference installer and
# incompressible ballast (LOADERKIT_SHOT_FILES files of LOADERKIT_SHOT_MIB
# MiB, default 20 of 8, generated into WORK_DIR, default
# build/extracting-shot), runs it on the screenshot display
# (scripts/screenshot-common.sh), and grabs the window until its bar reads
# between 20% and 80%. OUTPUT is written only when the loader ran to its end
# with exit code 0; the script's exit code is 0 then, 1 otherwise. The working
# folder the loader unpacked into is removed afterwards; the installer's
# files land in WORK_DIR/installed.
set -euo pipefail

usage="usage: screenshot-extraction.sh WINDOWS_BUILD_DIR KITPACK [OUTPUT.png [WORK_DIR]]"
build="$(cd "${1:?$usage}" && pwd)"
kitpack="${2:?$usage}"
root="$(cd "$(dirname "$0")/.." && pwd)"
output="${3:-$root/docs/extracting.png}"
work="${4:-$root/build/extracting-shot}"
files="${LOADERKIT_SHOT_FILES:-20}"
mib="${LOADERKIT_SHOT_MIB:-8}"

fail() {
  echo "screenshot-extraction: $*" >&2
  exit 1
}

loader="$build/loader/loader.exe"
installer="$build/examples/installer.exe"
for f in "$loader" "$installer" "$kitpack"; do
  [ -f "$f" ] || fail "no $f: build it first"
done
((files >= 1 && files <= 49)) || fail "LOADERKIT_SHOT_FILES must be 1 to 49 (the installer is the 50th entry)"
for tool in xdotool xwininfo import convert python3; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed; run scripts/setup.sh"
done

# shellcheck source=screenshot-common.sh
. "$root/scripts/screenshot-common.sh"

mkdir -p "$work/data"
# Same seed, same bytes: an existing file of the right size is kept.
python3 - "$work/data" "$files" "$mib" <<'EOF'
import os, random, sys
folder, count, mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(1, count + 1):
    path = os.path.join(folder, "blob%02d.bin" % i)
    if os.path.exists(path) and os.path.getsize(path) == mib << 20:
        continue
    with open(path, "wb") as f:
        f.write(random.Random(i).randbytes(mib << 20))
EOF
args=()
for i in $(seq -f %02g "$files"); do args+=(--file "$work/data/blob$i.bin"); done
"$kitpack" build --loader "$loader" --installer "$installer" "${args[@]}" \
  --payload "$root/examples/payload" --level 1 -o "$work/setup.exe" >/dev/null

paused=""
resume() {
  [ -z "$paused" ] || kill -CONT "$paused" 2>/dev/null || true
  paused=""
}
shot_setup
trap 'resume; shot_stop' EXIT
temp_listing() {
  find "$WINEPREFIX/drive_c/users" -maxdepth 5 -name 'ldx*' 2>/dev/null | sort
}
temp_listing >"$work/ldx-before"

rm -rf "$work/installed" "$work/shot.png"
KIT_INSTALL_DEST="Z:$(echo "$work/installed" | tr / '\\')" "$shot_run" "$work/setup.exe" &
loader_pid=$!

export DISPLAY="$LOADERKIT_DISPLAY"
window=""
for _ in $(seq 300); do
  window="$(xdotool search --onlyvisible --name '^Initializing\.\.\.$' 2>/dev/null | head -1 || true)"
  [ -n "$window" ] && break
  kill -0 "$loader_pid" 2>/dev/null || break
  sleep 0.05
done

saved=""
readings=()
if [ -n "$window" ]; then
  # Unpacking is quick, so the loader is held (SIGSTOP) for each grab and let
  # run for a moment between grabs, a few percent at a time. The last grab
  # with the bar between 20% and 80% is kept, the first from 40% on ends it.
  # Holding the loader changes nothing it draws. The window goes away when
  # the loader exits after handing over.
  # The window's process is the one started here (Wine keeps the pid), or
  # its child; anything else falls back to the one started here.
  pid="$(xdotool getwindowpid "$window" 2>/dev/null || true)"
  if [ "$pid" != "$loader_pid" ] &&
    [ "$(awk '/^PPid:/ {print $2}' "/proc/$pid/status" 2>/dev/null)" != "$loader_pid" ]; then
    pid="$loader_pid"
  fi
  # A loader stopped by an error keeps its window (under the error box), so
  # the grabs end after a minute whatever the bar says.
  until_time=$((SECONDS + 60))
  while ((SECONDS < until_time)) && kill -STOP "$pid" 2>/dev/null && paused="$pid" &&
    geometry="$(xwininfo -id "$window" 2>/dev/null)"; do
    left="$(awk '/Absolute upper-left X:/ {print $4}' <<<"$geometry")"
    top="$(awk '/Absolute upper-left Y:/ {print $4}' <<<"$geometry")"
    width="$(awk '/Width:/ {print $2}' <<<"$geometry")"
    height="$(awk '/Height:/ {print $2}' <<<"$geometry")"
    shot_grab "$left" "$top" "$width" "$height" "ppm:$work/grab.ppm" 2>/dev/null || break
    fill="$(python3 "$root/scripts/bar-fill.py" <"$work/grab.ppm" || echo none)"
    readings+=("$fill")
    if [ "$fill" != none ] && ((fill >= 20 && fill <= 80)); then
      convert "$work/grab.ppm" "$work/shot.png"
      saved="${width}x${height}, bar at ${fill}%"
      ((fill < 40)) || break # near the middle looks best
    fi
    [ "$fill" = none ] || ((fill <= 80)) || break
    resume
    sleep 0.01
  done
  resume
fi

# A loader that failed waits in its error box; give it a minute in all.
for _ in $(seq 600); do
  kill -0 "$loader_pid" 2>/dev/null || break
  sleep 0.1
done
hung=""
if kill -0 "$loader_pid" 2>/dev/null; then
  kill "$loader_pid"
  hung=yes
fi
set +e
wait "$loader_pid"
status=$?
set -e
# Let the installer the loader started finish before Wine is stopped.
if [ "$status" -eq 0 ] && [ -z "$hung" ]; then
  for _ in $(seq 300); do
    grep -qE "^(done|failed):" "$work/installed/install.log" 2>/dev/null && break
    sleep 0.1
  done
fi
# The loader keeps its working folder (and the temporary file it was named
# after) by design; here they are only ballast.
comm -13 "$work/ldx-before" <(temp_listing) | while read -r dir; do rm -rf "$dir"; done
rm -f "$work/grab.ppm" "$work/ldx-before"

[ -z "$hung" ] || fail "the loader did not exit within a minute (an error box?)"
[ "$status" -eq 0 ] || fail "the loader exited with code $status"
[ -n "$window" ] || fail "the \"Initializing...\" window did not appear"
[ -n "$saved" ] || fail "no grab had the bar between 20% and 80% (readings: ${readings[*]:-none})"
# Only a picture of a run that worked replaces the output.
mv "$work/shot.png" "$output"
echo "$output: $saved"
