#!/usr/bin/env bash
# Configures and builds TAQ with its tests in ./build and runs every test.
# Installs nothing: see README.md for the packages it needs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
