# The terminal dashboard as a person uses it, in a tmux pane of 120 × 40: the consent prompt, the
# live screen, the stop and leave keys, the theme key, a child that dies, and the terminal and
# process table after every way out.
source "$(dirname "$0")/lib.bash"
need_root
need_command tmux tmux  # a real terminal

SOCKET=tfx-e2e-$$
TMUX_CMD=(tmux -S "$WORK/tmux.sock" -f "$TMUX_CONF")  # lib.bash's server, which its cleanup stops

# Runs in the pane, inside its own mount namespace: the working directory keeps the case's
# directory reachable after the private tmpfs hides the real /tmp.
cat >"$WORK/case.sh" <<'EOF'
cd "$1" || exit 91
shift
mount -t tmpfs tmpfs /tmp || exit 90
unset TFX_CLI_CONSENT TFX_DASH_CHILD
stty -g >stty.before
"$@"
echo "$?" >status
stty -g >stty.after
echo "== case done =="
exec sleep 600
EOF

CASE=
PANE=
# start NAME ARGS...: the binary with ARGS in a fresh 120 × 40 pane.
start() {
  CASE=$WORK/$1
  SUPERVISOR=
  CHILD=
  shift
  mkdir -p "$CASE"
  PANE=$SOCKET-$(basename "$CASE")
  "${TMUX_CMD[@]}" new-session -d -s "$PANE" -x 120 -y 40 \
    "unshare --mount --propagation private bash $WORK/case.sh $CASE $BIN $*" ||
    fail "$(basename "$CASE"): tmux could not open the pane"
}
screen() { "${TMUX_CMD[@]}" capture-pane -p -t "$PANE" "$@"; }
keys() { "${TMUX_CMD[@]}" send-keys -t "$PANE" "$@"; }
pane_flag() { "${TMUX_CMD[@]}" display -p -t "$PANE" "#{$1}"; }
# wait_for PATTERN [SECONDS]: until the pane shows the extended regular expression; gives up
# early once the case has ended without showing it.
wait_for() {
  local deadline=$((SECONDS + ${2:-20})) ended=0
  while [ $SECONDS -lt $deadline ] && [ $ended -lt 2 ]; do
    screen | grep -Eq -- "$1" && return 0
    [ -e "$CASE/status" ] && ended=$((ended + 1))
    sleep 0.1
  done
  {
    echo "--- pane of $(basename "$CASE") while waiting for: $1"
    screen
    echo "--- the case's status: $(status || true); its processes:"
    describe_tree "$(pane_flag pane_pid)"
  } >&2
  return 1
}
finished() { wait_for '== case done ==' "${1:-30}"; }
status() { cat "$CASE/status" 2>/dev/null; }
# The supervisor (the binary the pane's shell started) and its measuring child.
SUPERVISOR=
CHILD=
# One letter: R, S, T (stopped), Z (zombie), ...; empty once the process is gone.
state_of() { sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null; }
# Only processes running this binary are taken, so a signal never goes to anything else.
child_running_bin() {
  local p
  for p in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
    [ "/proc/$p/exe" -ef "$BIN" ] && { echo "$p"; return 0; }
  done
  return 1
}
find_processes() {
  SUPERVISOR=$(child_running_bin "$(pane_flag pane_pid)") && CHILD=$(child_running_bin "$SUPERVISOR") &&
    return 0
  echo "--- $(basename "$CASE"): no supervisor and child running $BIN; the pane's processes:" >&2
  describe_tree "$(pane_flag pane_pid)" >&2
  return 1
}
# Neither process runs any more (an orphan that ended may stay a zombie until init reaps it).
none_left() {
  local p
  for p in $SUPERVISOR $CHILD; do
    case $(state_of "$p") in "" | Z) ;; *) return 1 ;; esac
  done
  return 0
}
# Stops the measuring child and waits until it is stopped.
hold_child() {
  [ -n "$CHILD" ] || return 1
  kill -STOP "$CHILD"
  for _ in $(seq 100); do
    [ "$(state_of "$CHILD")" = T ] && return 0
    sleep 0.02
  done
  return 1
}
terminal_restored() {
  [ "$(pane_flag alternate_on)" = 0 ] && [ "$(pane_flag cursor_flag)" = 1 ] &&
    [ -s "$CASE/stty.before" ] && cmp -s "$CASE/stty.before" "$CASE/stty.after"
}
close() { "${TMUX_CMD[@]}" kill-session -t "$PANE" 2>/dev/null; }

