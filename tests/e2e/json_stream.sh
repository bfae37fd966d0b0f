# The NDJSON stream of a probe and of short full runs, read with jq.
source "$(dirname "$0")/lib.bash"
need_root

keys() { jq -c "select(.event==\"$2\") | keys_unsorted" "$1" | sort -u; }
START_KEYS='["event","tool","tool_version","mode","cpu_model","ncpu","ncores","p_cores","e_cores","p_threads","e_threads","hybrid","isa","isolcpus","rt_runtime_us","cur_mhz","max_mhz","thermal_c","fingerprint","seconds","quiesce"]'
PROGRESS_KEYS='["event","name","isa","phase","pct","elapsed"]'
SUBTEST_KEYS='["event","name","isa","unit","st","mt","scaling","st_wait_pct","mt_wait_pct","mt_wait_agg","nivcsw","khz_lo","khz_hi","st_stall_pct","mt_stall_pct","mt_stall_agg","stall_ms","st_undisturbed","mt_undisturbed","st_late_start_ms","mt_late_start_ms"]'
ROUND_KEYS='["event","round","index_st","index_mt","spread","target","converged","elapsed","index_st_undisturbed","index_mt_undisturbed"]'
RESULT_KEYS='["event","tool","tool_version","mode","verdict","verdict_why","machine","index","convergence","thermal","quiesce","isolcpus","profile","cpus_used","fingerprint","duration","subtests","stalls","all_core_note","index_range","drift"]'

# --- probe
AFTER='ls -A /tmp' ns '' --probe --json </dev/null >"$WORK/probe" 2>"$WORK/probe.err"
status=$?
check "probe ends with 0" [ "$status" = 0 ]
check "probe leaves no tombstone and prints nothing on stderr" [ ! -s "$WORK/probe.err" ]
check "every probe line is JSON" all_json "$WORK/probe"
check "start keys in order" [ "$(keys "$WORK/probe" start)" = "$START_KEYS" ]
check "progress keys in order" [ "$(keys "$WORK/probe" progress)" = "$PROGRESS_KEYS" ]
check "subtest keys in order" [ "$(keys "$WORK/probe" subtest)" = "$SUBTEST_KEYS" ]
check "result keys in order" [ "$(keys "$WORK/probe" result)" = "$RESULT_KEYS" ]
order=$(jq -r '.event' "$WORK/probe" | awk '!($0 == "progress" && prev == "progress") {print} {prev = $0}' | tr '\n' ' ')
check "probe event order (got: $order)" grep -Eqx 'start ((progress )?subtest ){3}result ' <<<"$order"
check "probe measures int_scalar, fp_scalar, sha256" [ "$(jq -r 'select(.event=="subtest") | .name' "$WORK/probe" | tr '\n' ' ')" = "int_scalar fp_scalar sha256 " ]
check "probe is single-thread only" [ "$(jq -s '[.[] | select(.event=="subtest") | select(.scaling != 0 or .mt != 0)] | length' "$WORK/probe")" = 0 ]
check "probe progress phases are single" [ "$(jq -r 'select(.event=="progress") | .phase' "$WORK/probe" | sort -u)" = single ]
res=$(jq -c 'select(.event=="result")' "$WORK/probe")
check "probe verdict indicative with its suffix" jq -e '.verdict=="indicative" and (.verdict_why|endswith(" [probe: 3s capability reading, not a benchmark]"))' <<<"$res"
# A probe has no rounds: no spread and no precision were measured, and null says so.
check "probe convergence block" jq -e '.convergence=={"rounds":0,"spread":null,"precision":null,"target":0.015,"converged":0}' <<<"$res"
check "probe has no index" jq -e '.index.st==0 and .index.mt==0 and .index.n==0 and .index.ref_version==2 and .index.unit==1000' <<<"$res"
# Under a sanitizer a chunk may run long past its phase; the time bound holds for real builds.
[ -n "${TFX_E2E_SANITIZED:-}" ] || check "probe ends within 3.0 s" jq -e '.duration <= 3.0' <<<"$res"
check "probe result lists three subtests" jq -e '(.subtests|length)==3 and all(.subtests[]; .scaling==0 and .st_under_load==0)' <<<"$res"
check "probe raw text keeps the convergence formats" grep -q '"convergence":{"rounds":0,"spread":null,"precision":null,"target":0.0150,"converged":0}' "$WORK/probe"
check "probe: no index range, no drift looked for" jq -e '.index_range == {"pct":null,"lo":null,"hi":null,"first_round":null,"last_round":null}
  and .drift == {"checked":0,"detected":0,"pct":null,"round":null,"p":null,"before":null,"after":null,
    "explained":{"wait":0,"steal":0,"stalls":0,"clock":0}}' <<<"$res"
