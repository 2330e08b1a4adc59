#!/usr/bin/env bash
# Installs every package the builds, tests, demo and benchmarks need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config curl
  zlib1g-dev libdeflate-dev libgtest-dev googletest libcli11-dev
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-utils xdotool imagemagick icoutils
  clang libclang-rt-14-dev llvm lld
  python3 python3-pyflakes clang-format clang-tidy pigz makeself hyperfine osslsigncode openssl
  zip unzip 7zip nsis gnuplot-nox time groff-base gcovr
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Pinned sources the Windows build compiles: zlib for every Windows target
# (no packaged mingw zlib takes part), libdeflate for kitpack.exe. They are
# fetched into .deps/ by their SHA-256; nothing here touches the system's
# package configuration.
bash "$(dirname "$0")/fetch-zlib-source.sh"
bash "$(dirname "$0")/fetch-libdeflate-source.sh"
