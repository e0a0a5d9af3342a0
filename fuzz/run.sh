#!/usr/bin/env bash
# Runs every libFuzzer target of a TAPGATE_FUZZ build for a bounded time, several at once, each
# starting from its corpus in fuzz/corpus/<name> (copied, so the repository stays as it is).
# Fails when any target reports a crash, a leak, a sanitizer finding, a time-out or running out
# of memory; the input that did it is left under <build>/fuzz-findings/<name>/ and shown in hex.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS_EACH] [PARALLEL_JOBS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory of a -DTAPGATE_FUZZ=ON build}
seconds=${2:-30}
jobs=${3:-4}
shift $(( $# < 3 ? $# : 3 ))

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/targets/*Fuzz.cpp; do
    name=$(basename "$f" .cpp)
    targets+=("${name%Fuzz}")
  done
fi

work="$build/fuzz-work"
findings="$build/fuzz-findings"
mkdir -p "$work" "$findings"

run_one() {
  local name=$1
  local exe="$build/fuzz/fuzz_$name"
  local corpus="$work/$name"
  # Only this target's own leftovers go: another run may be using the same build.
  rm -rf "$corpus" "$findings/$name" "$work/$name.log" "$work/$name.rc"
  mkdir -p "$corpus" "$findings/$name"
  if [ ! -x "$exe" ]; then
    echo "fuzz $name: no program $exe" > "$work/$name.log"
    echo 1 > "$work/$name.rc"
    return
  fi
  cp -r "fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/$name/" "$corpus" > "$work/$name.log" 2>&1
  echo $? > "$work/$name.rc"
}

for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n || true
  done
  run_one "$name" &
done
wait

passed=0
failed=0
for name in "${targets[@]}"; do
  if [ "$(cat "$work/$name.rc" 2>/dev/null)" = 0 ]; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$')
    echo "fuzz $name: clean after ${runs:-?} runs in ${seconds}s"
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "fuzz $name: FAILED"
    tail -n 60 "$work/$name.log"
    for input in "$findings/$name"/*; do
      [ -f "$input" ] || continue
      echo "input $input:"
      od -An -tx1 -v "$input" | head -n 40
    done
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
