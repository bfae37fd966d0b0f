# A script that overstays its deadline (the path a CTest timeout would take) still stops what it
# started and removes its files: its tmux server and socket, a run in a private namespace, a
# background helper, and its work folder. The script under test is a small one built on lib.bash,
# given a deadline of a few seconds; it starts all of that and then waits for ever.
source "$(dirname "$0")/lib.bash"
need_root
need_command tmux tmux
need_command timeout coreutils

LIB=$(realpath "$(dirname "$0")/lib.bash")
cat >"$WORK/overstay.sh" <<EOF
source "$LIB"
echo "\$WORK" >"$WORK/work"
tm new-session -d -s hold 'exec sleep 600'
tm display -p -t hold '#{pid} #{pane_pid}' >"$WORK/tmux"
( TFX_CLI_CONSENT=1 ns '' --full --json --quiesce none --seconds 30 --subtests int_scalar </dev/null >/dev/null 2>&1 ) &
runner=\$!
pid=\$(started \$runner)
found "\$pid" "the run under the deadline"
echo "\$pid" >"$WORK/run"
( exec sleep 600 ) &
echo \$! >"$WORK/helper"
wait
EOF

status=0
env -u TFX_E2E_UNDER_DEADLINE TFX_E2E_SECONDS=4 /usr/bin/bash "$WORK/overstay.sh" "$BIN" "$FIXTURES" \
  >"$WORK/out" 2>&1 || status=$?
# timeout's status for a command it had to end.
check "the overstaying script is ended by its deadline (status $status)" [ "$status" = 124 ]
check "it had started everything" bash -c "[ -s '$WORK/work' ] && [ -s '$WORK/tmux' ] && [ -s '$WORK/run' ] && [ -s '$WORK/helper' ]"
gone() {  # no process with this pid runs any more (a zombie not yet reaped counts as gone)
  local i
  for ((i = 0; i < 50; i++)); do
    case $(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null) in "" | Z) return 0 ;; esac
    sleep 0.1
  done
  return 1
}
read -r server pane <"$WORK/tmux" || true
check "its work folder is removed" [ ! -e "$(cat "$WORK/work")" ]
check "its tmux server has stopped" gone "${server:?no tmux server noted}"
check "the pane's process has stopped" gone "${pane:?no pane noted}"
check "its run has stopped" gone "$(cat "$WORK/run")"
check "its background helper has stopped" gone "$(cat "$WORK/helper")"
[ "$FAILS" = 0 ] || { echo "--- what the script printed:"; cat "$WORK/out"; }
finish
