# --compare over small committed streams, and its errors on bad input.
source "$(dirname "$0")/lib.bash"
S=$(realpath "$FIXTURES/streams")
export LC_ALL=C.UTF-8

cmp_text() { "$BIN" --compare "$S/$1" "$S/$2" 2>"$WORK/err"; }
cmp_json() { "$BIN" --compare "$S/$1" "$S/$2" --json 2>"$WORK/err"; }

out=$(cmp_text base.ndjson same.ndjson); status=$?
check "same machine, same rates: status 0" [ "$status" = 0 ]
check "same: no difference beyond noise, decided by the all-core index" grep -Eqx 'no difference beyond noise \(index MT [+-]0\.[0-9]%\)' <<<"$out"
check "same: the noise the decision rests on is named" grep -Eq '^  noise: within each run, its last 4 rounds; .* must change by more than 2\.0%: the largest of --min-change 2\.0% and each run.s own index range \(1\.6%, [0-9.]+%\)' <<<"$out"
check "same: the deciding figure is named" grep -qx '  the exit status follows index MT alone; the other figures are reported' <<<"$out"
check "same: rows for the index and both subtests" [ "$(grep -cE '^  (index|int_scalar|sha256) +(ST|MT) ' <<<"$out")" = 6 ]
check "same: units shown" grep -Eq '^  sha256 ST +401\.5 +401\.5 MB/s ' <<<"$out"

out=$(cmp_text base.ndjson faster.ndjson); status=$?
check "a faster run: status 0" [ "$status" = 0 ]
check "faster: sha256 beyond noise, int_scalar within" bash -c 'grep -Eq "^  sha256 ST .* \+5\.0% +4/4  faster, beyond noise" <<<"$1" &&
  grep -Eq "^  int_scalar ST .* within noise" <<<"$1"' _ "$out"
check "faster: the closing line" grep -qx 'faster beyond noise: index MT +2.5%; not deciding, beyond noise: index ST +2.5% faster, sha256 ST +5.0% faster, sha256 MT +5.0% faster' <<<"$out"

out=$(cmp_text faster.ndjson base.ndjson); status=$?
check "the other way round is slower: status 3" [ "$status" = 3 ]
check "slower: the closing line" grep -q '^slower beyond noise: index MT -2.4%; not deciding' <<<"$out"

cmp_json faster.ndjson base.ndjson >"$WORK/json"; status=$?
check "--json: status 3 and one valid object" bash -c "[ $status = 3 ] && [ \$(wc -l <'$WORK/json') = 1 ] && jq -e . '$WORK/json' >/dev/null"
check "--json: figures, outcome and summary" jq -e '.event == "compare" and .outcome == "slower" and (.figures | length) == 6
  and (.figures[] | select(.name == "sha256" and .phase == "ST") | .decision == "slower" and .old_rounds == 4 and .unit == "MB/s")
  and (.summary | startswith("slower beyond noise")) and .deciding == "index MT" and .noise == "rounds"
  and ([.figures[] | select(.deciding == 1) | .name + " " + .phase] == ["index MT"]) and .min_change_pct == 2
  and (.old_runs | length) == 1 and .old_runs[0] == .old' "$WORK/json"

# The rounds a run left behind as unsettled neither show nor decide: eight slow rounds before four
# like base's are no change, as the medians say.
out=$(cmp_text base.ndjson late.ndjson); status=$?
check "unsettled early rounds: status 0, within noise over the last four rounds" bash -c '[ "$2" = 0 ] &&
  grep -Eq "^  sha256 ST +401\.5 +401\.5 MB/s +\+0\.0% +4/4  within noise" <<<"$1" &&
  grep -q "^no difference beyond noise" <<<"$1"' _ "$out" "$status"

out=$(cmp_text base.ndjson contended.ndjson)
check "a contended run is named with its reason" grep -q 'caveat: .*contended.ndjson was contended: runqueue wait 12.3% of on-cpu time' <<<"$out"

out=$(cmp_text base.ndjson refv2.ndjson)
check "other references: no index rows, a caveat, subtests compared but deciding nothing" bash -c '! grep -q "^  index" <<<"$1" &&
  grep -q "caveat: different reference versions (v1 and v2): the index is not comparable" <<<"$1" &&
  grep -q "^no index to decide on (largest change sha256 ST +5.0%); not deciding, beyond noise: sha256 ST +5.0% faster" <<<"$1"' _ "$out"

