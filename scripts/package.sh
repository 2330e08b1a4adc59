#!/usr/bin/env bash
# Builds the release packages into dist/:
#
#   loaderkit-<version>-linux-x86_64.tar.gz   kitpack, both loaders, both reference
#   loaderkit_<version>_amd64.deb             installers, the demo payload, docs, the
#                                             CMake package (install prefix /usr)
#   loaderkit-<version>-windows-x86_64.zip    kitpack.exe, loader.exe, installer.exe,
#                                             the demo payload, docs, the CMake package
#
# from release builds of both presets (build/package-windows, then
# build/package-native, which takes loader.exe and installer.exe from the
# first). Every entry gets the time SOURCE_DATE_EPOCH (default: the last
# commit's time), so two runs give identical files. Prints each package's
# size and SHA-256.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${LOADERKIT_JOBS:-2}"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "package: set SOURCE_DATE_EPOCH (no git history to take it from)" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
# Zip entries hold local times; the packages must not depend on the zone.
export TZ=UTC
umask 022

start=$(date +%s)
# The pinned sources the Windows build compiles, so that a fresh clone packs.
bash scripts/fetch-zlib-source.sh
bash scripts/fetch-libdeflate-source.sh
for preset in package-windows package-native; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

version=$(sed -n 's/^project(loaderkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist
rm -f dist/loaderkit-* dist/loaderkit_*
# The tar.gz and the zip: each build's install tree, packed in sorted order.
for pair in "package-native linux-x86_64 --tar tar.gz" "package-windows windows-x86_64 --zip zip"; do
  read -r preset system kind extension <<<"$pair"
  stage="$root/build/$preset/stage"
  name="loaderkit-$version-$system"
  rm -rf "$stage"
  cmake --install "build/$preset" --prefix "$stage/$name" >/dev/null
  python3 scripts/pack-tree.py "$kind" "dist/$name.$extension" "$stage/$name"
done
# The .deb, by CPack.
out="$root/build/package-native/packages"
rm -rf "$out"
(cd build/package-native && cpack -G DEB -B "$out" >/dev/null)
cp "$out/loaderkit_${version}_amd64.deb" dist/

echo "=== dist/ (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH, $(($(date +%s) - start)) s)"
for f in "dist/loaderkit-$version-linux-x86_64.tar.gz" "dist/loaderkit_${version}_amd64.deb" \
         "dist/loaderkit-$version-windows-x86_64.zip"; do
  [ -f "$f" ] || { echo "package: $f was not made" >&2; exit 1; }
  printf '%10d  %s  %s\n' "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -c1-64)" "$f"
done