# --- no arguments: the prompt, y, the live full run, q to stop, the result, q to leave
start plain
check "no arguments: the consent prompt" wait_for 'Start\? \[y/N\]'
check "the prompt names the real-time priority" wait_for 'workers run at real-time priority'
keys y Enter
check "the live screen: title bar" wait_for 'TALLYFOX · CPU BENCHMARK .* · FULL '
check "the live screen: Machine and Subtests boxes" wait_for '╭ Machine .*╭ Subtests '
check "the live screen: measuring, with its spinner" wait_for '^ [⠋⠙⠹⠸⠼⠴⠦⠧] measuring · int_scalar base · single '
check "the live screen: the index comes after round 1" wait_for '│ The index comes after round 1\. '
check "the live screen: the round and at most the rounds' 5 minutes left" wait_for ' round 1 · at most ([0-4]m[0-5][0-9]s|5m00s) left$'
check "the live screen: no verdict before the result" bash -c '! grep -Eq "│ ◆ |CLEAN" <<<"$1"' _ "$(screen)"
check "the alternate screen is on while the dashboard runs" [ "$(pane_flag alternate_on)" = 1 ]
check "a measuring child runs under the supervisor" find_processes
check "the first table row fills in" wait_for '│ .{1,3}int_scalar +base +[0-9]+\.[0-9]' 30
# The child is held while the stop notice is looked at; it would otherwise end within a chunk.
check "the measuring child is held" hold_child
keys q
check "q asks the child to stop" wait_for 'Stopping at the next chunk; the result is still reported\.'
check "the legend offers to leave now" wait_for ' q  leave now '
[ -n "$CHILD" ] && kill -CONT "$CHILD"
check "the result with the verdict" wait_for '^ (CLEAN|CONTENDED|THROTTLED|UNTRUSTED|INDICATIVE) · [0-9]+ subtests in [0-9.]+ s' 30
check "the Trust box shows the verdict" wait_for '│ ◆ (CLEAN|CONTENDED|THROTTLED|UNTRUSTED|INDICATIVE) '
check "the legend says quit" wait_for ' q  quit '
keys q
check "leaving ends the run" finished
check "no arguments: status 0 or 2 (got $(status))" grep -Eqx '0|2' "$CASE/status"
check "the terminal is restored" terminal_restored
check "the summary names the verdict" wait_for '^tallyfox full: verdict (clean|contended|throttled|untrusted|indicative) — '
check "the summary lists int_scalar" wait_for '^  int_scalar +base +ST +[0-9.]+ Mops'
# At real-time priority a machine of 2 to 4 CPUs keeps one free: too few left for all-core phases.
[ "$(nproc)" -gt 4 ] ||
  check "the summary says why there are no all-core figures" wait_for '^  no all-core phase: it needs two bench CPUs'
check "no tallyfox process is left" none_left
close

