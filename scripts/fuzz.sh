#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each on a copy of its committed corpus.
#   scripts/fuzz.sh [seconds per target]   (default: 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
. scripts/packages.sh
install_missing "${relaybox_packages[@]}" "${relaybox_test_packages[@]}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DRELAYBOX_FUZZ=ON -DRELAYBOX_TESTS=OFF >/dev/null
cmake --build build-fuzz --target relaybox_update_file_fuzzer relaybox_http_reply_fuzzer \
  relaybox_http_conversation_fuzzer relaybox_https_conversation_fuzzer

run() {
  local target=$1 corpus=$2 work=build-fuzz/corpus/$2
  mkdir -p "$work"
  cp -n "fuzz/corpus/$corpus"/* "$work"/
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=20 -artifact_prefix=build-fuzz/ "$work"
}
run relaybox_update_file_fuzzer update_file
run relaybox_http_reply_fuzzer http_reply
run relaybox_http_conversation_fuzzer http_conversation
# The same conversations over TLS share the corpus.
run relaybox_https_conversation_fuzzer http_conversation
