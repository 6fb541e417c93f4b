#!/usr/bin/env bash
# Installs the build tools TAQ needs when any is missing (Debian packages).
# Sourced by taq.sh and test.sh, so that a fresh machine needs nothing else.

# taq_install_missing "COMMAND ..." PACKAGE ...: installs the packages when
# a command is not on the PATH or a package is not installed.
taq_install_missing() {
  local tools="$1"
  shift
  local missing=0 tool pkg
  for tool in $tools; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
  done
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing=1
  done
  [ "$missing" -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: $*" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y "$@" >&2
}

taq_ensure_tools() {
  taq_install_missing "cmake ninja g++ gcc pkg-config" cmake ninja-build g++ gcc pkg-config libgtest-dev libbenchmark-dev libxxhash-dev libssl-dev groff-base man-db
}

# What the quick run of bench/report.sh among the tests needs: one peer
# compressor, /usr/bin/time and the plotting library of Debian's python3.
# Without them that test is skipped, so failing to install them is no error.
taq_ensure_bench_tools() {
  taq_install_missing "xz /usr/bin/time" xz-utils time python3-matplotlib ||
    echo "Could not install xz-utils, time and python3-matplotlib: the benchmark page's test will be skipped" >&2
}

# clang and libFuzzer's runtime, for the sanitizer build and the fuzz
# targets (scripts/sanitize.sh).
taq_ensure_fuzz_tools() {
  taq_install_missing "clang++" clang libclang-rt-14-dev
}

# taq_install_for_pass NAME OPTIONAL PACKAGE ...: installs what a cross
# pass lacks (the packages given; none: nothing to do). When they cannot be
# had, the calling script ends: with OPTIONAL 1 after one line saying the
# pass is skipped (exit 0, for ./test.sh), else with an error (exit 1).
taq_install_for_pass() {
  local name="$1" optional="$2"
  shift 2
  [ $# -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing for the $name build: $*" >&2
  if ! { $sudo env DEBIAN_FRONTEND=noninteractive apt-get update >&2 &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" >&2; }; then
    if [ "$optional" -eq 1 ]; then
      echo "$name pass skipped: could not install $*"
      exit 0
    fi
    echo "error: could not install $*" >&2
    exit 1
  fi
}

# taq_configure_cross ROOT BUILD TOOLCHAIN: a unity build of taq and the
# tests for another machine in BUILD. The check records' hash is
# header-only and the same for every target; the cross build takes the
# host's header from a folder of its own (the host's include folder as a
# whole would hide the target's C library). One translation unit per
# target halves the build's time, most of which goes to the test
# framework's headers.
taq_configure_cross() {
  local root="$1" build="$2" toolchain="$3"
  mkdir -p "$build/xxhash"
  cp -p /usr/include/xxhash.h "$build/xxhash/"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=ON -DCMAKE_UNITY_BUILD=ON \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DXXHASH_INCLUDE_DIR="$build/xxhash" >/dev/null
}
