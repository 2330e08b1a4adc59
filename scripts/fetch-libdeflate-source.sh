#!/usr/bin/env bash
# Puts the source of Debian's libdeflate in .deps/libdeflate: kitpack.exe
# compiles it (kitpack/CMakeLists.txt), the Linux kitpack links the packaged
# library of the same version, so both write the same bytes. Pinned by
# version and SHA-256. Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash scripts/fetch-source.sh libdeflate \
  http://deb.debian.org/debian/pool/main/libd/libdeflate/libdeflate_1.14.orig.tar.gz \
  89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac \
  .deps/libdeflate
