# --compare over small committed streams, and its errors on bad input.
source "$(dirname "$0")/lib.bash"
S=$(realpath "$FIXTURES/streams")
export LC_ALL=C.UTF-8

cmp_text() { "$BIN" --compare "$S/$1" "$S/$2" 2>"$WORK/err"; }
cmp_json() { "$BIN" --compare "$S/$1" "$S/$2" --json 2>"$WORK/err"; }

out=$(cmp_text base.ndjson same.ndjson); status=$?
check "same machine, same rates: status 0" [ "$status" = 0 ]
check "same: no difference beyond noise" grep -Eqx 'no difference beyond noise \(largest change .* [+-]0\.[0-9]%\)' <<<"$out"
check "same: rows for the index and both subtests" [ "$(grep -cE '^  (index|int_scalar|sha256) +(ST|MT) ' <<<"$out")" = 6 ]
check "same: units shown" grep -Eq '^  sha256 ST +401\.5 +401\.5 MB/s ' <<<"$out"

out=$(cmp_text base.ndjson faster.ndjson); status=$?
check "a faster run: status 0" [ "$status" = 0 ]
check "faster: sha256 beyond noise, int_scalar within" bash -c 'grep -Eq "^  sha256 ST .* \+5\.0% +4/4  faster, beyond noise" <<<"$1" &&
  grep -Eq "^  int_scalar ST .* within noise" <<<"$1"' _ "$out"
check "faster: the closing line" grep -qx 'faster beyond noise: index ST +2.5%, index MT +2.5%, sha256 ST +5.0%, sha256 MT +5.0%' <<<"$out"

out=$(cmp_text faster.ndjson base.ndjson); status=$?
check "the other way round is slower: status 3" [ "$status" = 3 ]
check "slower: the closing line" grep -q '^slower beyond noise: index ST -2.4%' <<<"$out"

cmp_json faster.ndjson base.ndjson >"$WORK/json"; status=$?
check "--json: status 3 and one valid object" bash -c "[ $status = 3 ] && [ \$(wc -l <'$WORK/json') = 1 ] && jq -e . '$WORK/json' >/dev/null"
check "--json: figures, outcome and summary" jq -e '.event == "compare" and .outcome == "slower" and (.figures | length) == 6
  and (.figures[] | select(.name == "sha256" and .phase == "ST") | .decision == "slower" and .old_rounds == 4 and .unit == "MB/s")
  and (.summary | startswith("slower beyond noise"))' "$WORK/json"

# The rounds a run left behind as unsettled neither show nor decide: eight slow rounds before four
# like base's are no change, as the medians say.
out=$(cmp_text base.ndjson late.ndjson); status=$?
check "unsettled early rounds: status 0, within noise over the last four rounds" bash -c '[ "$2" = 0 ] &&
  grep -Eq "^  sha256 ST +401\.5 +401\.5 MB/s +\+0\.0% +4/4  within noise" <<<"$1" &&
  grep -q "^no difference beyond noise" <<<"$1"' _ "$out" "$status"

out=$(cmp_text base.ndjson contended.ndjson)
check "a contended run is named with its reason" grep -q 'caveat: .*contended.ndjson was contended: runqueue wait 12.3% of on-cpu time' <<<"$out"

out=$(cmp_text base.ndjson refv2.ndjson)
check "other references: no index rows, a caveat, subtests compared" bash -c '! grep -q "^  index" <<<"$1" &&
  grep -q "caveat: different reference versions (v1 and v2): the index is not comparable" <<<"$1" &&
  grep -q "^faster beyond noise: sha256 ST +5.0%" <<<"$1"' _ "$out"

# ptr_chase measures something else from reference v2 on: across v1 and v2 its rows are left out.
for f in base refv2; do sed 's/"sha256"/"ptr_chase"/g' "$S/$f.ndjson" >"$WORK/chase-$f.ndjson"; done
out=$("$BIN" --compare "$WORK/chase-base.ndjson" "$WORK/chase-refv2.ndjson" 2>"$WORK/err")
check "across v1 and v2: ptr_chase not compared, with a caveat; int_scalar still is" bash -c '
  grep -q "caveat: ptr_chase measures something else from reference v2 on: its figures are not compared" <<<"$1" &&
  ! grep -q "^  ptr_chase" <<<"$1" && grep -q "^  int_scalar ST" <<<"$1"' _ "$out"

out=$(cmp_text base.ndjson probe.ndjson); status=$?
check "a probe: no index, noise unknown, status 0" bash -c '[ "$2" = 0 ] && ! grep -q "^  index" <<<"$1" &&
  grep -q "caveat: a probe has no index" <<<"$1" && grep -q "^  new .*probe.ndjson: probe, one pass, indicative$" <<<"$1" && grep -Eq "^  sha256 ST .* 4/1  noise unknown" <<<"$1" &&
  grep -q "^no difference can be shown: too few rounds" <<<"$1"' _ "$out" "$status"

# --- bad input: one line naming the file (and the line), status 1, nothing on stdout
printf 'tallyfox probe verdict=indicative (...)\n' >"$WORK/text"
head -n 5 "$S/base.ndjson" >"$WORK/noresult"
{ head -n 3 "$S/base.ndjson"; echo '{"event":"subtest","name":'; tail -n +4 "$S/base.ndjson"; } >"$WORK/broken"
cat "$S/base.ndjson" "$S/same.ndjson" >"$WORK/twice"
sed '4s/"index_st":[0-9.]*/"index_st":"abc"/' "$S/base.ndjson" >"$WORK/badfigure"
sed '2s/"st":[0-9.]*,//' "$S/base.ndjson" >"$WORK/nofigure"
sed '17s/"rounds":[0-9]*/"rounds":null/' "$S/base.ndjson" >"$WORK/norounds"
{ cat "$S/base.ndjson"; tail -n +2 "$S/same.ndjson"; } >"$WORK/afterresult"
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
check "a symlink to a stream is read" "$BIN" --compare "$S/base.ndjson" "$WORK/link"

finish