check "probe start event: its phase length, and the quiesce level the result names" jq -se '.[0].seconds == 0.3 and .[0].quiesce == .[-1].quiesce' "$WORK/probe"
check "start event hybrid is a boolean" jq -se '.[0].event=="start" and (.[0].hybrid|type)=="boolean"' "$WORK/probe"

# --- short full run: no spread until round 4, final index = median of the last four
TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.05 --quiesce none --subtests int_scalar,crc32c \
  </dev/null >"$WORK/full" 2>"$WORK/full.err"
check "full run ends with 0 or 2" [ $? -le 2 ]
check "every full-run line is JSON" all_json "$WORK/full"
check "round keys in order" [ "$(keys "$WORK/full" round)" = "$ROUND_KEYS" ]
check "rounds 1-3 have no spread (null) and are not converged" \
  [ "$(jq -s '[.[] | select(.event=="round" and .round<=3) | select(.spread==null and .converged==0)] | length' "$WORK/full")" = 3 ]
check "from round 4 the spread is a number" jq -se '[.[] | select(.event=="round" and .round>=4)] | all(.spread | type == "number")' "$WORK/full"
check "the start event records the phase length and quiesce level asked for" jq -se '.[0].seconds == 0.05 and .[0].quiesce == "none"' "$WORK/full"
check "the index range is that of the rounds the index is the median of" jq -se '
  def med: sort | if length % 2 == 1 then .[length/2|floor] else (.[length/2-1] + .[length/2]) / 2 end;
  (.[-1]) as $r | ([.[] | select(.event=="round")] | .[-4:]) as $last | ($last | map(.index_mt)) as $v
  | $r.index_range.first_round == $last[0].round and $r.index_range.last_round == $last[-1].round
    and $r.index_range.lo == ($v | min) and $r.index_range.hi == ($v | max)
    and ((($v | max) - ($v | min)) / ($v | med) * 100 - $r.index_range.pct | fabs) < 0.01
    and (if $r.convergence.converged == 1 then ($r.index_range.pct / 100 - $last[-1].spread | fabs) < 0.0001 else true end)' "$WORK/full"
# Every round has its all-core phases; on a busy machine a 0.05 s phase can end before its
# workers got to run, so the rates are asked of some subtest events, not all.
check "full run measures all-core phases on 2 CPUs" jq -se '(.[-1] | .cpus_used == 2 and .all_core_note == "")
  and ([.[] | select(.event=="subtest" and .mt > 0 and .scaling > 0)] | length > 0)' "$WORK/full"
check "all-core phases measured, and probes: an empty all-core note" \
  jq -se '[.[] | select(.event=="result")] | length == 2 and all(.all_core_note == "")' "$WORK/full" "$WORK/probe"

# Two CPUs at real-time priority: one stays free, and the result says why no all-core phase ran.
TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.05 --cpus 0,1 --subtests int_scalar </dev/null >"$WORK/one" 2>/dev/null
check "one bench CPU: the result's all-core note" jq -se '.[-1] | .cpus_used == 1 and
  (.all_core_note | startswith("no all-core phase: it needs two bench CPUs"))' "$WORK/one"
check "the final index is the median of the last four rounds" jq -se '
  def med: sort | if length % 2 == 1 then .[length/2|floor] else (.[length/2-1] + .[length/2]) / 2 end;
  ([.[] | select(.event=="round")] | .[-4:]) as $last
  | (.[-1]) as $r
  | (($last | map(.index_mt) | med) - $r.index.mt | fabs) < 0.11
    and (($last | map(.index_st) | med) - $r.index.st | fabs) < 0.11
    and $r.convergence.rounds == ($last[-1].round)
    and ($r.convergence.converged == 1 or $r.convergence.rounds >= 5)' "$WORK/full"
