# The plain-text summary and the stop signal.
source "$(dirname "$0")/lib.bash"
need_root

ns '' --probe </dev/null >"$WORK/probe" 2>&1
check "probe text ends with 0" [ $? = 0 ]
check "probe verdict line" grep -Eq '^tallyfox probe verdict=indicative \(.* \[probe: 3s capability reading, not a benchmark\]\)$' <<<"$(head -1 "$WORK/probe")"
check "probe subtest lines" [ "$(tail -n +2 "$WORK/probe" | grep -Ec '^  (int_scalar |fp_scalar  |sha256     ) (base|soft)     ST +[0-9]+\.[0-9] (Mops|Mflops|MB/s) *$')" = 3 ]

TFX_CLI_CONSENT=1 ns '' --full --seconds 0.05 --quiesce none --subtests int_scalar,sha256 </dev/null >"$WORK/full" 2>&1
check "full text run carries the MT part" [ "$(grep -Ec '  MT +[0-9]+\.[0-9]  scaling +[0-9]+%$' "$WORK/full")" = 2 ]
check "full text run: the index line follows the verdict line" \
  grep -Eqx '  TFX index [0-9]+ \(ST [0-9]+ · MT [0-9]+\) over [0-9]+ portable subtests, ref v2' <<<"$(sed -n 2p "$WORK/full")"
check "probe text has no index line" bash -c "! grep -q 'TFX index' '$WORK/probe'"
# One CPU: no all-core phase, so no MT figure anywhere, a dash in its place.
TFX_CLI_CONSENT=1 ns '' --full --seconds 0.05 --quiesce none --cpus 0 --subtests int_scalar </dev/null >"$WORK/one" 2>&1
check "one CPU: the index line shows MT as a dash" \
  grep -Eqx '  TFX index [0-9]+ \(ST [0-9]+ · MT —\) over 1 portable subtests, ref v2' <<<"$(sed -n 2p "$WORK/one")"
check "one CPU: the undisturbed index too, and no 0 shown as an MT figure" \
  bash -c 'grep -Eq "undisturbed index ST [0-9]+ · MT —$" "$1" && ! grep -Eq "MT 0([^.0-9]|$)" "$1"' _ "$WORK/one"
check "full text run: the precision of the index's own rounds, or that it is not known yet" \
  grep -Eqx '  precision: range [0-9.]+% over index rounds [0-9]+-[0-9]+ \([0-9.]+ to [0-9.]+\), target 1\.5%|  precision not known yet: [0-3] rounds?, 4 needed' <<<"$(sed -n 3p "$WORK/full")"
check "full text run: whether the machine's speed moved" \
  grep -Eqx '  drift: (none beyond noise over [0-9]+ rounds|not checked \(8 rounds needed\)|machine speed moved .*)' <<<"$(sed -n 4p "$WORK/full")"
check "full text run: hidden stalls and the undisturbed index" \
  grep -Eqx '  hidden stalls [0-9.]+% of phase time \(longest [0-9]+ ms\) · undisturbed index ST [0-9]+ · MT [0-9]+' <<<"$(sed -n 5p "$WORK/full")"
check "all-core measured: no note" bash -c "! grep -q 'no all-core phase' '$WORK/full'"

# Two CPUs at real-time priority: one stays free, so no all-core phase, and the summary says why.
TFX_CLI_CONSENT=1 ns '' --full --seconds 0.05 --cpus 0,1 --subtests int_scalar </dev/null >"$WORK/rt" 2>&1
check "one bench CPU: the note after the index line" \
  grep -Eq '^  no all-core phase: it needs two bench CPUs, and (at real-time priority one CPU is left free|this run has one)' \
  <<<"$(sed -n 3p "$WORK/rt")"

# A stop during a phase ends the run at the next chunk; it still reports. The stop is sent once
# round 1's single-thread phase is reported: left alone the run would go on for at least four
# rounds, so a result within round 2 shows the stop was what ended it.
( TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.5 --quiesce none --subtests int_scalar </dev/null >"$WORK/stop" 2>&1 ) &
runner=$!
pid=$(started $runner)
found "$pid" "SIGUSR1 stop"
for _ in $(seq 600); do grep -q '"event":"subtest"' "$WORK/stop" 2>/dev/null && break; sleep 0.05; done
kill -USR1 "$pid" 2>/dev/null
wait "$runner"
check "SIGUSR1 ends the run early and it still reports a result" \
  jq -se '(.[-1].event=="result") and (.[-1].subtests|length)>=1 and .[-1].convergence.rounds <= 2' "$WORK/stop"

# Under nohup a hangup is ignored when the run starts, and stays ignored: the run goes on to its
# result. Without nohup the same hangup ends it (status 129) after its cleanup.
for kind in nohup plain; do
  ( [ "$kind" = nohup ] && trap '' HUP
    TFX_CLI_CONSENT=1 ns "" --full --json --seconds 0.3 --quiesce none --subtests int_scalar \
      </dev/null >"$WORK/hup-$kind" 2>"$WORK/hup-$kind.err" ) &
  runner=$!
  pid=$(started $runner)
  found "$pid" "SIGHUP, $kind"
  for _ in $(seq 600); do grep -q '"event":"subtest"' "$WORK/hup-$kind" 2>/dev/null && break; sleep 0.05; done
  kill -HUP "$pid" 2>/dev/null && echo "sent" >>"$WORK/hup-$kind.status"
  wait "$runner"
  echo "status=$?" >>"$WORK/hup-$kind.status"
done
check "nohup: a hangup is ignored and the run reports its result" bash -c \
  'grep -qx sent "$1.status" && grep -qx "status=[02]" "$1.status" && jq -se ".[0].event == \"start\" and .[-1].event == \"result\"" "$1"' _ "$WORK/hup-nohup"
check "no nohup: the hangup ends the run (status 129) without a result" bash -c \
  'grep -qx sent "$1.status" && grep -qx "status=129" "$1.status" && head -1 "$1" | jq -e ".event == \"start\"" >/dev/null && ! grep -q "\"event\":\"result\"" "$1"' _ "$WORK/hup-plain"

finish
