#!/usr/bin/env bash
# speed.sh CORPUS_DIR
#
# Compression and extraction speed of taq -m5 on every file of the text,
# source and x86_64 classes of a corpus: CORPUS_DIR holds one subdirectory
# of files per class (README.md says where to get one). Builds the Release binary in ./build when it is
# missing or stale. Each file is archived on its own from its own directory
# (`taq a -m5 ARCH NAME`), extracted with `taq x ARCH out` and compared with
# the original; a failed round trip is reported and makes the exit status 1.
# MB/s = input bytes / 10^6 / wall seconds of the whole process.
# CLASSES="text source" restricts the classes.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: speed.sh CORPUS_DIR" >&2; exit 2; }
corpus=$1
[ -d "$corpus" ] || { echo "speed.sh: no corpus directory '$corpus'" >&2; exit 2; }
corpus=$(cd "$corpus" && pwd)
classes=${CLASSES:-text source x86_64}

build=$repo/build
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target taq >/dev/null
taq=$build/taq

# taq reads a destination with a dot in it as directory plus wildcard.
work=$(mktemp -d "${TMPDIR:-/tmp}/taqspeedXXXXXX")
case $work in *.*) echo "speed.sh: work directory '$work' contains a dot; set TMPDIR" >&2; exit 2 ;; esac
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
mbps() { awk -v b="$1" -v t="$2" 'BEGIN { if (t > 0) printf "%.2f", b / 1e6 / t; else print "-" }'; }

printf '%-8s %-32s %10s %10s %6s %9s %9s\n' class file bytes packed bpb 'c MB/s' 'x MB/s'
failed=0 total_bytes=0 total_packed=0 total_c=0 total_x=0
for cls in $classes; do
  [ -d "$corpus/$cls" ] || { echo "speed.sh: no class '$cls' in $corpus" >&2; failed=1; continue; }
  while IFS= read -r -d '' path; do
    name=$(basename "$path")
    bytes=$(stat -c %s "$path")
    rm -rf "$work/run" && mkdir "$work/run"
    t0=$(now)
    (cd "$(dirname "$path")" && "$taq" a -m5 "$work/run/arch" "$name") >"$work/log" 2>&1 || { echo "FAILED: a on $cls/$name" >&2; cat "$work/log" >&2; failed=1; continue; }
    t1=$(now)
    (cd "$work/run" && "$taq" x arch out) >>"$work/log" 2>&1 || true
    t2=$(now)
    if ! cmp -s "$path" "$work/run/out/$name"; then echo "FAILED: round trip of $cls/$name" >&2; failed=1; fi
    packed=$(stat -c %s "$work/run/arch")
    ct=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
    xt=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')
    printf '%-8s %-32s %10d %10d %6.3f %9s %9s\n' "$cls" "$name" "$bytes" "$packed" \
      "$(awk -v p="$packed" -v b="$bytes" 'BEGIN { print b ? 8 * p / b : 0 }')" "$(mbps "$bytes" "$ct")" "$(mbps "$bytes" "$xt")"
    total_bytes=$((total_bytes + bytes)) total_packed=$((total_packed + packed))
    total_c=$(awk -v a="$total_c" -v b="$ct" 'BEGIN { print a + b }')
    total_x=$(awk -v a="$total_x" -v b="$xt" 'BEGIN { print a + b }')
  done < <(find "$corpus/$cls" -maxdepth 1 -type f -print0 | LC_ALL=C sort -z)
done
printf '%-8s %-32s %10d %10d %6.3f %9s %9s\n' all total "$total_bytes" "$total_packed" \
  "$(awk -v p="$total_packed" -v b="$total_bytes" 'BEGIN { print b ? 8 * p / b : 0 }')" \
  "$(mbps "$total_bytes" "$total_c")" "$(mbps "$total_bytes" "$total_x")"
exit $failed
