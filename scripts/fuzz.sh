#!/usr/bin/env bash
# Runs one fuzz target for SECONDS from its seeds: scripts/fuzz.sh TARGET
# SECONDS [BUILD_DIR] [extra libFuzzer flags...]. BUILD_DIR (default
# build-sanitize) must be configured with -DTAQ_FUZZ=ON. New inputs go to
# BUILD_DIR/fuzz-corpus/TARGET, crashes to BUILD_DIR/fuzz-artifacts/TARGET/.
# Exits non-zero when the fuzzer found a fault.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
target="$1"
seconds="$2"
build="${3:-$root/build-sanitize}"
# Absolute: the extract target works in a scratch folder of its own.
build="$(cd "$build" && pwd)"
shift $(( $# < 3 ? $# : 3 ))
fuzz="$root/fuzz"
vectors="$root/tests/data/vectors/archives"
case "$target" in
  archive|decode|extract|api) seeds="$vectors"; dict="$fuzz/dict/archive.dict"; max_len=20000 ;;
  transforms) seeds="$fuzz/seeds/transforms"; dict=""; max_len=65536 ;;
  cli) seeds="$fuzz/seeds/cli"; dict="$fuzz/dict/cli.dict"; max_len=1024 ;;
  roundtrip) seeds="$fuzz/seeds/roundtrip"; dict="$fuzz/dict/roundtrip.dict"; max_len=16384 ;;
  sealed) seeds="$fuzz/seeds/sealed"; dict=""; max_len=8192 ;;
  *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac
corpus="$build/fuzz-corpus/$target"
artifacts="$build/fuzz-artifacts/$target"
mkdir -p "$corpus" "$artifacts"
regressions="$fuzz/regressions/$target"
[ -d "$regressions" ] || regressions=""
exec "$build/fuzz/fuzz_$target" ${dict:+-dict="$dict"} -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" \
  "$corpus" "$seeds" ${regressions:+"$regressions"}
