#!/usr/bin/env bash
# Captures the loader window at 50% into a PNG (default docs/window.png).
#
#   tests/ui/window_screenshot.sh BUILD_DIR [OUTPUT.png]
#   LOADERKIT_SHOT_DPI=192 tests/ui/window_screenshot.sh BUILD_DIR docs/window-192dpi.png
#
# Runs the window demo of a Windows build under Wine on the screenshot
# display and prefix of scripts/screenshot-common.sh.
set -euo pipefail

build="${1:?usage: window_screenshot.sh BUILD_DIR [OUTPUT.png]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
output="${2:-$root/docs/window.png}"
demo="$build/tests/ui/ui_window_demo.exe"
[ -f "$demo" ] || { echo "no $demo: build the target ui_window_demo first" >&2; exit 1; }

# shellcheck source=../../scripts/screenshot-common.sh
. "$root/scripts/screenshot-common.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

shot_setup
"$shot_run" "$demo" 50 8000 >"$work/rect" &
demo_pid=$!
for _ in $(seq 100); do
  [ -s "$work/rect" ] && break
  sleep 0.1
done
[ -s "$work/rect" ] || { echo "the window did not come up" >&2; kill "$demo_pid"; exit 1; }
sleep 1  # let the last paint reach the X server
read -r left top width height <"$work/rect"
shot_grab "$left" "$top" "$width" "$height" "$output"
wait "$demo_pid"
shot_stop
echo "$output: ${width}x${height}"
