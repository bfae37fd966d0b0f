#!/usr/bin/env bash
# Runs N default full runs (5 unless given) one after another and prints each run's final index,
# delivered and undisturbed (all-core when measured, else single-thread), its rounds and verdict,
# then the coefficient of variation of each over the runs. The goal on a quiet machine: under
# 1 %, converged in 4 to 6 rounds.
# Usage: tools/stability.sh [BINARY] [RUNS] [extra tallyfox options, e.g. --converge undisturbed]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/tallyfox}
runs=${2:-5}
shift $(( $# < 2 ? $# : 2 ))
command -v jq >/dev/null || { echo "tools/stability.sh: needs jq" >&2; exit 1; }
[ -x "$bin" ] || { echo "tools/stability.sh: no binary at $bin (build the release preset first)" >&2; exit 1; }

rows=()
for ((i = 1; i <= runs; i++)); do
  line=$("$bin" --full --yes --json "$@" </dev/null 2>/dev/null | jq -r 'select(.event=="result")
    | (.index.mt > 0) as $mt
    | "\(if $mt then "MT" else "ST" end) \(if $mt then .index.mt else .index.st end) \(if $mt then .index.mt_undisturbed else .index.st_undisturbed end) \(.convergence.rounds) \(.convergence.converged) \(.stalls.pct) \(.verdict)"')
  [ -n "$line" ] || { echo "run $i: no result" >&2; exit 1; }
  read -r kind index calm rounds converged stalls verdict <<<"$line"
  printf 'run %d: index %s %s, undisturbed %s, %s rounds, converged %s, stalls %s%%, %s\n' \
    "$i" "$kind" "$index" "$calm" "$rounds" "$converged" "$stalls" "$verdict"
  rows+=("$index $calm $rounds")
done
printf '%s\n' "${rows[@]}" | awk '
  { d[NR] = $1; u[NR] = $2; r += $3 }
  function cv(x,   i, m, v) { m = 0; for (i = 1; i <= NR; i++) m += x[i]; m /= NR
    v = 0; for (i = 1; i <= NR; i++) v += (x[i] - m) ^ 2
    return (NR > 1 && m > 0) ? sqrt(v / (NR - 1)) / m * 100 : 0 }
  END { printf "delivered CV %.2f%%, undisturbed CV %.2f%%, %.1f rounds on average, over %d runs\n", cv(d), cv(u), r / NR, NR }'
