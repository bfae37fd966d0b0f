#!/usr/bin/env bash
# Runs the test suite several times while every CPU is kept busy by ordinary processes, the way a
# shared machine looks when another build or benchmark runs beside CI. It finds the tests whose
# outcome depends on how busy the machine is. A tool for developers, not part of CI.
#
# Usage: tools/test-under-load.sh [-n PASSES] [-l LOADERS] [-R REGEX] [PRESET ...]
#   -n  passes of each preset (default 3)
#   -l  busy processes beside the suite (default: one per CPU)
#   -R  only the tests whose name matches REGEX (as ctest -R)
#   PRESET  test presets to run (default: ci asan)
# Each pass prints the tests that failed; the status is 0 only when every pass of every preset
# passed. The load runs at normal priority (nice 0, SCHED_OTHER) and is stopped on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

passes=3
loaders=$(nproc)
regex=
while getopts 'n:l:R:' opt; do
  case $opt in
    n) passes=$OPTARG ;;
    l) loaders=$OPTARG ;;
    R) regex=$OPTARG ;;
    *) sed -n '6,10s/^# \{0,1\}//p' "$0" >&2; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(ci asan)
case $passes$loaders in *[!0-9]* | "") echo "$(basename "$0"): -n and -l take whole numbers" >&2; exit 1 ;; esac
[ "$passes" -ge 1 ] || { echo "$(basename "$0"): -n takes at least 1" >&2; exit 1; }

# The load: busy shells, each the leader of its own process group, so stopping it stops all. Each
# also ends by itself once this script is gone (killed outright, it runs no trap).
load_pids=()
stop_load() {
  local p
  for p in "${load_pids[@]}"; do kill -- "-$p" 2>/dev/null || true; done
  for p in "${load_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  load_pids=()
}
# A pass runs as a job of its own process group, waited for in the background, so that a signal
# to this script is handled at once and stops the pass (ctest ends its tests on SIGTERM).
pass_pid=
stop_all() {
  [ -z "$pass_pid" ] || kill -TERM -- "-$pass_pid" 2>/dev/null || true
  [ -z "$pass_pid" ] || wait "$pass_pid" 2>/dev/null || true
  stop_load
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev liblz4-dev \
  jq tmux util-linux procps coreutils python3 python3-jsonschema
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

set -m
for ((i = 0; i < loaders; i++)); do
  bash -c 'while kill -0 "$1" 2>/dev/null; do for _ in {1..100000}; do :; done; done' _ $$ &
  load_pids+=($!)
done
set +m
echo "load: $loaders busy processes on $(nproc) CPUs (pids ${load_pids[*]})"

failed=0
for ((pass = 1; pass <= passes; pass++)); do
  for preset in "${presets[@]}"; do
    start=$SECONDS
    status=0
    log=build/$preset/Testing/Temporary/LastTest.log
    set -m
    clean_run ctest --preset "$preset" ${regex:+-R "$regex"} >"build/$preset/under-load.out" 2>&1 &
    pass_pid=$!
    set +m
    wait "$pass_pid" || status=$?
    pass_pid=
    took=$((SECONDS - start))
    summary=$(grep -E '^[0-9]+% tests passed' "build/$preset/under-load.out" || echo "no ctest summary")
    echo "pass $pass, $preset: status $status in ${took}s: $summary"
    if [ "$status" != 0 ]; then
      failed=1
      sed -n '/The following tests FAILED:/,$p' "build/$preset/under-load.out" | grep -E '^\s+[0-9]+ - ' || true
      # What each failing check said, as the suite printed it on failure.
      grep -E '^(FAIL: |.*Failure$|Expected|  Actual|Which is|Value of:|.*processes left running)' \
        "build/$preset/under-load.out" | head -40 | sed 's/^/    /' || true
      cp "build/$preset/under-load.out" "build/$preset/under-load.pass$pass.out"
      [ -f "$log" ] && cp "$log" "build/$preset/under-load.pass$pass.log"
      echo "    (whole output: build/$preset/under-load.pass$pass.out)"
    fi
  done
done
stop_load
exit $failed
