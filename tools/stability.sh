#!/usr/bin/env bash
# Runs N default full runs (5 unless given) one after another and prints each run's final index
# (all-core when measured, else single-thread), its rounds and verdict, then the coefficient of
# variation of the final indexes. The goal on a quiet machine: under 1 %, converged in 4 to 6
# rounds. Usage: tools/stability.sh [BINARY] [RUNS] [extra tallyfox options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/tallyfox}
runs=${2:-5}
shift $(( $# < 2 ? $# : 2 ))
command -v jq >/dev/null || { echo "tools/stability.sh: needs jq" >&2; exit 1; }
[ -x "$bin" ] || { echo "tools/stability.sh: no binary at $bin (build the release preset first)" >&2; exit 1; }

values=()
for ((i = 1; i <= runs; i++)); do
  line=$("$bin" --full --yes --json "$@" </dev/null 2>/dev/null | jq -r 'select(.event=="result")
    | "\(if .index.mt > 0 then .index.mt else .index.st end) \(if .index.mt > 0 then "MT" else "ST" end) \(.convergence.rounds) \(.convergence.converged) \(.verdict)"')
  [ -n "$line" ] || { echo "run $i: no result" >&2; exit 1; }
  read -r index kind rounds converged verdict <<<"$line"
  printf 'run %d: index %s %s, %s rounds, converged %s, %s\n' "$i" "$kind" "$index" "$rounds" "$converged" "$verdict"
  values+=("$index")
done
printf '%s\n' "${values[@]}" | awk '{ x[NR] = $1; s += $1 } END {
  m = s / NR; for (i = 1; i <= NR; i++) v += (x[i] - m) ^ 2
  sd = NR > 1 ? sqrt(v / (NR - 1)) : 0
  printf "mean %.1f, sd %.1f, CV %.2f%% over %d runs\n", m, sd, m > 0 ? sd / m * 100 : 0, NR }'
