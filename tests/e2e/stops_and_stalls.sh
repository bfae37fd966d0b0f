# Readers that stop reading or read slowly, and stops that come before the run has begun: the
# run still ends in time, restores the machine, loses no event and reports.
source "$(dirname "$0")/lib.bash"
need_root
export BIN
export -f ns
TS=/tmp/.tallyfox_tombstone
LEFT_BEHIND="[ -e /tmp/cs/tallyfox_rest ] && echo REST-LEFT; [ -e /tmp/cs ] && ! grep -qx 999991 /tmp/cs/tasks &&
  echo TASKS-LEFT-OUT; [ -e $TS ] && echo TOMBSTONE-LEFT"

# Fills the FIFO at $1 (held open for reading elsewhere) until a write would block.
fill_pipe() {
  "$PYTHON" -c '
import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK)
for size in (4096, 1):
    try:
        while True:
            os.write(fd, b"x" * size)
    except BlockingIOError:
        pass' "$1"
}

# ends RUNNER PID SECONDS: waits for the subshell RUNNER; a run still alive after SECONDS is a
# hang, and its binary PID is killed so the script goes on.
ends() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do kill -0 "$1" 2>/dev/null || { wait "$1"; return 0; }; sleep 0.1; done
  kill -KILL "$2" 2>/dev/null
  wait "$1"
  return 1
}

# --- standard output into a pipe nobody reads, already full: the first write blocks for good.
# The watchdog must still end a probe 0.5 s after its deadline (status 1), and a fatal signal must
# still end a run, in both cases with the tombstone gone and the fake cpuset released. A second
# signal 0.1 s after the first lands while the cleanup waits on the stalled terminal restore; it
# must not cut the cleanup short (whichever of the two ends the process).
# name; variable holding the setup; signals sent after 1 s (- for none); expected status; arguments
while IFS=';' read -r name setup sig want args; do
  rm -f "$WORK/fifo"
  mkfifo "$WORK/fifo"
  exec 7<>"$WORK/fifo"
  fill_pipe "$WORK/fifo"
  # shellcheck disable=SC2086
  ( TFX_CLI_CONSENT=1 AFTER="$LEFT_BEHIND" ns "${setup:+${!setup}}" $args </dev/null >&7 2>"$WORK/stall.err"
    echo $? >"$WORK/stall.status" ) &
  runner=$!
  pid=$(started $runner)
  found "$pid" "stalled $name"
  [ -n "$setup" ] && check "stalled $name: the run isolates" isolated "$pid" 999991
  if [ "$sig" != - ]; then
    sleep 1
    for s in $sig; do kill -"$s" "$pid"; sleep 0.1; done
  fi
  check "stalled $name: ends" ends $runner "$pid" 15
  exec 7>&-
  check "stalled $name: status $want (got $(cat "$WORK/stall.status"))" grep -Eqx "$want" "$WORK/stall.status"
  check "stalled $name: tombstone gone, cpuset released" bash -c "! grep -q LEFT '$WORK/stall.err'"
done <<'TABLE'
json probe;;-;1;--probe --json
dashboard probe;;-;1;--probe --ui
text probe;;-;1;--probe
dashboard SIGTERM;FAKE_CPUSET;TERM;143;--full --ui --quiesce isolate --cpus 1 --seconds 1 --subtests int_scalar
dashboard SIGTERM, SIGINT;FAKE_CPUSET;TERM INT;130|143;--full --ui --quiesce isolate --cpus 1 --seconds 1 --subtests int_scalar
TABLE

# --- a reader slower than the run: the writer waits in write, where every SIGUSR1 lands (the
# first stops the run, the rest keep coming until it ends). The reader holds back until the
# writer is seen waiting and a second of signals has passed. An interrupted write must go on, so
# no event and no byte of the dashboard's last frame and summary is lost.
blocked_in_write() {  # the main thread of PID waits in a write to its pipe
  local i
  for ((i = 0; i < 400; i++)); do
    [[ $(cat "/proc/$1/wchan" 2>/dev/null) == *pipe_write ]] && return 0
    sleep 0.05
  done
  return 1
}
# --- an isolated run whose reader stops reading: the machine is given back within seconds of the
# stall, long before the deadline, while the run waits in its write; read again, the run ends as
# if stopped and says why.
rm -f "$WORK/fifo"
mkfifo "$WORK/fifo"
exec 7<>"$WORK/fifo"
fill_pipe "$WORK/fifo"
( TFX_CLI_CONSENT=1 ns "$FAKE_CPUSET" --full --json --quiesce isolate --cpus 1 --seconds 1 --subtests int_scalar \
    </dev/null >&7 2>"$WORK/held.err"; echo $? >"$WORK/held.status" ) &
