# A script that overstays its deadline (the path a CTest timeout would take), or that is stopped
# by Ctrl-C, still stops what it started and removes its files: its tmux server and pane, a run
# in a private namespace, a background helper in a process group of its own, and its work
# folder. The script under test is a small one built on lib.bash, given a deadline of a few
# seconds; it starts all of that and then waits for ever.
source "$(dirname "$0")/lib.bash"
need_root
need_command tmux tmux

LIB=$(realpath "$(dirname "$0")/lib.bash")
BASH_BIN=$(command -v bash)
cat >"$WORK/overstay.sh" <<EOF
source "$LIB"
OUT=\$3
echo "\$WORK" >"\$OUT/work"
tm new-session -d -s hold 'exec sleep 600'
tm display -p -t hold '#{pid} #{pane_pid}' >"\$OUT/tmux"
( TFX_CLI_CONSENT=1 ns '' --full --json --quiesce none --seconds 30 --subtests int_scalar </dev/null >/dev/null 2>&1 ) &
runner=\$!
pid=\$(started \$runner)
found "\$pid" "the run under the deadline"
echo "\$pid" >"\$OUT/run"
set -m
( exec sleep 600 ) &
echo \$! >"\$OUT/helper"
set +m
echo ready >"\$OUT/ready"
wait
EOF

gone() {  # no process with this pid runs any more (a zombie not yet reaped counts as gone)
  local i
  for ((i = 0; i < 50; i++)); do
    case $(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null) in "" | Z) return 0 ;; esac
    sleep 0.1
  done
  return 1
}
# way; expected status; what ends it
while IFS=';' read -r way want; do
  out=$WORK/$way
  mkdir -p "$out"
  # A job of its own (a process group, with SIGINT not ignored), as at a terminal.
  set -m
  TFX_E2E_SECONDS=4 "$BASH_BIN" "$WORK/overstay.sh" "$BIN" "$FIXTURES" "$out" >"$out/stdout" 2>&1 &
  script=$!
  set +m
  if [ "$way" = ctrl-c ]; then
    for ((i = 0; i < 200; i++)); do [ -s "$out/ready" ] && break; sleep 0.05; done
    kill -INT -- "-$script"  # what the terminal does for Ctrl-C: the whole foreground group
  fi
  # A deadline that does not work would leave the script waiting for ever: give up after 60 s.
  for ((i = 0; i < 600; i++)); do kill -0 "$script" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$script" 2>/dev/null; then
    fail "$way: the script did not end within 60 s"
    kill -KILL -- "-$script" 2>/dev/null
  fi
  status=0
  wait "$script" || status=$?
  check "$way: ends with status $want (got $status)" [ "$status" = "$want" ]
  [ "$way" = deadline ] &&
    check "deadline: it says it overstayed, and what it ran" grep -q '^FAIL: overstay.sh overstayed its 4 s deadline' "$out/stdout"
  check "$way: it had started everything" bash -c "[ -s '$out/work' ] && [ -s '$out/tmux' ] && [ -s '$out/run' ] && [ -s '$out/helper' ]"
  read -r server pane <"$out/tmux" || true
  check "$way: its work folder is removed" [ ! -e "$(cat "$out/work")" ]
  check "$way: its tmux server has stopped" gone "${server:?no tmux server noted}"
  check "$way: the pane's process has stopped" gone "${pane:?no pane noted}"
  check "$way: its run has stopped" gone "$(cat "$out/run")"
  check "$way: its helper (a process group of its own) has stopped" gone "$(cat "$out/helper")"
  [ "$FAILS" = 0 ] || { echo "--- what the $way script printed:"; cat "$out/stdout"; }
done <<'TABLE'
deadline;143
ctrl-c;130
TABLE
finish