# ptr_chase measures something else from reference v2 on: across v1 and v2 its rows are left out.
for f in base refv2; do sed 's/"sha256"/"ptr_chase"/g' "$S/$f.ndjson" >"$WORK/chase-$f.ndjson"; done
out=$("$BIN" --compare "$WORK/chase-base.ndjson" "$WORK/chase-refv2.ndjson" 2>"$WORK/err")
check "across v1 and v2: ptr_chase not compared, with a caveat; int_scalar still is" bash -c '
  grep -q "caveat: ptr_chase measures something else from reference v2 on: its figures are not compared" <<<"$1" &&
  ! grep -q "^  ptr_chase" <<<"$1" && grep -q "^  int_scalar ST" <<<"$1"' _ "$out"

out=$(cmp_text base.ndjson probe.ndjson); status=$?
check "a probe: no index, noise unknown, status 0" bash -c '[ "$2" = 0 ] && ! grep -q "^  index" <<<"$1" &&
  grep -q "caveat: a probe has no index" <<<"$1" && grep -q "^  new .*probe.ndjson: probe, one pass, indicative$" <<<"$1" && grep -Eq "^  sha256 ST .* 4/1  noise unknown" <<<"$1" &&
  grep -q "^no index to decide on (largest change " <<<"$1"' _ "$out" "$status"


# --- several runs a side: each run's index is one sample; a folder stands for its *.ndjson files
scale() {  # scale FILE FACTOR: the same run with every index and rate times FACTOR
  jq -c --argjson f "$2" 'if .event == "round" then .index_st *= $f | .index_mt *= $f
    elif .event == "subtest" then .st *= $f | .mt *= $f
    elif .event == "result" then .index.st *= $f | .index.mt *= $f | .subtests |= map(.st *= $f | .mt *= $f)
    else . end' "$1"
}
mkdir -p "$WORK/old" "$WORK/new" "$WORK/again" "$WORK/none"
i=0; for f in 1.00 1.012 0.991 1.004 0.997; do i=$((i + 1)); scale "$S/base.ndjson" "$f" >"$WORK/old/run$i.ndjson"; done
i=0; for f in 0.95 0.957 0.944 0.961 0.949; do i=$((i + 1)); scale "$S/base.ndjson" "$f" >"$WORK/new/run$i.ndjson"; done
i=0; for f in 1.006 0.995 1.01 0.99 1.002; do i=$((i + 1)); scale "$S/base.ndjson" "$f" >"$WORK/again/run$i.ndjson"; done
echo "not a run" >"$WORK/none/notes.txt"
out=$("$BIN" --compare "$WORK/old" --vs "$WORK/new" 2>"$WORK/err"); status=$?
check "five runs a side, 5 % lower: status 3, run-to-run noise named" bash -c '[ "$2" = 3 ] &&
  grep -q "^  noise: run to run: each run.s figure is one sample (5 old, 5 new); a change counts beyond --min-change 2.0%" <<<"$1" &&
  grep -Eq "^  index MT .* 5/5  slower, beyond noise \(p 0\.008\)" <<<"$1" && grep -q "^slower beyond noise: index MT -5\.[0-9]%" <<<"$1" &&
  [ $(grep -c "^  old $3/old/run[1-5]\.ndjson: full, 5 rounds, clean$" <<<"$1") = 5 ]' _ "$out" "$status" "$WORK"
