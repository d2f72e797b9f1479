#!/usr/bin/env bash
# Builds the Debian package in build-package/ with Debian's build flags and
# checks it with lintian. Prints the package's path as the last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" >&2

build="$root/build-package"
# Debian's hardening flags, as a Debian build would pass them.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DBRIVANE_BUILD_TESTS=OFF -DBRIVANE_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >&2
cmake --build "$build" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)
package="$(ls "$build"/brivane-firmware-tool_*.deb)"

# Errors fail the build; warnings are shown.
lintian --fail-on error --display-level ">=warning" "$package" >&2
echo "$package"
