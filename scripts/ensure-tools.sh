#!/usr/bin/env bash
# Installs the build tools TAQ needs when any is missing (Debian packages).
# Sourced by taq.sh and test.sh, so that a fresh machine needs nothing else.
taq_ensure_tools() {
  local packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libxxhash-dev groff-base man-db)
  local missing=0 tool pkg
  for tool in cmake ninja g++; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
  done
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing=1
  done
  [ "$missing" -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing build tools: ${packages[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y "${packages[@]}" >&2
}

# clang and libFuzzer's runtime, for the sanitizer build and the fuzz
# targets (scripts/sanitize.sh).
taq_ensure_fuzz_tools() {
  local packages=(clang libclang-rt-14-dev)
  local missing=0 pkg
  command -v clang++ >/dev/null 2>&1 || missing=1
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing=1
  done
  [ "$missing" -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing fuzzing tools: ${packages[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}" >&2
}
