# The dashboard the measuring process draws itself, seen in a real terminal (tmux): what a person
# sees while it runs and at the end, the keys q and t, and the terminal given back after a normal
# end, a q and a SIGTERM. Also its frames when standard output is a file.
source "$(dirname "$0")/lib.bash"
need_root
need_command tmux tmux  # a real terminal


# start NAME "ENV=... ARGS": runs the binary as a dashboard child in a 120×40 pane, in a private
# mount namespace with its own /tmp. The pane's shell notes its pid and `stty -g` before and after
# the run on fd 3 (opened before /tmp is replaced), prints EXIT=<status>, then waits to be seen.
start() {
  local name=$1 env=${2%%--*} args=--${2#*--}
  : >"$WORK/$name.log"
  tm new-session -d -s "$name" -x 120 -y 40 "unshare --mount --propagation private bash -c '
    exec 3>>\"$WORK/$name.log\"
    mount -t tmpfs tmpfs /tmp || exit 90
    echo pid=\$\$ >&3
    echo before=\$(stty -g) >&3
    env $env TFX_DASH_CHILD=1 \"$BIN\" $args
    echo EXIT=\$?
    echo after=\$(stty -g) >&3
    sleep 60'" || fail "$name: tmux could not open the pane"
}
pane() { tm capture-pane -p -t "$1" "${@:2}"; }
# wait_for NAME PATTERN [TENTHS] [CAPTURE-OPTION]: polls the pane until the extended regular
# expression shows; when it gives up, shows the pane and whether the run still goes on.
wait_for() {
  local i
  for ((i = 0; i < ${3:-150}; i++)); do
    pane "$1" ${4:+"$4"} | grep -Eq -- "$2" && return 0
    sleep 0.1
  done
  {
    echo "--- pane $1 while waiting for: $2"
    pane "$1"
    echo "--- the pane's processes:"
    describe_tree "$(tm display -p -t "$1" '#{pane_pid}')"
  } >&2
  return 1
}
field() { sed -n "s/^$2=//p" "$WORK/$1.log" | head -1; }
restored() {  # the cursor is shown and the line settings are those from before the run
  [ "$(tm display -p -t "$1" '#{cursor_flag}')" = 1 ] && [ -n "$(field "$1" before)" ] &&
    [ "$(field "$1" before)" = "$(field "$1" after)" ]
}

# --- A probe from start to end.
start probe "--ui --probe"
check "probe: a running frame" wait_for probe '▸ (int_scalar|fp_scalar|sha256)/(base|soft) single'
live=$(pane probe)
check "probe: title bar" grep -Eq '^ tallyfox v0\.1\.1 — .* — [0-9]+C/[0-9]+T — probe( |$)' <<<"$live"
check "probe: clock line" grep -Eq '^ (freq [0-9]+ MHz/[0-9]+ base|clock not readable)   (temp [0-9.]+°C|no temperature sensor)' <<<"$live"
check "probe: measuring, with the time spent and left" grep -Eq '^ measuring · [0-9.]+s elapsed · at most [0-9.]+s left' <<<"$live"
check "probe: no verdict before it is decided" bash -c '! grep -q "verdict" <<<"$1"' _ "$live"
check "probe: core map" grep -Eq '^│ ((██|▒▒|SS|!!|~~|░░|··) )+ *│$' <<<"$live"
check "probe: map title" grep -Eq '^┌── CORE MAP — [0-9]+ cells · logical CPU ─+┐$' <<<"$live"
check "probe: probe note, whole, and no figure this run did not measure" grep -q 'no index in probe mode — too short for a comparable number; --full measures one' <<<"$live"
check "probe: key line" grep -q '^ \[l\]egend  \[t\]heme  \[q\]uit' <<<"$live"
check "probe: ends" wait_for probe '^EXIT=' 100
end=$(pane probe -S -60)
check "probe: subtest rows" [ "$(grep -Ec '^│ (int_scalar|fp_scalar |sha256    ) +(base|soft) +[0-9]+\.[0-9] +— +— +single-thread only +│$' <<<"$end")" = 3 ]
check "probe: verdict line" grep -Eq '^ verdict INDICATIVE · ' <<<"$end"
check "probe: no running subtest in the final frame" bash -c '! grep -q "▸" <<<"$1"' _ "$end"
check "probe: summary after the frame" grep -Eq '^probe: 3 subtests, verdict indicative — ' <<<"$(sed -n '/\[q\]uit/,$p' <<<"$end")"
check "probe: the summary has no index line (a probe measures none)" \
  bash -c '! grep -q "TFX index" <<<"$1"' _ "$(sed -n '/^probe: 3 subtests/,$p' <<<"$end")"
check "probe: status 0" grep -q '^EXIT=0$' <<<"$end"
check "probe: terminal restored" restored probe

# --- t switches the theme, q stops a full run inside its first round; it still reports.
start quit "TFX_CLI_CONSENT=1 --ui --full --quiesce none --seconds 1.0 --subtests int_scalar"
check "quit: a running frame" wait_for quit '▸ int_scalar/base single'
live=$(pane quit)
check "quit: the index comes after round 1" grep -q '^│  the index comes after round 1' <<<"$live"
# The time left is the rounds' 5 minutes at most, not the watchdog's later deadline.
check "quit: measuring in round 1, at most 5 minutes left" grep -Eq '^ measuring · round 1 · [0-9.]+s elapsed · at most ([0-4]m[0-5][0-9]s|5m00s) left' <<<"$live"
before_t=$(pane quit -e)
tm send-keys -t quit t
check "quit: 16-colour cells first" bash -c '! grep -q "38;5;" <<<"$1"' _ "$before_t"
check "quit: t draws 256-colour cells" wait_for quit '38;5;' 100 -e
tm send-keys -t quit q
check "quit: ends after q" wait_for quit '^EXIT=' 60
end=$(pane quit -S -60)
check "quit: reports the partial round" grep -Eq '^full: 1 subtests, verdict [a-z]+ — ' <<<"$end"
check "quit: the final frame shows the verdict, and no index" \
  bash -c 'grep -Eq "^ verdict [A-Z]+ · " <<<"$1" && grep -q "^│  no index — the run ended before round 1 did" <<<"$1"' _ "$end"
check "quit: no index without a completed round, and no 0 shown for one" grep -q '^  TFX index not measured: the run ended before round 1 did$' <<<"$end"
check "quit: status 0 or 2" grep -Eq '^EXIT=(0|2)$' <<<"$end"
check "quit: terminal restored" restored quit

# --- SIGTERM: the cleanup restores the terminal and the process dies by the signal.
start term "TFX_CLI_CONSENT=1 --ui --full --quiesce none --seconds 1.0 --subtests int_scalar"
check "term: a running frame" wait_for term '▸ int_scalar/base'
shell=$(field term pid)
victim=$(pgrep -P "$shell" -x tallyfox)
check "term: found the process" [ -n "$victim" ]
[ -n "$victim" ] && kill -TERM "$victim"
check "term: ends" wait_for term '^EXIT=' 60
check "term: died by SIGTERM" grep -q '^EXIT=143$' <<<"$(pane term)"
check "term: terminal restored" restored term

# --- Standard output to a file: every frame, escapes included, then the summary.
ns '' --ui --probe </dev/null >"$WORK/file" 2>/dev/null
check "file: status 0" [ $? = 0 ]
content=$(cat "$WORK/file")
check "file: starts by hiding the cursor and clearing" [ "${content:0:10}" = $'\e[?25l\e[2J' ]
check "file: several frames" [ "$(grep -o $'\e\\[?2026h' <<<"$content" | wc -l)" -ge 2 ]
tail_text=${content##*$'\e[?2026l'}
check "file: the last frame is followed by the restore and the summary" \
  grep -Eq $'^\e\\[\\?25h\e\\[0m$' <<<"$(head -1 <<<"$tail_text")"
check "file: summary" grep -Eq '^probe: 3 subtests, verdict indicative' <<<"$tail_text"

finish
