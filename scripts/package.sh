#!/usr/bin/env bash
# Builds the Debian package korvid-desktop_<version>_<arch>.deb in
# build/package: a Release build of only what the package ships, the manual
# pages from the programs' --help, then CPack's DEB generator, whose
# dependencies dpkg-shlibdeps computes from the programs. Install it with
#   sudo apt install ./build/package/korvid-desktop_*.deb
# KORVID_PACKAGE_JOBS sets the number of parallel compile jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build=build/package
# Debian's hardening: fortified libc calls, stack protector, read-only
# relocations bound at start.
hardening_c="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection"
hardening_ld="-Wl,-z,relro -Wl,-z,now"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DKORVID_TESTS=OFF -DKORVID_BENCH=OFF -DKORVID_FUZZ=OFF \
  -DCMAKE_C_FLAGS="$hardening_c" -DCMAKE_CXX_FLAGS="$hardening_c" \
  -DCMAKE_EXE_LINKER_FLAGS="$hardening_ld" -DCMAKE_MODULE_LINKER_FLAGS="$hardening_ld" \
  -DCMAKE_SHARED_LINKER_FLAGS="$hardening_ld" \
  -DKORVID_MAN_PAGES=ON -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
# Only the shipped targets; installing then copies what they built.
cmake --build "$build" ${KORVID_PACKAGE_JOBS:+-j "$KORVID_PACKAGE_JOBS"} \
  --target korvid-desktop korvid-service korvid-excerpt korvid-man korvid-changelog
rm -f "$build"/korvid-desktop_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/korvid-desktop_*.deb
