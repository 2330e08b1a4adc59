#!/usr/bin/env bash
# Puts the source of Debian's zlib in .deps/zlib. loader.exe compiles zlib's
# inflate itself, for size and as one optimized program with the loader
# (loader/CMakeLists.txt); everything else links the packaged library.
# The source is Debian's own archive of the packaged version, pinned by its
# SHA-256. Idempotent: a source already there is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=.deps/zlib
[ -f "$dest/infback.c" ] && exit 0

url=http://deb.debian.org/debian/pool/main/z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2
sha=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
mkdir -p .deps
work=$(mktemp -d .deps/.zlib.XXXXXX)
trap 'rm -rf "$work"' EXIT
bash scripts/fetch-source.sh zlib "$url" "$sha" "$work/zlib" >/dev/null
# The C files and the README, flat, as the loader's build takes them.
mkdir "$work/flat"
cp "$work"/zlib/*.[ch] "$work"/zlib/README "$work/flat"/
rm -rf "$dest"
mv "$work/flat" "$dest"
echo "fetch-zlib-source: $(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/zlib \1/p' "$dest/zlib.h") in $dest"
