#!/usr/bin/env bash
# Installs the Debian packages Relaybox needs (only those missing), then configures and
# builds it. Idempotent: a second run only rebuilds what changed.
#   RELAYBOX_BUILD_DIR   build folder (default: build)
#   RELAYBOX_SANITIZE    address,undefined or thread (default: none)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-qpa-plugins
  libgtest-dev
  fonts-liberation fonts-dejavu-core
  clang libclang-rt-14-dev
  xvfb xauth imagemagick xdotool python3
  dpkg-dev desktop-file-utils
  curl inotify-tools
  nginx lighttpd lighttpd-mod-deflate
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${RELAYBOX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DRELAYBOX_SANITIZE="${RELAYBOX_SANITIZE:-}" >/dev/null
cmake --build "$build"
