#!/usr/bin/env bash
# Puts the source of zlib 1.2.13 (Debian's archive of it) in .deps/zlib,
# pinned by its SHA-256: every Windows target compiles this one zlib
# (cmake/zlib.cmake), loader.exe for size and as one optimized program with
# the loader. Idempotent: a source from this very archive is kept, any other
# one (another version, a copy of unknown origin) is replaced. Touches
# nothing outside the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=.deps/zlib
url=http://deb.debian.org/debian/pool/main/z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2
sha=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
stamp="$dest/.source-sha256"
if [ -f "$dest/infback.c" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sha" ]; then
  exit 0
fi

mkdir -p .deps
work=$(mktemp -d .deps/.zlib.XXXXXX)
trap 'rm -rf "$work"' EXIT
bash scripts/fetch-source.sh zlib "$url" "$sha" "$work/zlib" >/dev/null
# The C files and the README, flat, as the build takes them.
mkdir "$work/flat"
cp "$work"/zlib/*.[ch] "$work"/zlib/README "$work/flat"/
echo "$sha" >"$work/flat/.source-sha256"
rm -rf "$dest"
mv "$work/flat" "$dest"
echo "fetch-zlib-source: $(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/zlib \1/p' "$dest/zlib.h") in $dest"
