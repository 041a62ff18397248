#!/usr/bin/env bash
# Installs what the tests need besides the program's own packages, builds everything and
# runs the whole test suite.
#   scripts/test.sh                       the plain build, in build/
#   scripts/test.sh address,undefined     the same suite under sanitizers, in build-address-undefined/
#   scripts/test.sh thread                ... in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
  export RELAYBOX_SANITIZE=$1
  export RELAYBOX_BUILD_DIR=build-${1//,/-}
fi
build=${RELAYBOX_BUILD_DIR:-build}
. scripts/packages.sh
install_missing "${relaybox_test_packages[@]}"
RELAYBOX_BUILD_ALL=1 scripts/setup.sh
ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 --timeout 300
