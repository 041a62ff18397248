#!/usr/bin/env bash
# Installs the Debian packages Relaybox needs to build and run (only those missing), then
# configures and builds the program: relaybox and relaybox-fetch. Idempotent: a second run
# only rebuilds what changed.
#   RELAYBOX_BUILD_DIR   build folder (default: build)
#   RELAYBOX_SANITIZE    address,undefined or thread (default: none)
#   RELAYBOX_BUILD_ALL   1: build every target, tests and benchmarks too (scripts/test.sh
#                        sets it once it has installed what they need)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
install_missing "${relaybox_packages[@]}"

build=${RELAYBOX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DRELAYBOX_SANITIZE="${RELAYBOX_SANITIZE:-}" >/dev/null
if [ "${RELAYBOX_BUILD_ALL:-}" = 1 ]; then
  cmake --build "$build"
else
  cmake --build "$build" --target relaybox relaybox-fetch
fi
