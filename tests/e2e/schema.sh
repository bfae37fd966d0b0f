# Every event line of a probe and of a short full run validates against the published schema;
# a broken line does not.
source "$(dirname "$0")/lib.bash"
need_root
"$PYTHON" -c 'import jsonschema' 2>/dev/null ||
  skip "needs Python's jsonschema (apt-get install python3-jsonschema; tools/test.sh run as root installs it)"
TOP=$(cd "$(dirname "$0")/../.." && pwd)
SCHEMA=$TOP/docs/events.schema.json
VALIDATE=$TOP/tools/validate-events.py

ns '' --probe --json </dev/null >"$WORK/probe" 2>/dev/null
TFX_CLI_CONSENT=1 ns '' --full --json --quiesce none --seconds 0.05 --subtests int_scalar,lz4 </dev/null \
  >"$WORK/full" 2>/dev/null
check "the probe's stream validates" "$PYTHON" "$VALIDATE" "$SCHEMA" "$WORK/probe"
check "a full run's stream validates" "$PYTHON" "$VALIDATE" "$SCHEMA" "$WORK/full"
check "the full run has every event kind" bash -c "[ \"\$(jq -r .event '$WORK/full' | sort -u | tr '\n' ' ')\" = 'progress result round start subtest ' ]"
"$BIN" --compare "$WORK/full" "$WORK/full" --json >"$WORK/compare"
check "a comparison's object validates" "$PYTHON" "$VALIDATE" "$SCHEMA" "$WORK/compare"
"$BIN" --compare "$WORK/full" "$WORK/full" --vs "$WORK/full" "$WORK/full" --json >"$WORK/compare-runs"
check "a comparison of several runs a side validates" "$PYTHON" "$VALIDATE" "$SCHEMA" "$WORK/compare-runs"

sed 's/"converged":0,"elapsed"/"converged":"no","elapsed"/' "$WORK/full" >"$WORK/broken"
check "a broken line fails validation" bash -c "! $PYTHON '$VALIDATE' '$SCHEMA' '$WORK/broken' >/dev/null"
head -1 "$WORK/probe" | jq -c 'del(.fingerprint)' >"$WORK/missing"
check "a missing key fails validation" bash -c "! $PYTHON '$VALIDATE' '$SCHEMA' '$WORK/missing' >/dev/null"

finish
