#!/usr/bin/env bash
# Sets up and builds Relaybox, then makes the Debian package from the build.
#   scripts/package.sh      then: sudo apt-get install ./build/relaybox_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
(cd build && cpack >/dev/null)
ls build/relaybox_*.deb
