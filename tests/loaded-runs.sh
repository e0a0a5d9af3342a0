#!/usr/bin/env bash
# Runs the whole test suite again and again on a loaded machine, to show that no test hangs on
# timing a slow scheduler stretches: LOADED runs in a row at -j 4 with BUSY loops on every core,
# then PAIR runs in a row at -j 2 on two cores only. No retries: one failure fails the script.
# Reports runs, failures and the slowest test programs, and checks that the temporary directory
# ($TMPDIR, else /tmp) and the machine's lock directory have no new entries and that no process a
# test started is left.
# Usage: tests/loaded-runs.sh [-n LOADED] [-m PAIR] [-b BUSY] [-c CPULIST] [-j JOBS] [BUILD_DIR]
#   -n  runs under load (5)    -m  runs on two cores (10)    -j  ctest jobs under load (4)
#   -b  busy loops on each core during the runs under load (1); 2 makes a machine twice as slow
#   -c  cores to use, e.g. 6,7 or 4-7 (all): the busy loops and every ctest stay on them, and the
#       two-core runs take the first two. Set TMPDIR to a directory of your own on a shared host.
set -uo pipefail
cd "$(dirname "$0")/.."

loaded=5
pair=10
jobs=4
busy_per_core=1
cpus=""
while getopts "n:m:b:c:j:" opt; do
  case $opt in
    n) loaded=$OPTARG ;;
    m) pair=$OPTARG ;;
    c) cpus=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) busy_per_core=$OPTARG ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=${1:-build}
[[ $busy_per_core =~ ^[0-9]+$ ]] && [ "$busy_per_core" -le 16 ] ||
  { echo "-b takes 0 to 16 busy loops per core, got $busy_per_core" >&2; exit 2; }
[ -f "$build/CTestTestfile.cmake" ] || { echo "no test build in $build (build it first)" >&2; exit 2; }

# The cores as a list of numbers.
cores=()
if [ -z "$cpus" ]; then
  for ((i = 0; i < $(nproc); ++i)); do cores+=("$i"); done
  cpus="0-$(($(nproc) - 1))"
else
  IFS=, read -ra parts <<< "$cpus"
  for p in "${parts[@]}"; do
    if [[ $p == *-* ]]; then for ((i = ${p%-*}; i <= ${p#*-}; ++i)); do cores+=("$i"); done
    else cores+=("$p"); fi
  done
fi
[ ${#cores[@]} -ge 2 ] || { echo "need at least two cores, got $cpus" >&2; exit 2; }
two="${cores[0]},${cores[1]}"

tmp=${TMPDIR:-/tmp}
# GoogleTest's TempDir() follows TEST_TMPDIR, not TMPDIR.
export TMPDIR=$tmp TEST_TMPDIR=$tmp
# Every process a test starts inherits this mark: what still carries it afterwards was left behind.
mark="TAPGATE_LOADED_RUN=$$.$RANDOM"
export "${mark%%=*}=${mark#*=}"

logs="$build/loaded-runs"
rm -rf "$logs"
mkdir -p "$logs"

busy=()
ctest_pid=""
stop_busy() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null; done
  busy=()
}

leftover_processes() {
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if grep -qxzF "$mark" "$env" 2>/dev/null; then
      # The subshells of this script carry the mark too; only processes of the tests count.
      ppid=$(awk '{print $4}' "/proc/$pid/stat" 2>/dev/null)
      [ "$ppid" = $$ ] && continue
      echo "$pid $(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null)"
    fi
  done
}

end_leftovers() {
  for pid in $(leftover_processes | cut -d' ' -f1); do kill -KILL "$pid" 2>/dev/null; done
}

# A background command of a script ignores SIGINT, so ctest is stopped with SIGTERM; what the
# tests it stopped had started goes by its pid.
interrupted() {
  if [ -n "$ctest_pid" ]; then
    kill -TERM "$ctest_pid" 2>/dev/null
    wait "$ctest_pid" 2>/dev/null
  fi
  stop_busy
  end_leftovers
  exit 130
}
trap stop_busy EXIT
trap interrupted INT TERM

# The tests lock device names in directories of their own; a program they run removes its files.
locks=/run/lock
before=$(ls -A "$tmp" | sort)
locks_before=$(ls -A "$locks" 2>/dev/null | sort)
runs=0
failed_runs=0
problems=0

one_run() {  # label, cores, jobs
  local label=$1 on=$2 j=$3
  local log="$logs/$label.log"
  runs=$((runs + 1))
  local start=$SECONDS
  # In the background, so that an interrupt is handled at once.
  taskset -c "$on" ctest --test-dir "$build" --output-on-failure -j "$j" > "$log" 2>&1 &
  ctest_pid=$!
  wait "$ctest_pid"
  local rc=$?
  ctest_pid=""
  local failures
  failures=$(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$log" | grep -v ' Passed ' |
             sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | tr '\n' ' ')
  if [ $rc -ne 0 ] || [ -n "$failures" ]; then
    failed_runs=$((failed_runs + 1))
    echo "$label: FAILED ($((SECONDS - start)) s): ${failures:-ctest exit $rc}; see $log"
  else
    echo "$label: passed ($((SECONDS - start)) s)"
  fi
  local left
  left=$(leftover_processes)
  if [ -n "$left" ]; then
    problems=$((problems + 1))
    echo "$label: processes left behind (now ended):"
    echo "$left" | sed 's/^/    /'
    end_leftovers
  fi
}

echo "$loaded runs at -j $jobs with $busy_per_core busy loop(s) on each of cores $cpus, then $pair runs at -j 2 on cores $two"
echo "temporary directory $tmp, logs in $logs"
# None without runs under load: a loop killed the moment it was started has been seen to outlive
# the kill (the signal came before the exec), and the wait for it then never ended.
for core in "${cores[@]}"; do
  for ((k = 0; k < (loaded > 0 ? busy_per_core : 0); ++k)); do
    taskset -c "$core" sh -c 'while :; do :; done' &
    busy+=($!)
  done
done
for ((r = 1; r <= loaded; ++r)); do one_run "loaded-$r" "$cpus" "$jobs"; done
stop_busy
for ((r = 1; r <= pair; ++r)); do one_run "two-cores-$r" "$two" 2; done

after=$(ls -A "$tmp" | sort)
new=$(comm -13 <(echo "$before") <(echo "$after"))
if [ -n "$new" ]; then
  problems=$((problems + 1))
  echo "new entries in $tmp:"
  echo "$new" | sed 's/^/    /'
fi
new=$(comm -13 <(echo "$locks_before") <(ls -A "$locks" 2>/dev/null | sort))
if [ -n "$new" ]; then
  problems=$((problems + 1))
  echo "new entries in $locks:"
  echo "$new" | sed 's/^/    /'
fi

echo "slowest test programs (longest of all runs, seconds):"
grep -hE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$logs"/*.log |
  sed -E 's/.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec.*/\2 \1/' |
  sort -k2,2 -k1,1nr | awk '!seen[$2]++' | sort -nr | head -10 | sed 's/^/    /'
echo "runs: $runs, failed runs: $failed_runs, leftovers: $problems"
[ $failed_runs -eq 0 ] && [ $problems -eq 0 ]