# --- --ui --probe to its summary, its events saved by the measuring child; t switches to 256 colours
start probe --ui --probe --save saved.ndjson
check "probe: the title bar says PROBE" wait_for 'TALLYFOX · CPU BENCHMARK .* · PROBE 3 s '
check "probe: the most time left" wait_for ' at most [0-9.]+s left$'
check "probe: the processes are found" find_processes
check "probe: the result" wait_for '^ INDICATIVE · 3 subtests in [0-9.]+ s' 15
check "probe: the 16-colour theme draws no 256-colour sequence" bash -c "! ${TMUX_CMD[*]} capture-pane -p -e -t $PANE | grep -q '38;5;'"
keys t
check "t switches to the 256-colour theme" wait_for ' t  16 colours'
check "the 256-colour theme draws 256-colour sequences" bash -c "${TMUX_CMD[*]} capture-pane -p -e -t $PANE | grep -q '38;5;'"
keys T
check "T switches back" wait_for ' t  256 colours'
keys q
check "probe: leaving" finished
check "probe: status 0 (got $(status))" [ "$(status)" = 0 ]
check "probe: the terminal is restored" terminal_restored
check "probe: the summary" wait_for '^tallyfox probe: verdict indicative — .*'
check "probe: the summary lists sha256" wait_for '^  sha256 +[a-z_]+ +ST +[0-9.]+ MB/s'
check "probe: no tallyfox process is left" none_left
check "probe: --save kept the whole event stream" bash -c "jq -e . '$CASE/saved.ndjson' >/dev/null &&
  [ \"\$(jq -r .event '$CASE/saved.ndjson' | sed -n '1p;\$p' | tr '\n' ' ')\" = 'start result ' ]"
close

# --- a second q while the child runs leaves at once with status 1
start leave --full --yes --quiesce none --seconds 0.3 --subtests int_scalar,crc32c
check "leave: the run is measuring" wait_for ' int_scalar base · (single|all-core) '
check "leave: the processes are found" find_processes
keys q q
check "leave: the dashboard closes at once" finished 10
check "leave: status 1 (got $(status))" [ "$(status)" = 1 ]
check "leave: the terminal is restored" terminal_restored
check "leave: nothing is summarised without a result" bash -c "! ${TMUX_CMD[*]} capture-pane -p -t $PANE | grep -q 'verdict'"
check "leave: no tallyfox process is left" none_left
close

# --- the measuring child killed: no result, exit 128
start killed --full --yes --quiesce none --seconds 0.3 --subtests int_scalar,crc32c
check "killed: the run is measuring" wait_for ' int_scalar base · (single|all-core) '
check "killed: the child is found" find_processes
[ -n "$CHILD" ] && kill -KILL "$CHILD"
check "killed: the run ended without a result" wait_for 'The run ended without a result \(exit 128\)'
check "killed: the legend says quit" wait_for ' q  quit '
keys Escape
check "killed: ESC leaves" finished
check "killed: status 128 (got $(status))" [ "$(status)" = 128 ]
check "killed: the terminal is restored" terminal_restored
check "killed: no tallyfox process is left" none_left
close

# --- SIGTERM, SIGHUP or SIGALRM to the supervisor: the terminal is given back and the child ended
for sig in TERM HUP ALRM; do
  start "sig$sig" --full --yes --quiesce none --seconds 0.3 --subtests int_scalar,crc32c
  check "SIG$sig: the run is measuring" wait_for ' int_scalar base · (single|all-core) '
  check "SIG$sig: the processes are found" find_processes
  [ -n "$SUPERVISOR" ] && kill -"$sig" "$SUPERVISOR"
  check "SIG$sig: the supervisor ends by the signal" finished
  check "SIG$sig: status 128 + signal (got $(status))" [ "$(status)" = $((128 + $(kill -l "$sig"))) ]
  check "SIG$sig: the terminal is restored" terminal_restored
  sleep 0.5
  check "SIG$sig: no tallyfox process is left" none_left
  close
done

# --- the supervisor killed outright: its child follows it
start orphan --full --yes --quiesce none --seconds 0.3 --subtests int_scalar,crc32c
check "orphan: the run is measuring" wait_for ' int_scalar base · (single|all-core) '
check "orphan: the processes are found" find_processes
# Held, the child cannot end on its own (by a write into the closed pipe), so a SIGTERM pending
# after the supervisor's death can only be the parent-death signal.
check "orphan: the measuring child is held" hold_child
[ -n "$SUPERVISOR" ] && kill -KILL "$SUPERVISOR"
check "orphan: the shell sees the kill" finished
term_pending() {
  local mask
  mask=$(sed -n 's/^ShdPnd:[[:space:]]*//p' "/proc/$CHILD/status")
  [ -n "$mask" ] && (( 0x$mask & (1 << 14) ))
}
check "orphan: the child is sent SIGTERM when the supervisor dies" term_pending
[ -n "$CHILD" ] && kill -CONT "$CHILD"
sleep 0.5
check "orphan: the child ended with its parent" none_left
close

# --- y, Enter and q typed together at the prompt: the q reaches the child as it starts, before it
# has read the machine; it stops before measuring and still reports, like any other stop
start ahead
check "ahead: the prompt" wait_for 'Start\? \[y/N\]'
keys y Enter q
check "ahead: the child stops and reports" wait_for '^ (CLEAN|CONTENDED|THROTTLED|UNTRUSTED|INDICATIVE) · [0-9]+ subtests in [0-9.]+ s' 30
check "ahead: the legend says quit" wait_for ' q  quit '
keys q
check "ahead: leaving ends the run" finished
check "ahead: status 0 or 2 (got $(status))" grep -Eqx '0|2' "$CASE/status"
# The terminal echoed the q typed at the prompt, in front of the summary.
check "ahead: the summary names the verdict" wait_for '^q?tallyfox full: verdict (clean|contended|throttled|untrusted|indicative) — '
check "ahead: the terminal is restored" terminal_restored
check "ahead: no tallyfox process is left" none_left
close

# --- n at the prompt: refused, nothing drawn
start refuse
check "refuse: the prompt" wait_for 'Start\? \[y/N\]'
# At real-time priority a machine of 2 to 4 CPUs keeps one free, and the prompt says so.
online=$(getconf _NPROCESSORS_ONLN)
if [ "$online" -ge 2 ] && [ "$online" -le 4 ]; then cores='Every selected core but one is'; else cores='Every core is'; fi
check "refuse: the prompt says which cores are loaded ($online online)" wait_for "  $cores loaded in rounds"
keys n Enter
check "refuse: ends" finished
check "refuse: status 1 (got $(status))" [ "$(status)" = 1 ]
check "refuse: the refusal message" wait_for '^tallyfox: full run not started \(answer y, or pass --yes; --probe is the 3-second reading\)'
check "refuse: no dashboard was drawn" bash -c "! ${TMUX_CMD[*]} capture-pane -p -S - -t $PANE | grep -Eq 'TALLYFOX|╭'"
check "refuse: the terminal is as before" terminal_restored
close

finish