check "the result's table is the median of the same rounds' subtest events" jq -se '
  def med: sort | if length % 2 == 1 then .[length/2|floor] else (.[length/2-1] + .[length/2]) / 2 end;
  (.[-1]) as $r | ($r.convergence.rounds) as $n | ([$n, 4] | min) as $k
  | [foreach .[] as $e (0; if $e.event == "round" then . + 1 else . end; [., $e])]
  | map(select(.[1].event == "subtest" and .[0] >= $n - $k and .[0] < $n) | .[1]) as $rows
  | $r.subtests | length == 2 and all(.[]; . as $s | ($rows | map(select(.name == $s.name))) as $mine
      | ($mine | length) == $k and (($mine | map(.st) | med) - $s.st | fabs) < 0.11
        and (($mine | map(.mt) | med) - $s.mt | fabs) < 0.11)' "$WORK/full"

# --- aes128ctr alone: no portable subtest, rounds end by plateau after round 5
TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.05 --quiesce none --subtests aes128ctr \
  </dev/null >"$WORK/aes" 2>/dev/null
check "aes128ctr alone ends after round 5 with both indexes 0" jq -se '
  (.[-1]) as $r | $r.event=="result" and $r.convergence.rounds==5 and $r.index.st==0 and $r.index.mt==0
  and $r.index.n==0 and ([.[] | select(.event=="round")] | all(.spread==null)) and $r.index_range.pct==null
  and ($r.verdict_why | endswith(" [no index, so no precision]"))' "$WORK/aes"

# --- a stop in round 2: the table and the index are round 1's, not the cut round's
( TFX_CLI_CONSENT=1 unshare --mount --propagation private bash -c '
    echo $$ >"$1"; shift; mount -t tmpfs tmpfs /tmp || exit 90; exec "$@"' ns "$WORK/cut.pid" \
    "$BIN" --full --json --seconds 0.2 --quiesce none --subtests int_scalar,fp_scalar,crc32c \
    </dev/null >"$WORK/cut" 2>/dev/null ) &
runner=$!
for _ in $(seq 600); do grep -q '"event":"round"' "$WORK/cut" 2>/dev/null && break; sleep 0.05; done
kill -USR1 "$(cat "$WORK/cut.pid")"
wait "$runner"
check "a stop in round 2 keeps round 1's table and index" jq -se '
  (.[-1]) as $r | [.[] | select(.event == "round")] as $rounds
  | ([foreach .[] as $e (0; if $e.event == "round" then . + 1 else . end; [., $e])]
     | map(select(.[0] == 0 and .[1].event == "subtest") | .[1] | {name, st, mt, scaling})) as $first
  | $r.event == "result" and ($rounds | length) == 1 and $r.convergence.rounds == 1
    and ($r.subtests | map({name, st, mt, scaling})) == $first and ($first | length) == 3
    and $r.index.st == $rounds[0].index_st and $r.index.mt == $rounds[0].index_mt' "$WORK/cut"

# --- --converge undisturbed: the rounds' spread is taken over the undisturbed index
TFX_CLI_CONSENT=1 ns '' --full --json --seconds 0.05 --quiesce none --subtests int_scalar --converge undisturbed \
  </dev/null >"$WORK/calm" 2>/dev/null
check "--converge undisturbed: named in the result, spreads from the undisturbed index" jq -se '
  def med: sort | if length % 2 == 1 then .[length/2|floor] else (.[length/2-1] + .[length/2]) / 2 end;
  [.[] | select(.event == "round")] as $r
  | .[-1].index.converge == "undisturbed" and ($r | length) >= 4
    and all(range(3; $r | length) as $i
        | (if $r[$i].index_mt_undisturbed > 0 then "index_mt_undisturbed" else "index_st_undisturbed" end) as $k
        | $r[$i - 3:$i + 1] | map(.[$k]) as $u | select(($u | min) > 0)
        | (($u | max) - ($u | min)) / ($u | med) - $r[$i].spread | fabs < 0.0002)' "$WORK/calm"

finish
