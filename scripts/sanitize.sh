#!/usr/bin/env bash
# The sanitizer pass of the tests: builds taq, every test and the fuzz
# targets with AddressSanitizer and UndefinedBehaviorSanitizer (clang) in
# ./build-sanitize, runs the whole test suite under them, then runs each
# fuzz target for TAQ_FUZZ_SECONDS (default 20) from its seeds, two at a
# time, so that a fault any fuzzer finds at once fails the run. Installs
# clang and libFuzzer's runtime when they are missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/scripts/ensure-tools.sh"
taq_ensure_tools
taq_ensure_fuzz_tools
build="$root/build-sanitize"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DTAQ_SANITIZE=address,undefined -DTAQ_FUZZ=ON -DTAQ_BUILD_TESTS=ON
cmake --build "$build" -j2
# Many tests wait on child processes: more than two at once keep both cores busy.
ctest --test-dir "$build" --output-on-failure -j4

seconds="${TAQ_FUZZ_SECONDS:-20}"
targets=(decode extract archive roundtrip transforms cli api sealed)
logs="$build/fuzz-logs"
rm -rf "$logs" "$build/fuzz-corpus"
mkdir -p "$logs"
fuzz_one() {
  "$root/scripts/fuzz.sh" "$1" "$seconds" "$build" >"$logs/$1.log" 2>&1
}
passed=0
failed=0
report() {
  local target="$1" status="$2" log="$logs/$1.log"
  local execs cov
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  cov="$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)"
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz_$target: ${execs:-?} runs in ${seconds}s, ${cov:-cov: ?}, no fault"
  else
    failed=$((failed + 1))
    echo "fuzz_$target: FAULT (exit $status); the input is in $build/fuzz-artifacts/$target/"
    tail -60 "$log"
  fi
}
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for t in "${targets[@]:i:2}"; do
    fuzz_one "$t" &
    pids+=($!)
  done
  j=0
  for t in "${targets[@]:i:2}"; do
    status=0
    wait "${pids[$j]}" || status=$?
    report "$t" "$status"
    j=$((j + 1))
  done
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
