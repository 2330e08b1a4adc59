#!/usr/bin/env bash
# Captures the loader window at 50% into a PNG (default docs/window.png).
#
#   tests/ui/window_screenshot.sh BUILD_DIR [OUTPUT.png]
#
# Runs the window demo of a Windows build under Wine on a display and in a
# prefix of its own. There is no window manager on the headless display, so
# the prefix lets Wine draw the title bar and border itself.
set -euo pipefail

build="${1:?usage: window_screenshot.sh BUILD_DIR [OUTPUT.png]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
output="${2:-$root/docs/window.png}"
demo="$build/tests/ui/ui_window_demo.exe"
[ -f "$demo" ] || { echo "no $demo: build the target ui_window_demo first" >&2; exit 1; }

export LOADERKIT_DISPLAY="${LOADERKIT_SHOT_DISPLAY:-:79}"
export WINEPREFIX="${LOADERKIT_SHOT_PREFIX:-/tmp/loaderkit-shot-wine}"
run="$root/scripts/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null

"$run" "$demo" 50 8000 >"$work/rect" &
demo_pid=$!
for _ in $(seq 100); do
  [ -s "$work/rect" ] && break
  sleep 0.1
done
[ -s "$work/rect" ] || { echo "the window did not come up" >&2; kill "$demo_pid"; exit 1; }
sleep 1  # let the last paint reach the X server
read -r left top width height <"$work/rect"
DISPLAY="$LOADERKIT_DISPLAY" import -window root -crop "${width}x${height}+${left}+${top}" +repage "$output"
wait "$demo_pid"
"$run" --stop
echo "$output: ${width}x${height}"
