#!/usr/bin/env bash
# Cross-builds taq and the tests for another Linux machine with Debian's
# cross compilers into build-<arch>/ and runs the tests under qemu-user
# (no binfmt registration needed). Installs what is missing
# (g++-<triple>, qemu-user, googletest) through apt-get first.
#
#   scripts/cross.sh s390x          64-bit big-endian
#   scripts/cross.sh aarch64        64-bit ARM
#   scripts/cross.sh i686           32-bit x86
#   scripts/cross.sh ARCH --build   build only
#   scripts/cross.sh ARCH --quick   only the tests that compare bytes across
#                                   machines: the vectors, the byte-order loads
#                                   and the archive written on x86-64
#
# Exit code 0 only when the build and every test run passed. With
# --if-possible, a machine where the packages cannot be installed prints one
# line saying so and exits 0 (./test.sh uses this).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { echo "usage: $0 s390x|aarch64|i686 [--build] [--quick] [--if-possible]" >&2; exit 2; }
[ $# -ge 1 ] || usage
arch="$1"
shift
case "$arch" in
  s390x) triple=s390x-linux-gnu qemu=qemu-s390x ;;
  aarch64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  i686) triple=i686-linux-gnu qemu=qemu-i386 ;;
  *) usage ;;
esac
mode=all
quick=0
optional=0
for arg in "$@"; do
  case "$arg" in
    --build) mode=build ;;
    --quick) quick=1 ;;
    --if-possible) optional=1 ;;
    *) usage ;;
  esac
done
build="$root/build-$arch"

need=()
command -v "$triple-g++" >/dev/null 2>&1 || need+=("g++-$triple")
command -v "$qemu" >/dev/null 2>&1 || need+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/xxhash.h ] || need+=(libxxhash-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
. "$root/scripts/ensure-tools.sh"
taq_install_for_pass "$arch" "$optional" ${need[@]+"${need[@]}"}
taq_configure_cross "$root" "$build" "$root/cmake/$triple.cmake"
targets=()
tests=(-LE quick)
if [ "$quick" -eq 1 ]; then
  targets=(--target taq test_cross)
  tests=(-L quick)
fi
nice -n 10 cmake --build "$build" -j2 "${targets[@]}"
[ "$mode" = build ] && exit 0

# One ctest entry per test binary; a binary that hangs is stopped.
nice -n 10 ctest --test-dir "$build" --output-on-failure -j2 "${tests[@]}"
