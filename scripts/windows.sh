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
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing for the Windows build: ${need[*]}" >&2
  if ! { $sudo env DEBIAN_FRONTEND=noninteractive apt-get update >&2 &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2; }; then
    if [ "$optional" -eq 1 ]; then
      echo "Windows pass skipped: could not install ${need[*]}"
      exit 0
    fi
    echo "error: could not install ${need[*]}" >&2
    exit 1
  fi
fi

# The check records' hash is header-only and the same for every target; the
# cross build takes the host's header from a folder of its own (the host's
# include folder as a whole would hide the target's C library).
mkdir -p "$build/xxhash"
cp -p /usr/include/xxhash.h "$build/xxhash/"
# One translation unit per target (a unity build) halves the cross build's
# time, most of which goes to the test framework's headers.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=ON -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DXXHASH_INCLUDE_DIR="$build/xxhash" >/dev/null
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