out2=$("$BIN" --compare "$WORK/old" "$WORK/new" 2>/dev/null)
check "a folder a side without --vs: the same comparison" [ "$out2" = "$out" ]
out=$("$BIN" --compare "$WORK"/old/run{1..5}.ndjson --vs "$WORK"/again/*.ndjson 2>/dev/null); status=$?
check "five runs a side at one level: status 0, no difference" bash -c '[ "$2" = 0 ] && grep -q "^no difference beyond noise (index MT" <<<"$1"' _ "$out" "$status"
out=$("$BIN" --compare "$S/base.ndjson" --vs "$WORK/new" 2>/dev/null); status=$?
check "one run against five: each run one sample, too few to tell" bash -c '[ "$2" = 0 ] &&
  grep -q "^no difference can be shown: too few runs to tell a change from noise (index MT -" <<<"$1"' _ "$out" "$status"
"$BIN" --compare "$WORK/old" --vs "$WORK/new" --json >"$WORK/runs.json" 2>/dev/null
check "--json with several runs a side: every run listed, runs as the noise" jq -e '.noise == "runs" and (.old_runs | length) == 5
  and (.new_runs | length) == 5 and .outcome == "slower" and (.figures[] | select(.deciding == 1) | .old_rounds == 5)' "$WORK/runs.json"

# --- --min-change: a 5 % drop with tight rounds counts by default, not beyond a 6 % minimum
out=$("$BIN" --compare "$S/base.ndjson" "$WORK/new/run1.ndjson" 2>/dev/null); status=$?
check "a 5 % drop with tight rounds: status 3" bash -c '[ "$2" = 3 ] && grep -q "^slower beyond noise: index MT -5.0%" <<<"$1"' _ "$out" "$status"
out=$("$BIN" --compare "$S/base.ndjson" "$WORK/new/run1.ndjson" --min-change 6 2>/dev/null); status=$?
check "--min-change 6: the same drop is within the threshold, status 0" bash -c '[ "$2" = 0 ] &&
  grep -Eq "^  index MT .* -5\.0% +4/4  within 6\.0% threshold \(p 0\.029\)" <<<"$1" &&
  grep -q "^no difference beyond noise (index MT -5.0%)" <<<"$1"' _ "$out" "$status"

# The noise line quotes the deciding index's own range: all-core rounds as tight as base's, the
# single-thread ones spread 20 %.
jq -c 'if .event == "round" then .index_st *= (if .round % 2 == 0 then 1.1 else 0.9 end) else . end' \
  "$S/base.ndjson" >"$WORK/st-wide.ndjson"
out=$("$BIN" --compare "$S/base.ndjson" "$WORK/st-wide.ndjson" 2>/dev/null)
check "the noise line quotes the deciding index's ranges" bash -c '
  grep -q "^  noise: .* more than 2\.0%: the largest of --min-change 2\.0% and each run.s own index range (1\.6%, 1\.6%)" <<<"$1" &&
  grep -Eq "^  index ST .* within 2[0-9]\.[0-9]% threshold|^  index ST .* within noise" <<<"$1"' _ "$out"
# One run's last round without an all-core index: the single-thread index decides, and says why.
jq -c 'if .event == "round" and .round == 5 then .index_mt = 0 else . end' "$S/base.ndjson" >"$WORK/mt-gap.ndjson"
out=$("$BIN" --compare "$S/base.ndjson" "$WORK/mt-gap.ndjson" 2>/dev/null)
check "a dropped all-core index is named" bash -c '! grep -q "^  index MT" <<<"$1" &&
  grep -qx "  caveat: index MT is not compared: not every run measured it in the rounds its index comes from; index ST decides" <<<"$1" &&
  grep -qx "  the exit status follows index ST alone; the other figures are reported" <<<"$1"' _ "$out"

# --- how a run was measured: quiesce level, phase length and profile that differ are named
jq -c 'if .event == "result" then .quiesce = "none" | .profile = "quick" else . end' "$S/base.ndjson" >"$WORK/other-level.ndjson"
jq -c 'if .event == "start" then .seconds = 2 else . end' "$S/base.ndjson" >"$WORK/longer.ndjson"
jq -c 'if .event == "start" then .seconds = 0.6 else . end' "$S/same.ndjson" >"$WORK/same-0.6.ndjson"
out=$("$BIN" --compare "$S/base.ndjson" "$WORK/other-level.ndjson" 2>/dev/null)
check "different quiesce levels and profiles: caveats" bash -c '
  grep -qx "  caveat: different quiesce levels (real-time throttling pauses rt workers): rt and none" <<<"$1" &&
  grep -qx "  caveat: different profiles: standard and quick" <<<"$1"' _ "$out"
out=$("$BIN" --compare "$WORK/same-0.6.ndjson" "$WORK/longer.ndjson" 2>/dev/null)
check "different phase lengths: a caveat" grep -qx '  caveat: different phase lengths (some rates depend on it): 0.60 s and 2.00 s' <<<"$out"
out=$("$BIN" --compare "$S/base.ndjson" "$S/same.ndjson" 2>/dev/null)
check "the same measuring: no such caveat" bash -c '! grep -q "caveat: different" <<<"$1"' _ "$out"

# --- bad input: one line naming the file (and the line), status 1, nothing on stdout
printf 'tallyfox probe verdict=indicative (...)\n' >"$WORK/text"
head -n 5 "$S/base.ndjson" >"$WORK/noresult"
{ head -n 3 "$S/base.ndjson"; echo '{"event":"subtest","name":'; tail -n +4 "$S/base.ndjson"; } >"$WORK/broken"
cat "$S/base.ndjson" "$S/same.ndjson" >"$WORK/twice"
sed '4s/"index_st":[0-9.]*/"index_st":"abc"/' "$S/base.ndjson" >"$WORK/badfigure"
sed '2s/"st":[0-9.]*,//' "$S/base.ndjson" >"$WORK/nofigure"
sed '17s/"rounds":[0-9]*/"rounds":null/' "$S/base.ndjson" >"$WORK/norounds"
{ cat "$S/base.ndjson"; tail -n +2 "$S/same.ndjson"; } >"$WORK/afterresult"
sed '4s/"index_st":[0-9.]*/"index_st":1e999/' "$S/base.ndjson" >"$WORK/infinite"
sed '4s/"index_st":[0-9.]*/"index_st":-1495.8/' "$S/base.ndjson" >"$WORK/negative"
sed '2s/"st":[0-9.]*/"st":1e-320/' "$S/base.ndjson" >"$WORK/tiny"
sed '17s/"verdict":"clean",/"verdict":"contended","verdict":"clean",/' "$S/base.ndjson" >"$WORK/twokeys"
ln -s "$S/base.ndjson" "$WORK/link"
mkfifo "$WORK/fifo"
: >"$WORK/empty"
bad() {  # bad DESCRIPTION FILE EXPECTED-MESSAGE
  local out status
  out=$("$BIN" --compare "$S/base.ndjson" "$2" 2>"$WORK/err"); status=$?
  check "$1: status 1, nothing on stdout" [ "$status:$out" = "1:" ]
  check "$1: one line naming the file ($(cat "$WORK/err"))" bash -c '[ $(wc -l <"$1") = 1 ] && grep -qF -- "$2" "$1"' _ "$WORK/err" "$3"
}
bad "a missing file" "$WORK/missing" "tallyfox: --compare: $WORK/missing: No such file or directory"
bad "a text summary" "$WORK/text" "$WORK/text line 1: not a JSON event"
bad "a stream without result" "$WORK/noresult" "$WORK/noresult: no result event (the run ended before it reported)"
bad "a line that is not JSON" "$WORK/broken" "$WORK/broken line 4: not a JSON event"
bad "two runs in one file" "$WORK/twice" "$WORK/twice line 18: a second run starts here (save one run a file)"
bad "a figure that is not a number" "$WORK/badfigure" "$WORK/badfigure line 4: a round event without a valid \"index_st\""
bad "a missing figure" "$WORK/nofigure" "$WORK/nofigure line 2: a subtest event without a valid \"st\""
bad "a result without its round count" "$WORK/norounds" "$WORK/norounds line 17: a result event without a valid \"convergence.rounds\""
bad "events after the result" "$WORK/afterresult" "$WORK/afterresult line 18: an event after the result (save one run a file)"
bad "a cut file" "$S/cut.ndjson" "cut.ndjson line 17: cut short (the file ends inside the line)"
bad "a FIFO" "$WORK/fifo" "$WORK/fifo: not a regular file"
bad "a device" /dev/null "/dev/null: not a regular file"
bad "an empty file" "$WORK/empty" "$WORK/empty: empty, not a saved run"
bad "an infinite figure" "$WORK/infinite" "$WORK/infinite line 4: \"index_st\" is not a finite number (1e999)"
bad "a negative round index" "$WORK/negative" "$WORK/negative line 4: \"index_st\" is negative (-1495.8)"
bad "a figure too small to be one" "$WORK/tiny" "$WORK/tiny line 2: \"st\" is absurdly small (1e-320)"
bad "a key given twice" "$WORK/twokeys" "$WORK/twokeys line 17: \"verdict\" is a duplicate key"
bad "a folder without saved runs" "$WORK/none" "$WORK/none: a folder without saved runs (*.ndjson)"
check "a symlink to a stream is read" "$BIN" --compare "$S/base.ndjson" "$WORK/link"

finish
