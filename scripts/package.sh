#!/usr/bin/env bash
# Builds the Debian package in build-package/ (Release, Debian's hardening flags, only what
# the package installs) and checks it with lintian.
#   scripts/package.sh      then: sudo apt-get install ./build-package/relaybox_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

# The build needs what setup.sh installs, and dpkg's tools; the check needs lintian.
. scripts/packages.sh
install_missing "${relaybox_packages[@]}" "${relaybox_package_packages[@]}"

build=build-package
# Fortify, stack protector, relro and bind-now; gcc builds PIE by default on Debian. The
# optimisation is Debian's -O2 from the same flags, not CMake's Release -O3.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DRELAYBOX_TESTS=OFF -DRELAYBOX_BENCH=OFF -DRELAYBOX_FUZZ=OFF -DRELAYBOX_SANITIZE= \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j2
rm -f "$build"/relaybox_*.deb
(cd "$build" && cpack >/dev/null)
deb=$(ls "$build"/relaybox_*.deb)
lintian --fail-on error,warning "$deb"
echo "$deb"
