# Every way of reporting against every way out of a run: the exit status, whether a report was
# written, and what is left behind (never the tombstone; the fake cpuset released with its task
# back in the root's list, by the run or, after SIGKILL or a long stop, by its guardian; the
# terminal's settings and screen; no process of ours).
# Each run happens in a private mount namespace with its own /tmp and a fake cpuset tree.
# A second table sends every other signal whose default action ends a process to the two
# dashboards, which hold the terminal as well as the machine.
source "$(dirname "$0")/lib.bash"
need_root
shopt -s extglob  # the table below names a list of signals as one pattern
# The runs replace /tmp; a checkout under /tmp keeps its helper next to the binary's copy.
FREEZE=$(realpath "$(dirname "$0")/freeze_thread.py")
if [ -n "${BIN_COPY:-}" ]; then cp "$FREEZE" "$BIN_COPY/" && FREEZE=$BIN_COPY/freeze_thread.py; fi
need_command tmux tmux  # a real terminal

# The inner script of one case: it runs in the namespace, logs to fd 3 (opened before /tmp is
# replaced) and writes the binary's output to fd 4 and its errors to fd 5.
#   $1 = environment words, $2 = arguments, $3 = redirections of the binary, $4 = a command the
#   binary runs under (optional), $5 = "jobs" for a shell with job control, as at a prompt: the run
#   is a job of its own, and a run that stops gives the script back (status 147 to 150), which
#   logs whether the machine is whole while it is stopped and then brings it back with fg.
inner() {
  cat <<INNER
exec 3>>"$LOG" 4>"$OUT" 5>"$ERR"
ulimit -c 0
mount -t tmpfs tmpfs /tmp || exit 90
[ "\$PWD" -ef . ] 2>/dev/null || cd /
$FAKE_CPUSET
echo before=\$(stty -g 2>/dev/null) >&3
${5:+set -m}
( echo pid=\$BASHPID >&3; exec ${4:-} env --default-signal=INT,QUIT,TSTP $1 "$BIN" $2 $3 )
status=\$?
if [ "${5:-}" = jobs ] && [ \$status -ge 147 ] && [ \$status -le 150 ]; then
  echo stopped=\$status >&3
  sleep 3  # the guardian's grace is 2 s
  echo released_while_stopped=\$($RELEASED && echo yes || echo no) >&3
  fg >/dev/null  # its terminal is standard error, which stays
  status=\$?
fi
echo status=\$status >&3
echo after=\$(stty -g 2>/dev/null) >&3
# A guardian gives the machine back within a second of its run's death, a child whose
# supervisor was killed cleans up on its own: both get up to 2 s on a busy machine.
for i in \$(seq 40); do $RELEASED && [ ! -e /tmp/.tallyfox_tombstone ] && break; sleep 0.05; done
kill \$(jobs -p) 2>/dev/null
echo tombstone=\$([ -e /tmp/.tallyfox_tombstone ] && echo yes || echo no) >&3
echo released=\$($RELEASED && echo yes || echo no) >&3
echo done >&3
INNER
}
field() { sed -n "s/^$1=//p" "$LOG" | head -1; }
wait_log() {  # wait_log KEY [TENTHS]
  local i
  for ((i = 0; i < ${2:-300}; i++)); do grep -q "^$1" "$LOG" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# More signals whose default action ends the process (Ctrl-\ among them): each must run the
# cleanup and then end the process by itself, like SIGTERM.
NEW_SIGNALS="quit|abrt|bus|fpe|ill|xcpu|sys"

# way-out table: arguments, environment, what is sent, expected status, report expected, leaves
FULL="--full --quiesce isolate --cpus 1 --seconds 0.5 --subtests int_scalar"
case_args() {
  case $1 in
    normal|usr1|int|term|hup|kill|stop|tstp|@($NEW_SIGNALS)) echo "$FULL" ;;
    childkill) echo "$FULL --seconds 1" ;;
    watchdog) echo "--probe" ;;
    empty) echo "--full --cpus 7" ;;
    refused) echo "--full" ;;
  esac
}
expected_status() {
  case $1 in
    normal|usr1|stop|tstp) echo "0|2" ;;
    int|term|hup|kill|@($NEW_SIGNALS)) echo $((128 + $(kill -l "${1^^}"))) ;;
    watchdog|empty|refused) echo 1 ;;
  esac
}

