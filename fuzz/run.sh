#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build/fuzz and runs each for SECONDS seconds,
# starting from its seed corpus fuzz/corpus/NAME (NAME is the target without "_fuzz"). New inputs
# go to a scratch directory, so the committed corpus stays as it is; a crashing input is kept in
# build/fuzz/artifacts.
# Usage: fuzz/run.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S fuzz -B build/fuzz "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j2

fail=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for source in fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  corpus=fuzz/corpus/${target%_fuzz}
  mkdir -p "$scratch/$target" build/fuzz/artifacts
  echo "== $target ($seconds s)"
  if ! "build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$target-" "$scratch/$target" "$corpus" \
      > "$scratch/$target.log" 2>&1; then
    tail -n 40 "$scratch/$target.log"
    fail=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$scratch/$target.log" || true
  fi
done
exit $fail
