#!/usr/bin/env bash
# Builds the loader for POSIX and for Windows, packs the demo payload into a
# self-extracting kit for each, runs both kits (the Windows one under Wine)
# and shows what the installer they started put on disk. Then the error box a
# Windows loader shows when it finds no archive, and a screenshot of the
# Windows loader in the middle of an extraction. Exit code 0 when both kits
# ran and their installers finished; a failed screenshot is only reported.
set -euo pipefail

cd "$(dirname "$0")/.."
root="$PWD"
jobs="${LOADERKIT_JOBS:-2}"
demo="$root/build/demo"

bash scripts/setup.sh
trap '"$root/scripts/wine-run" --stop' EXIT

for preset in native windows; do
  echo "=== Building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" | tail -1
done

rm -rf "$demo"
mkdir -p "$demo/native" "$demo/windows"
kitpack="$root/build/native/kitpack/kitpack"

# Waits until the installer, which the loader does not wait for, has written
# its summary.
await_install() {
  for _ in $(seq 300); do
    if [ -f "$1/install.log" ] && grep -qE "^(done|failed):" "$1/install.log"; then return 0; fi
    sleep 0.1
  done
  echo "(no install.log in $1 after 30 s)"
  return 1
}

# kit_outcome LOADER_EXIT_CODE INSTALL_FOLDER: a one-line verdict on a kit run.
kit_outcome() {
  if [ "$1" -eq 124 ]; then
    echo "FAILED (the loader did not exit)"
  elif [ "$1" -ne 0 ]; then
    echo "FAILED (loader exit code $1)"
  elif ! grep -q "^done:" "$2/install.log" 2>/dev/null; then
    echo "FAILED (the installer did not finish; see $2/install.log)"
  else
    echo "ok"
  fi
}

# Waits for the installer a kit started, then shows what it put into folder.
show_installed() {
  await_install "$1" || true
  echo "--- installed files:"
  (cd "$1" 2>/dev/null && find . -type f | sort) || true
  echo "--- install.log:"
  cat "$1/install.log" 2>/dev/null || true
}

echo
echo "=== POSIX: self-extracting kit"
"$kitpack" build --loader build/native/loader/loader --installer build/native/examples/installer \
  --payload examples/payload -o "$demo/native/setup-kit"
"$kitpack" list "$demo/native/setup-kit"
set +e
KIT_INSTALL_DEST="$demo/native/installed" "$demo/native/setup-kit"
status=$?
set -e
echo "loader exit code: $status"
show_installed "$demo/native/installed"
native_outcome="$(kit_outcome "$status" "$demo/native/installed")"

echo
echo "=== Windows: self-extracting setup.exe under Wine"
"$kitpack" build --loader build/windows/loader/loader.exe --installer build/windows/examples/installer.exe \
  --payload examples/payload -o "$demo/windows/setup.exe"
dest_win="Z:$(echo "$demo/windows/installed" | tr / '\\')"
set +e
# A loader that fails waits in its error box, which nobody can press on the
# headless display: give it two minutes.
KIT_INSTALL_DEST="$dest_win" timeout 120 scripts/wine-run "$demo/windows/setup.exe"
status=$?
set -e
if [ "$status" -eq 124 ]; then
  echo "loader exit code: none, still running after 120 s (an error box?); stopped"
else
  echo "loader exit code: $status"
fi
show_installed "$demo/windows/installed"
windows_outcome="$(kit_outcome "$status" "$demo/windows/installed")"

echo
echo "=== Windows: a loader with no archive beside it (what the user sees)"
mkdir -p "$demo/windows/bare"
cp build/windows/loader/loader.exe "$demo/windows/bare/setup.exe"
scripts/wine-run build/windows/tests/wine/loaderdrive.exe "$demo/windows/bare/setup.exe" |
  python3 -c 'import json,sys; r=json.loads(sys.stdin.read().strip().splitlines()[-1]); print("caption: %s\ntext:    %s\nowner:   %s (visible: %s)\nbuttons: %s, icon: %s\nexit code: %s" % (r["box_caption"], r["box_text"], r["owner_class"] or "none", r["owner_visible"], r["buttons"], r["icon"], r["exit_code"]))' ||
  echo "(the error box could not be shown)"

echo
echo "=== Windows: the loader in the middle of an extraction (screenshot)"
# A kit with 160 MiB of ballast, so that there is a middle to catch;
# the ballast is removed once the picture is taken.
shot="$demo/extracting.png"
if scripts/screenshot-extraction.sh build/windows "$kitpack" "$shot" "$demo/shot"; then
  rm -rf "$demo/shot"
else
  echo "(no screenshot: the capture failed, see above; the demo goes on)"
  shot="not taken"
fi

echo
echo "=== Summary"
echo "POSIX kit:   $native_outcome"
echo "  kit $demo/native/setup-kit"
echo "  installed files in $demo/native/installed, log $demo/native/installed/install.log"
echo "Windows kit: $windows_outcome"
echo "  kit $demo/windows/setup.exe"
echo "  installed files in $demo/windows/installed, log $demo/windows/installed/install.log"
echo "Screenshot:  $shot"
[ "$native_outcome" = ok ] && [ "$windows_outcome" = ok ]
