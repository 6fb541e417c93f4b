#!/usr/bin/env bash
# Cross-builds taq.exe and the tests for 64-bit Windows with mingw-w64 into
# build-windows/ and runs the tests under wine64. Installs what is missing
# (g++-mingw-w64-x86-64, wine64, googletest) through apt-get first.
#
#   scripts/windows.sh            build, then run every test under wine
#   scripts/windows.sh --build    build only
#
# Exit code 0 only when the build and every test run passed. With
# --if-possible, a machine where the packages cannot be installed prints one
# line saying so and exits 0 (./test.sh uses this).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-windows"
mode=all
optional=0
for arg in "$@"; do
  case "$arg" in
    --build) mode=build ;;
    --if-possible) optional=1 ;;
    *) echo "usage: $0 [--build] [--if-possible]" >&2; exit 2 ;;
  esac
done

wine=/usr/lib/wine/wine64
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64)
[ -x "$wine" ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/xxhash.h ] || need+=(libxxhash-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
. "$root/scripts/ensure-tools.sh"
taq_install_for_pass "Windows" "$optional" ${need[@]+"${need[@]}"}
taq_configure_cross "$root" "$build" "$root/cmake/mingw-w64.cmake"
nice -n 10 cmake --build "$build" -j2
[ "$mode" = build ] && exit 0

# A private wine prefix under the build folder; its first start takes a
# few seconds, later ones reuse it.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# The wine server stays up between the test runs, and ends with the last.
/usr/lib/wine/wineserver -p 60 >/dev/null 2>&1 || true

# One ctest entry per test binary; a binary that hangs is stopped.
status=0
nice -n 10 ctest --test-dir "$build" --output-on-failure -j2 || status=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
exit $status
