#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   tools/test.sh             normal build in build/
#   tools/test.sh --sanitize  AddressSanitizer + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  extra=(-DZK4_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

bash tools/setup.sh
cmake -S . -B "$build" -G Ninja "${extra[@]}"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
