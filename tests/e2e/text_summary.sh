# The plain-text summary and the stop signal.
source "$(dirname "$0")/lib.bash"
need_root

ns '' --probe </dev/null >"$WORK/probe" 2>&1
check "probe text ends with 0" [ $? = 0 ]
check "probe verdict line" grep -Eq '^tallyfox probe verdict=indicative \(.* \[probe: 3s capability reading, not a benchmark\]\)$' <<<"$(head -1 "$WORK/probe")"
check "probe subtest lines" [ "$(tail -n +2 "$WORK/probe" | grep -Ec '^  (int_scalar |fp_scalar  |sha256     ) (base|soft)     ST +[0-9]+\.[0-9] (Mops|Mflops|MB/s) *$')" = 3 ]

TFX_CLI_CONSENT=1 ns '' --full --seconds 0.05 --quiesce none --subtests int_scalar,sha256 </dev/null >"$WORK/full" 2>&1
check "full text run carries the MT part" [ "$(grep -Ec '  MT +[0-9]+\.[0-9]  scaling +[0-9]+%$' "$WORK/full")" = 2 ]

# A stop during a phase ends the run at the next chunk; it still reports.
( TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.5 --quiesce none --subtests int_scalar </dev/null >"$WORK/stop" 2>&1 ) &
runner=$!
pid=$(started $runner)
sleep 1.2
kill -USR1 "$pid" 2>/dev/null
wait "$runner"
check "SIGUSR1 still reports a result" jq -se '(.[-1].event=="result") and (.[-1].subtests|length)>=1' "$WORK/stop"

finish
