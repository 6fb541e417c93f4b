#!/usr/bin/env bash
# Installs the build tools if they are missing (and xz, time and
# python3-matplotlib for the quick benchmark test), configures and builds TAQ
# with its tests in ./build and runs every test (in CI, or with
# TAQ_PACKAGE_TEST=1, the Debian package test too); then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz
# target for a short while (scripts/sanitize.sh, in ./build-sanitize).
# TAQ_SANITIZE=0 leaves that second pass out. Last it cross-builds the
# Windows taq.exe with its tests in ./build-windows and runs them under wine
# (scripts/windows.sh; skipped, with one line saying why, where its packages
# cannot be had). TAQ_WINDOWS=0 leaves that pass out. Then the big-endian
# s390x build in ./build-s390x, whose byte-exact tests (the vectors both
# ways, an archive written on x86-64, the byte-order loads) run under qemu
# (scripts/cross.sh s390x --quick; skipped like the Windows pass).
# TAQ_CROSS=s390x, aarch64 or i686 (several separated by commas, or all)
# runs every test of those machines instead; TAQ_CROSS=0 leaves it out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$root/scripts/ensure-tools.sh"
taq_ensure_tools
taq_ensure_bench_tools
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=ON
cmake --build "$build"
# The Debian package installs and removes cleanly (it touches the system's
# packages, so only where asked: CI sets CI=true).
if [ "${CI:-}" = "true" ] || [ "${TAQ_PACKAGE_TEST:-}" = "1" ]; then
  "$root/scripts/package-test.sh"
fi
ctest --test-dir "$build" --output-on-failure -j2
# How long each pass took, for keeping the whole run within its time.
echo "test.sh: native pass done after ${SECONDS} s"
if [ "${TAQ_SANITIZE:-1}" != 0 ]; then
  "$root/scripts/sanitize.sh"
  echo "test.sh: sanitizer and fuzz pass done after ${SECONDS} s"
fi
if [ "${TAQ_WINDOWS:-1}" != 0 ]; then
  "$root/scripts/windows.sh" --if-possible
  echo "test.sh: Windows pass done after ${SECONDS} s"
fi
cross="${TAQ_CROSS:-}"
if [ -z "$cross" ]; then
  "$root/scripts/cross.sh" s390x --quick --if-possible
  echo "test.sh: s390x pass done after ${SECONDS} s"
elif [ "$cross" != 0 ]; then
  [ "$cross" = all ] && cross=s390x,aarch64,i686
  IFS=, read -r -a machines <<< "$cross"
  for machine in "${machines[@]}"; do
    "$root/scripts/cross.sh" "$machine"
  done
fi