runner=$!
pid=$(started $runner)
found "$pid" "stalled isolated run"
check "stalled isolated run: the run isolates" isolated "$pid" 999991
released_while_blocked() {  # the task is back in the root, the cpuset gone, the run still waiting
  local i root=/proc/$pid/root/tmp/cs
  for ((i = 0; i < 150; i++)); do
    [[ $(cat "/proc/$pid/wchan" 2>/dev/null) == *pipe_write ]] && grep -qx 999991 "$root/tasks" 2>/dev/null && [ -d "$root" ] &&
      [ ! -e "$root/tallyfox_rest" ] && return 0
    sleep 0.1
  done
  return 1
}
check "stalled isolated run: released while it waits for the reader" released_while_blocked
cat <&7 >"$WORK/held.out" &
reader=$!
check "stalled isolated run: ends once read" ends $runner "$pid" 30
kill $reader 2>/dev/null
wait $reader 2>/dev/null
exec 7>&-
check "stalled isolated run: status 0 or 2" grep -Eqx '0|2' "$WORK/held.status"
check "stalled isolated run: its result says the output stalled" \
  bash -c "tail -n 1 '$WORK/held.out' | jq -e '.event == \"result\" and (.verdict_why | contains(\"output stalled\"))'"

for mode in json ui; do
  rm -f "$WORK/go"
  ( TFX_CLI_CONSENT=1 "$PYTHON" "$(dirname "$0")/slow_reader.py" "$WORK/slow.$mode" "$WORK/go" -- \
      bash -c 'ns "" "$@"' ns --full --$mode --quiesce none --seconds 0.02 \
      </dev/null 2>"$WORK/slow.err"; echo $? >"$WORK/slow.status" ) &
  runner=$!
  pid=$(started $runner)
  found "$pid" "slow $mode"
  check "slow $mode: the run waits for the reader" blocked_in_write "$pid"
  ( while kill -USR1 "$pid" 2>/dev/null; do sleep 0.05; done ) &
  signals=$!
  sleep 1
  touch "$WORK/go"
  check "slow $mode: ends" ends $runner "$pid" 60
  wait $signals
  check "slow $mode: status 0 or 2" grep -Eqx '0|2' "$WORK/slow.status"
  if [ $mode = json ]; then
    check "slow json: every line is JSON" all_json "$WORK/slow.json"
    # One round event per completed round, and before each of them one subtest event for each of
    # the result's subtests, in the same order.
    check "slow json: start first, result last, no subtest or round event lost" jq -se '
      (.[0].event == "start") and (.[-1].event == "result") and
      .[-1].convergence.rounds as $r | [.[-1].subtests[].name] as $names | ($names | length) as $n |
      ([.[] | select(.event == "round")] | length) == $r and $n > 0 and
      ([foreach .[] as $e (0; if $e.event == "round" then . + 1 else . end; [., $e])]
        | map(select(.[1].event == "subtest" and .[0] < $r)) | map(.[1].name)) == [range($r) | $names[]]' "$WORK/slow.json"
  else
    n=$(sed -n 's/^full: \([0-9]*\) subtests, verdict .*/\1/p' "$WORK/slow.ui")
    check "slow ui: the terminal restore, then the summary" grep -aqzP '\e\[\?25h\e\[0m\n\nfull: [0-9]+ subtests, verdict ' "$WORK/slow.ui"
    check "slow ui: a summary line for each of the $n subtests" \
      [ "$(grep -acE '^  [a-z0-9_]+ +[a-z0-9_]+ +ST +[0-9.]+ ' "$WORK/slow.ui")" = "${n:-none}" ]
  fi
done

# --- a stop before the program has read the machine: a dashboard's child starts with SIGUSR1
# blocked, so a q pressed at once is already pending when the program begins. It must stop the
# run before the first round and still report.
PENDING_STOP='import os, signal, sys
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
os.kill(os.getpid(), signal.SIGUSR1)
os.execv(sys.argv[1], sys.argv[1:])'
TFX_CLI_CONSENT=1 BIN=$PYTHON ns '' -c "$PENDING_STOP" "$BIN" --full --json --quiesce none --seconds 0.05 \
  --subtests int_scalar </dev/null >"$WORK/early" 2>"$WORK/early.err"
check "early stop: status 0 or 2" grep -Eqx '0|2' <<<"$?"
check "early stop: a result, with nothing measured" jq -se '.[-1].event == "result" and .[-1].subtests == []' "$WORK/early"

finish
