#!/usr/bin/env bash
# report_test.sh TAQ_BINARY: bench/report.sh in its quick mode on a small
# corpus made of the test vectors, its refusals of bad corpora, and a peer
# whose round trip fails. Installs nothing (--no-install); exits 77 (a
# skipped test) when no peer or no matplotlib is at hand. Run by ctest.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -eq 1 ] && [ -x "$1" ] || { echo "usage: report_test.sh TAQ_BINARY" >&2; exit 2; }
export TAQ=$1
report=$repo/bench/report.sh
inputs=$repo/tests/data/vectors/inputs

skip() { echo "SKIPPED: $*"; exit 77; }
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null ||
  skip "no matplotlib for /usr/bin/python3 (apt-get install python3-matplotlib)"
[ -x /usr/bin/time ] || skip "no /usr/bin/time (apt-get install time)"

work=$(mktemp -d "${TMPDIR:-/tmp}/taqreporttestXXXXXX")
trap 'chmod -R u+rwX "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# expect STATUS PATTERN NAME -- ARGS...: report.sh ARGS exits with STATUS and
# says PATTERN on standard error.
expect() {
  local want=$1 pattern=$2 name=$3 rc
  shift 4
  "$report" --no-install "$@" >"$work/out.log" 2>&1
  rc=$?
  if [ $rc -ne "$want" ]; then fail "$name: exit status $rc, not $want"; sed 's/^/  | /' "$work/out.log"; return 1; fi
  if ! grep -q -- "$pattern" "$work/out.log"; then fail "$name: no line saying '$pattern'"; sed 's/^/  | /' "$work/out.log"; return 1; fi
  return 0
}

corpus=$work/corpus
mkdir -p "$corpus/docs" "$corpus/bin/sub"
cp "$inputs/fields.c" "$inputs/xargs.1" "$inputs/cp.html" "$corpus/docs/"
cp "$inputs/cat.bmp" "$inputs/tiny.gif" "$inputs/empty.bin" "$corpus/bin/"
cp "$inputs/short.txt" "$corpus/bin/sub/"
echo "not a class" >"$corpus/README"

# A peer that mangles a file's bytes (not the tar around them) when it
# extracts: its row is marked, the page is still written, and the report
# fails.
mkdir "$work/bad-bin"
cat >"$work/bad-bin/xz" <<'EOF'
#!/bin/sh
case " $* " in *" -d "*) LC_ALL=C sed 's/GIF8/JIF8/' ;; *) cat ;; esac
EOF
chmod +x "$work/bad-bin/xz"
if PATH=$work/bad-bin:$PATH expect 1 "ROUND TRIP FAILED: xz -9e on bin" "failed peer" -- \
    --quick --rows "taq-m0 xz" "$corpus" "$work/failed"; then
  grep -q '^| xz -9e | .*FAILED' "$work/failed/benchmarks.md" || fail "failed peer: its row is not marked FAILED"
  grep -q '^| \*\*TAQ -m0\*\* | [0-9].* ok |$' "$work/failed/benchmarks.md" || fail "failed peer: the TAQ row is not there"
  grep -q $'^xz\t.*\t0$' "$work/failed/benchmarks/results.tsv" || fail "failed peer: no failed measurement in the TSV"
fi

# Bad corpora: a clear line, exit status 2, and no page.
mkdir "$work/none"
echo data >"$work/none/file"
expect 2 "has no class directories" "no classes" -- --quick "$work/none" "$work/o1"
mkdir -p "$work/holes/full" "$work/holes/hollow/deeper"
cp "$inputs/short.txt" "$work/holes/full/"
expect 2 "class 'hollow' .* is empty" "empty class" -- --quick "$work/holes" "$work/o2"
mkdir -p "$work/linked/a"
cp "$inputs/short.txt" "$work/linked/a/"
ln -s "$work/nowhere" "$work/linked/a/dangling"
expect 2 "dangling is a symbolic link" "link in a class" -- --quick "$work/linked" "$work/o3"
if [ "$(id -u)" -ne 0 ]; then
  mkdir -p "$work/locked/a"
  cp "$inputs/short.txt" "$work/locked/a/"
  chmod 000 "$work/locked/a/short.txt"
  expect 2 "cannot read .*short.txt" "unreadable file" -- --quick "$work/locked" "$work/o4"
fi
expect 2 "no class nosuch" "unknown class" -- --classes nosuch "$corpus" "$work/o5"
expect 2 "lies inside the corpus" "output inside the corpus" -- --quick "$corpus" "$corpus/docs/out"
: >"$work/a-file"
expect 2 "cannot write into" "output that is a file" -- --quick "$corpus" "$work/a-file"
for o in o1 o2 o3 o4 o5; do
  [ ! -e "$work/$o/benchmarks.md" ] || fail "a page was written for a bad corpus ($o)"
done

# No peer at all: the quick report says so and skips.
mkdir "$work/bare-bin"
for t in bash dirname tar diff; do ln -s "$(command -v $t)" "$work/bare-bin/$t"; done
rc=0
PATH=$work/bare-bin "$report" --no-install --quick "$corpus" "$work/o6" >"$work/out.log" 2>&1 || rc=$?
if [ $rc -ne 77 ] || ! grep -q "no peer compressor is installed" "$work/out.log"; then
  fail "no peer: exit status $rc, not 77 with a line saying so"; sed 's/^/  | /' "$work/out.log"
fi
[ ! -e "$work/o6/benchmarks.md" ] || fail "no peer: a page was written"

# The quick report itself, with whatever peer is installed.
if ! command -v zstd >/dev/null && ! command -v xz >/dev/null && ! command -v bzip3 >/dev/null &&
   ! command -v 7zz >/dev/null && ! command -v 7z >/dev/null && ! command -v zpaq >/dev/null; then
  [ $failures -eq 0 ] || exit 1
  skip "no peer compressor installed (xz, zstd, bzip3, 7-Zip or zpaq); the quick report was not run"
fi
out=$work/quick
if expect 0 "wrote .*benchmarks.md" "quick report" -- --quick "$corpus" "$out"; then
  page=$out/benchmarks.md
  # the smallest class, TAQ -m0 and one peer, each round trip checked
  grep -q '^### bin$' "$page" || fail "quick report: not on the smallest class"
  ! grep -q '^### docs$' "$page" || fail "quick report: more than one class"
  [ "$(grep -c ' ok |$' "$page")" -eq 2 ] || fail "quick report: not two rows that went round"
  [ "$(wc -l <"$out/benchmarks/results.tsv")" -eq 5 ] || fail "quick report: not four measurements in the TSV"
  for svg in bpb-speed-bin.svg bpb-speed-all.svg; do
    grep -q '<svg' "$out/benchmarks/$svg" 2>/dev/null || fail "quick report: no plot $svg"
    grep -q "benchmarks/$svg" "$page" || fail "quick report: $svg not on the page"
  done
  grep -q 'Processor: .*cores; memory' "$page" || fail "quick report: the machine is not named"
  # --render makes the same page and plots again from what the run kept.
  cp -r "$out" "$work/kept"
  rm "$out/benchmarks.md" "$out"/benchmarks/*.svg
  if expect 0 "wrote .*benchmarks.md" "render" -- --render "$out"; then
    diff -r "$work/kept" "$out" >/dev/null || fail "render: not the same page and plots"
  fi
fi

[ $failures -eq 0 ] && echo "bench/report.sh: all checks passed"
[ $failures -eq 0 ]
