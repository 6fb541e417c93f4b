#!/usr/bin/env bash
# Builds TAQ into ./build on first use (installing the build tools when they
# are missing) and after source changes, then runs it with the given arguments.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$root/build"
log="$build/taq-build.log"
if [ ! -f "$build/build.ninja" ]; then
  . "$root/scripts/ensure-tools.sh"
  taq_ensure_tools
  mkdir -p "$build"
  if ! cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=OFF >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
fi
if ! ninja -C "$build" taq >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
exec "$build/taq" "$@"
