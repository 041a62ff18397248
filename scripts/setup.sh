#!/usr/bin/env bash
# Installs the Debian packages Relaybox needs (only those missing), then configures and
# builds it. Idempotent: a second run only rebuilds what changed.
#   RELAYBOX_BUILD_DIR   build folder (default: build)
#   RELAYBOX_SANITIZE    address,undefined or thread (default: none)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
install_missing "${relaybox_packages[@]}"

build=${RELAYBOX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DRELAYBOX_SANITIZE="${RELAYBOX_SANITIZE:-}" >/dev/null
cmake --build "$build"
