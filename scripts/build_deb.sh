#!/usr/bin/env bash
# Builds wdtctl the way a distribution does (optimised, with Debian's own compiler and linker flags,
# warnings not made errors) in build/package, and makes the Debian package there; prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/package
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# CMake reads no CPPFLAGS; Debian's preprocessor flags (_FORTIFY_SOURCE) go with the compiler's.
CXXFLAGS="$CXXFLAGS $CPPFLAGS" cmake -B $dir -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DWDT_DEBIAN_PACKAGE=ON >/dev/null
cmake --build $dir >&2
rm -f $dir/*.deb
(cd $dir && cpack -G DEB >/dev/null)
ls $dir/*.deb
