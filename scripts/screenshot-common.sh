# shellcheck shell=bash
# Sourced by the screenshot scripts; $root must name the repository.
#
# Screenshots run Wine on a display and in a prefix of their own (so tests on
# the shared display are not disturbed), overridable with
# LOADERKIT_SHOT_DISPLAY and LOADERKIT_SHOT_PREFIX. There is no window manager
# on the headless display, so the prefix lets Wine draw title bars and
# borders itself.

shot_setup() {
  export LOADERKIT_DISPLAY="${LOADERKIT_SHOT_DISPLAY:-:79}"
  export WINEPREFIX="${LOADERKIT_SHOT_PREFIX:-/tmp/loaderkit-shot-wine}"
  shot_run="$root/scripts/wine-run"
  "$shot_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
  "$shot_run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
    /d "${LOADERKIT_SHOT_DPI:-96}" /f >/dev/null
  # The DPI is read when the prefix's programs start: begin afresh.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

# shot_grab LEFT TOP WIDTH HEIGHT OUTPUT: that rectangle of the screen, in one
# read of the X server, into OUTPUT (any format ImageMagick writes, e.g. x.png
# or ppm:-).
shot_grab() {
  DISPLAY="$LOADERKIT_DISPLAY" import -window root -crop "${3}x${4}+${1}+${2}" +repage "$5"
}

shot_stop() {
  "$shot_run" --stop
}