sup_wait() {  # sup_wait SESSION PATTERN: gives up after 30 s, showing the pane and the run
  local i
  for ((i = 0; i < 300; i++)); do tm capture-pane -p -t "$1" | grep -Eq -- "$2" && return 0; sleep 0.1; done
  {
    echo "--- pane $1 while waiting for: $2"
    tm capture-pane -p -t "$1"
    echo "--- the pane's processes:"
    describe_tree "$(tm display -p -t "$1" '#{pane_pid}')"
  } >&2
  return 1
}
gone() {  # gone PID...: every one has ended (a child given SIGTERM gets 3 s to clean up)
  local p i
  for p in "$@"; do
    for ((i = 0; i < 30; i++)); do kill -0 "$p" 2>/dev/null || continue 2; sleep 0.1; done
    return 1
  done
}

run_case() {  # run_case MODE WAY
  local mode=$1 way=$2 args env="TFX_CLI_CONSENT=1" pid under= fails_before=$FAILS
  args=$(case_args "$way")
  # The main thread hangs from 0.4 s to 4.9 s, past the deadline; the watchdog thread must end
  # the run. The freezer runs the binary as its child, so it may trace it on any machine.
  [ "$way" = watchdog ] && under="$PYTHON $FREEZE 0.4 4.5"
  [ "$way" = refused ] && env="TFX_UNUSED=1"
  local jobs=
  [ "$way" = stop ] || [ "$way" = tstp ] && jobs=jobs
  case $mode in
    text) ;;
    json) args="$args --json" ;;
    dash) args="$args --ui"; env="$env TFX_DASH_CHILD=1" ;;
    sup) args="$args --ui" ;;
  esac
  LOG=$WORK/$mode-$way.log OUT=$WORK/$mode-$way.out ERR=$WORK/$mode-$way.err
  : >"$LOG"
  if [ "$mode" = dash ] || [ "$mode" = sup ]; then
    # The dashboard draws on the pane's terminal and reads its keys there. Ctrl-C reaches the
    # whole foreground group; the shells around the run ignore it (the program sets its own).
    inner "$env" "$args" "2>&5" "$under" "$jobs" >"$WORK/$mode-$way.sh"
    echo 'sleep 60' >>"$WORK/$mode-$way.sh"
    tm new-session -d -s "$mode-$way" -x 100 -y 36 \
      "trap '' INT QUIT TSTP; exec unshare --mount --propagation private bash $WORK/$mode-$way.sh" ||
      { fail "$mode/$way: tmux could not open the pane"; return; }
  else
    unshare --mount --propagation private bash -c "$(inner "$env" "$args" ">&4 2>&5 </dev/null" "$under" "$jobs")" &
  fi
  wait_log pid= || { fail "$mode/$way: did not start"; return; }
  pid=$(field pid)
  # The refusals end at once and prove themselves by their messages; every other case must be
  # seen running the binary.
  case $way in empty|refused) ;; *) check "$mode/$way: the binary runs" runs_bin "$pid" ;; esac
  # A signal must meet a run that holds the machine: it tests the release, not an early end.
  [[ $(case_args "$way") == *"--quiesce isolate"* ]] && check "$mode/$way: the run isolates" isolated "$pid" 999991
  if [ "$mode" = sup ]; then
    supervise "$way" "$pid"
  else
    case $way in
    usr1|int|term|hup|kill|stop|@($NEW_SIGNALS))
      sleep 1.5
      kill -"${way^^}" "$pid" 2>/dev/null ;;
    tstp)  # Ctrl-Z where there is a terminal
      sleep 1.5
      if [ "$mode" = dash ]; then tm send-keys -t "$mode-$way" C-z; else kill -TSTP "$pid" 2>/dev/null; fi ;;
      refused)  # on a terminal the gate asks; the answer is no
        [ "$mode" = dash ] && sup_wait "$mode-$way" 'Start\? \[y/N\]' && tm send-keys -t "$mode-$way" n Enter ;;
    esac
  fi
  wait_log done 600 || fail "$mode/$way: did not end"
  local status report=no
  status=$(field status)
  case $mode in
    json) jq -se '.[-1].event == "result"' "$OUT" >/dev/null 2>&1 && report=yes ;;
    text) grep -Eq '^tallyfox (full|probe) verdict=' "$OUT" && report=yes ;;
    dash) tm capture-pane -p -S -200 -t "$mode-$way" | grep -Eq '^(full|probe): [0-9]+ subtests, verdict ' && report=yes ;;
    sup) tm capture-pane -p -S -200 -t "$mode-$way" | grep -Eq '^tallyfox (full|probe): verdict ' && report=yes ;;
  esac
  if [ "$mode" = sup ]; then
    check "$mode/$way: status $status" grep -Eqx "$(sup_status "$way")" <<<"$status"
  else
    check "$mode/$way: status $status" grep -Eqx "$(expected_status "$way")" <<<"$status"
  fi
  case $way in
    normal|usr1|stop|tstp)
      check "$mode/$way: a report" [ $report = yes ]
      if [ $report = no ]; then
        echo "--- $mode/$way: its screen or output" >&2
        { [ "$mode" = dash ] || [ "$mode" = sup ]; } && tm capture-pane -p -S -60 -t "$mode-$way" >&2
        tail -c 2000 "$OUT" >&2
      fi ;;
    *) check "$mode/$way: no report" [ $report = no ] ;;
  esac
  # Released: the moved task is back in the root's list (which the fake kernel emptied when the
  # run moved it) and the rest cpuset is gone. After SIGKILL the guardian did it.
  check "$mode/$way: tombstone gone, tasks back, cpuset removed" [ "$(field tombstone)$(field released)" = noyes ]
  if [ "$way" = stop ] || [ "$way" = tstp ]; then
    check "$mode/$way: stopped, and the machine released while it was" \
      [ "$(field released_while_stopped)" = yes ]
    local said
    case $mode in
      json) said=$(jq -r 'select(.event == "result") | .verdict_why' "$OUT" 2>/dev/null) ;;
      text) said=$(cat "$OUT") ;;
      *) said=$(tm capture-pane -p -J -S -200 -t "$mode-$way" 2>/dev/null) ;;
    esac
    check "$mode/$way: the report says the run was suspended" grep -q "suspended" <<<"$said"
  fi
  # Nothing can restore the terminal of a process killed outright. A SIGSTOP cannot be caught
  # either: the shell that takes the terminal back keeps the raw modes it found as its own (an
  # interactive shell sets its own), so only the cursor is looked at then.
  if [ "$mode" = dash ] || [ "$mode" = sup ] && [ "$way" != kill ]; then
    [ "$way" = stop ] || check "$mode/$way: terminal settings restored" [ "$(field before)" = "$(field after)" ]
    check "$mode/$way: cursor shown" [ "$(tm display -p -t "$mode-$way" '#{cursor_flag}')" = 1 ]
  fi
  [ "$mode" = sup ] && tm capture-pane -p -S -50 -t "$mode-$way" >"$LOG.pane" 2>/dev/null
  [ "$mode" = dash ] || [ "$mode" = sup ] && tm kill-session -t "$mode-$way" 2>/dev/null
  check "$mode/$way: no process of ours left" gone "$pid" $CHILD
  [ "$way" = refused ] && check "$mode/$way: refusal message" grep -q 'full run not started' "$ERR"
  if [ "$FAILS" != "$fails_before" ]; then
    echo "--- $mode/$way: the case's log" >&2
    cat "$LOG" >&2
  fi
  if [ "$way" = empty ]; then
    if [ "$mode" = sup ]; then  # the child's message, repeated by the supervisor after it leaves
      check "$mode/$way: empty-set message" grep -q 'tallyfox: --cpus selected nothing' <<<"$(tm capture-pane -p -S -50 -t "$mode-$way" 2>/dev/null; cat "$LOG.pane" 2>/dev/null)"
    else
      check "$mode/$way: empty-set message" grep -qx 'tallyfox: --cpus selected nothing' "$ERR"
    fi
  fi
  return 0
}

