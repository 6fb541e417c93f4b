#!/usr/bin/env bash
# report.sh [--quick] [--no-install] [--reps N] [--rows "ID ..."] [--classes "NAME ..."] CORPUS [OUTDIR]
# report.sh --render OUTDIR
#
# TAQ beside xz, zstd, bzip3, 7-Zip (PPMd and LZMA2) and zpaq on every class
# (subdirectory) of CORPUS: bits per byte, compression and extraction speed,
# processor time and peak memory, as a Markdown page with plots
# (OUTDIR/benchmarks.md, OUTDIR/benchmarks/*.svg) and a TSV of every
# measurement (OUTDIR/benchmarks/results.tsv). OUTDIR defaults to
# ./bench-report. bench/report.py says how it measures.
#
# Installs what is missing first (Debian packages: the peers, time,
# python3-matplotlib, and the build tools when taq must be built; with sudo
# when not root); --no-install installs nothing, and a peer that is not
# there is then named and skipped. Builds taq in ./build unless TAQ names a
# binary. --quick: the smallest class, one repetition, TAQ -m0 and one peer.
# --render writes the page and plots of an earlier run again from its
# OUTDIR/benchmarks/results.tsv and run.json, measuring nothing.
#
# Exit status: 0 when every round trip succeeded, 1 when one failed (the
# page is still written, the failure marked in it), 2 for bad input, 77 in
# --quick mode when no peer can be had.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

install=1 quick=0 rows="" render=0
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
    --no-install) install=0 ;;
    --quick) quick=1 ;;
    --rows) rows=${args[i + 1]:-} ;;
    --render) render=1 ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  esac
done
# report.py does not know --no-install.
pass=()
for a in "$@"; do [ "$a" = --no-install ] || pass+=("$a"); done

. "$repo/scripts/ensure-tools.sh"

# bench_install PACKAGE ...: installs them, one by one when the whole set
# cannot be had, so that one missing package costs only its own peer.
bench_install() {
  [ $# -gt 0 ] || return 0
  local sudo="" pkg
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "report: installing $*" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update >&2 || true
  if ! $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y "$@" >&2; then
    for pkg in "$@"; do
      $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y "$pkg" >&2 ||
        echo "report: could not install $pkg" >&2
    done
  fi
}

# The interpreter whose matplotlib the Debian package provides.
py=/usr/bin/python3
# --render OUTDIR: the page and plots of an earlier run again, nothing measured.
[ $render = 0 ] || exec "$py" "$repo/bench/report.py" "${pass[@]}"
if [ $install = 1 ]; then
  need=()
  [ -x /usr/bin/time ] || need+=(time)
  { [ -x "$py" ] && "$py" -c 'import matplotlib' 2>/dev/null; } || need+=(python3-matplotlib)
  want() { # COMMAND PACKAGE [ROW]: the package when the command is missing and the row is wanted
    command -v "$1" >/dev/null 2>&1 && return 0
    if [ -n "$rows" ] && [ -n "${3:-}" ] && ! grep -qE "(^| )($3)( |$)" <<<"$rows"; then return 0; fi
    need+=("$2")
  }
  if [ $quick = 1 ] && [ -z "$rows" ]; then
    command -v zstd >/dev/null 2>&1 || command -v xz >/dev/null 2>&1 || need+=(zstd)
  else
    want xz xz-utils xz
    want zstd zstd 'zstd19|zstd22'
    want bzip3 bzip3 bzip3
    command -v 7zz >/dev/null 2>&1 || command -v 7z >/dev/null 2>&1 || want 7zz 7zip '7z-ppmd|7z-lzma2'
    want zpaq zpaq 'zpaq3|zpaq5'
  fi
  bench_install "${need[@]}"
  # Older releases have 7-Zip only as p7zip-full.
  if [[ " ${need[*]} " == *" 7zip "* ]] && ! command -v 7zz >/dev/null 2>&1 && ! command -v 7z >/dev/null 2>&1; then
    bench_install p7zip-full
  fi
fi
[ -x "$py" ] || py=$(command -v python3 || echo python3)

if [ -n "${TAQ:-}" ]; then
  taq=$TAQ
else
  build=$repo/build
  if [ ! -f "$build/build.ninja" ]; then
    [ $install = 1 ] && taq_ensure_tools
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build" --target taq >/dev/null
  taq=$build/taq
fi

exec "$py" "$repo/bench/report.py" --taq "$taq" "${pass[@]}"
