#!/usr/bin/env bash
# Usage: fetch-source.sh NAME URL SHA256 DEST
#
# Puts the source archive at URL, pinned by its SHA-256, unpacked into DEST
# (its top folder's contents, as the archive holds them). The archive is
# checked before anything is unpacked; DEST is replaced only by a complete
# tree. Idempotent: a DEST that holds this very archive is kept.
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: fetch-source.sh NAME URL SHA256 DEST" >&2
  exit 2
fi
name=$1 url=$2 sha=$3 dest=$4
stamp="$dest/.source-sha256"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sha" ]; then
  exit 0
fi

mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$(dirname "$dest")/.fetch-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
archive="$work/${url##*/}"
if command -v curl >/dev/null; then
  curl -fsSL --retry 3 -o "$archive" "$url"
else
  wget -q -O "$archive" "$url"
fi
got=$(sha256sum "$archive" | cut -c1-64)
if [ "$got" != "$sha" ]; then
  echo "fetch-source: $name: $url has SHA-256 $got, expected $sha; nothing unpacked" >&2
  exit 1
fi

mkdir "$work/tree"
tar -xf "$archive" -C "$work/tree"
# The archive's one top folder (name-version/) is left out.
shopt -s nullglob dotglob
top=("$work"/tree/*)
if [ ${#top[@]} -eq 1 ] && [ -d "${top[0]}" ]; then
  root="${top[0]}"
else
  root="$work/tree"
fi
echo "$sha" >"$root/.source-sha256"
rm -rf "$dest"
mv "$root" "$dest"
echo "fetch-source: $name (${url##*/}) in $dest"