# The supervisor's ways out are what a person does at its screen: q to stop, q to leave, Ctrl-C
# (which reaches the measuring child; the supervisor ignores it), n at the prompt, or a signal to
# the supervisor itself. Killed outright, it takes its child with it, and the child cleans up.
supervise() {  # supervise WAY SUPERVISOR_PID
  local way=$1 sup=$2 i
  CHILD=
  if [ "$way" = refused ]; then
    sup_wait "sup-$way" 'Start\? \[y/N\]' && tm send-keys -t "sup-$way" n Enter
    return
  fi
  for ((i = 0; i < 100; i++)); do
    CHILD=$(pgrep -P "$sup" | head -1)
    [ -n "$CHILD" ] && break
    sleep 0.05
  done
  case $way in
    normal) sup_wait "sup-$way" ' q  quit ' ;;
    usr1) sleep 1.5; tm send-keys -t "sup-$way" q; sup_wait "sup-$way" ' q  quit ' ;;
    int) sleep 1.5; tm send-keys -t "sup-$way" C-c; sup_wait "sup-$way" 'The run ended without a result \(exit 128\)' ;;
    # Ctrl-\ reaches the whole foreground group, the measuring child included.
    quit) sleep 1.5; tm send-keys -t "sup-$way" 'C-\'; return ;;
    # Ctrl-Z stops both; fg brings them back, the child ends its run, the result shows.
    tstp) sleep 1.5; tm send-keys -t "sup-$way" C-z; wait_log released_while_stopped 100; sup_wait "sup-$way" ' q  quit ' ;;
    # The measuring child killed outright: its guardian gives the machine back.
    childkill) sleep 1.5; kill -KILL "$CHILD"; sup_wait "sup-$way" 'The run ended without a result' ;;
    term|hup|kill|@($NEW_SIGNALS)) sleep 1.5; kill -"${way^^}" "$sup"; return ;;
    empty) sup_wait "sup-$way" 'The run ended without a result \(exit 1\)' ;;
  esac
  tm send-keys -t "sup-$way" q
}
sup_status() {
  case $1 in
    int|childkill) echo 128 ;; *) expected_status "$1" ;;
  esac
}

# FM_ONLY="sup/tstp json/kill" runs only those cases (while working on one).
only() { [ -z "${FM_ONLY:-}" ] || [[ " $FM_ONLY " == *" $1 "* ]]; }
for mode in text json dash sup; do
  for way in normal usr1 int term hup kill stop tstp childkill watchdog empty refused; do
    only "$mode/$way" || continue
    [ "$mode" = sup ] && [ "$way" = watchdog ] && continue
    # SIGSTOP cannot be caught, so a supervisor stopped by it cannot give the terminal back; the
    # other modes' stop rows cover the machine's side.
    [ "$mode" = sup ] && [ "$way" = stop ] && continue
    [ "$mode" != sup ] && [ "$way" = childkill ] && continue
    CHILD=
    run_case "$mode" "$way"
  done
done
for mode in dash sup; do
  for way in ${NEW_SIGNALS//|/ }; do
    only "$mode/$way" || continue
    CHILD=
    run_case "$mode" "$way"
  done
done

finish
