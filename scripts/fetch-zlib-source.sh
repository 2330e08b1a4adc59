#!/usr/bin/env bash
# Puts the source of Debian's zlib in .deps/zlib. loader.exe compiles zlib's
# inflate itself, for size and as one optimized program with the loader
# (loader/CMakeLists.txt); everything else links the packaged library.
# Idempotent: a source already there is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=.deps/zlib
[ -f "$dest/infback.c" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each version the lists offer, newest first, until one downloads (a mirror
# may not carry every suite's sources).
fetch() {
  local version
  for version in $(apt-cache showsrc zlib 2>/dev/null | sed -n 's/^Version: //p'); do
    (cd "$work" && apt-get source --download-only -q "zlib=$version") >>"$work/apt.log" 2>&1 &&
      return 0
    rm -f "$work"/zlib_*
  done
  return 1
}

if ! fetch; then
  # No source entries yet: one beside each binary entry of the system's own
  # lists, then the source package again.
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    grep -q '^Types:.*\bdeb\b' "$list" || continue
    sed 's/^Types:.*/Types: deb-src/' "$list" |
      $SUDO tee "/etc/apt/sources.list.d/loaderkit-src-$(basename "$list")" >/dev/null
  done
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      $SUDO tee /etc/apt/sources.list.d/loaderkit-src.list >/dev/null
  fi
  $SUDO apt-get update -q >/dev/null
  fetch || { cat "$work/apt.log" >&2; echo "fetch-zlib-source: no zlib source package" >&2; exit 1; }
fi

tar -xf "$work"/zlib_*.orig.tar.* -C "$work"
mkdir -p "$dest"
cp "$work"/zlib-*/*.[ch] "$work"/zlib-*/README "$dest"/
echo "fetch-zlib-source: $(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/zlib \1/p' "$dest/zlib.h") in $dest"
