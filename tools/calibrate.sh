#!/usr/bin/env bash
# Measures how honest a run's statements about its own uncertainty are on this machine: makes N
# default full runs one after another (20 unless given) and reports
#   (a) the coefficient of variation of the final index over the runs,
#   (b) coverage: how often the range a run states for its index (its index rounds' lowest to
#       highest) contains the next run's index, and how often it does when a detected drift's two
#       levels are added to that range,
#   (c) how many ordered pairs of these runs of an unchanged machine --compare calls slower
#       (status 3), and what the runs' first half against their second half says with several
#       runs a side,
#   (d) how many runs reported a drift, and how many of those beyond the 1.5 % target.
# Goals: (c) at most 1 pair in 20, (b) at least 80 %, and a run whose rounds stepped reports it.
# This is a benchmark, not a test: its figures depend on the machine and on what else runs on it.
# Usage: tools/calibrate.sh [BINARY] [RUNS] [extra tallyfox options]
# The runs' streams are kept in $CALIBRATE_DIR when it is set, else in a temporary folder that is
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/tallyfox}
runs=${2:-20}
shift $(( $# < 2 ? $# : 2 ))
command -v jq >/dev/null || { echo "tools/calibrate.sh: needs jq" >&2; exit 1; }
[ -x "$bin" ] || { echo "tools/calibrate.sh: no binary at $bin (build the release preset first)" >&2; exit 1; }
[ "$runs" -ge 2 ] 2>/dev/null || { echo "tools/calibrate.sh: RUNS is 2 or more" >&2; exit 1; }
if [ -n "${CALIBRATE_DIR:-}" ]; then
  dir=$CALIBRATE_DIR
  mkdir -p "$dir"
else
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
fi
trap 'exit 130' INT TERM

for ((i = 1; i <= runs; i++)); do
  f=$(printf '%s/run%02d.ndjson' "$dir" "$i")
  "$bin" --full --yes --json "$@" </dev/null >"$f" 2>/dev/null || true
  jq -e 'select(.event == "result")' "$f" >/dev/null || { echo "run $i: no result" >&2; exit 1; }
  jq -r --arg i "$i" 'select(.event == "result") | (if .index.mt > 0 then .index.mt else .index.st end) as $x
    | "run \($i): index \($x), \(.convergence.rounds) rounds, range \(.index_range.pct // "not known")%, drift "
      + (if .drift.detected == 1 then "\(.drift.pct)% at round \(.drift.round)" elif .drift.checked == 1 then "none"
         else "not checked" end) + ", \(.verdict)"' "$f"
done

# One line a run: index, range lo and hi, drift detected, its two levels, its size.
jq -r 'select(.event == "result") | [(if .index.mt > 0 then .index.mt else .index.st end), .index_range.lo,
  .index_range.hi, .drift.detected, .drift.before, .drift.after, .drift.pct] | @tsv' "$dir"/run*.ndjson >"$dir/summary.tsv"
awk -F '\t' '
  { x[NR] = $1; lo[NR] = $2; hi[NR] = $3; d[NR] = $4; b[NR] = $5; a[NR] = $6; p[NR] = $7 }
  function abs(v) { return v < 0 ? -v : v }
  END {
    m = 0; for (i = 1; i <= NR; i++) m += x[i]; m /= NR
    v = 0; for (i = 1; i <= NR; i++) v += (x[i] - m) ^ 2
    printf "(a) final index: mean %.1f, CV %.2f%% over %d runs\n", m, (NR > 1 && m > 0) ? sqrt(v / (NR - 1)) / m * 100 : 0, NR
    c = cw = 0
    for (i = 1; i < NR; i++) {
      l = lo[i]; h = hi[i]
      if (x[i + 1] >= l && x[i + 1] <= h) c++
      if (d[i] == 1) { if (b[i] < l) l = b[i]; if (a[i] < l) l = a[i]; if (b[i] > h) h = b[i]; if (a[i] > h) h = a[i] }
      if (x[i + 1] >= l && x[i + 1] <= h) cw++
    }
    printf "(b) coverage: the stated range held the next run'"'"'s index in %d of %d (%.0f%%); with drift levels %d of %d (%.0f%%)\n", c, NR - 1, c * 100 / (NR - 1), cw, NR - 1, cw * 100 / (NR - 1)
    n = nb = 0; for (i = 1; i <= NR; i++) { if (d[i] == 1) { n++; if (abs(p[i]) > 1.5) nb++ } }
    printf "(d) drift reported by %d of %d runs, %d of them beyond the 1.5%% target\n", n, NR, nb
  }' "$dir/summary.tsv"

slower=0 pairs=0
files=("$dir"/run*.ndjson)
for a in "${files[@]}"; do
  for b in "${files[@]}"; do
    [ "$a" = "$b" ] && continue
    pairs=$((pairs + 1))
    status=0
    "$bin" --compare "$a" "$b" >/dev/null 2>&1 || status=$?
    [ "$status" = 3 ] && slower=$((slower + 1))
  done
done
printf '(c) --compare called an unchanged machine slower in %d of %d ordered pairs (%.1f%%; goal at most 5%%)\n' \
  "$slower" "$pairs" "$(awk -v s="$slower" -v p="$pairs" 'BEGIN { print s * 100 / p }')"
half=$(( ${#files[@]} / 2 ))
if [ "$half" -ge 2 ]; then
  status=0
  line=$("$bin" --compare "${files[@]:0:half}" --vs "${files[@]:half}" 2>/dev/null | tail -n 1) || status=$?
  printf '(c) first %d runs against the last %d, each run one sample: status %d, %s\n' "$half" $(( ${#files[@]} - half )) \
    "$status" "$line"
fi
