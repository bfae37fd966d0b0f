#!/usr/bin/env bash
# Builds and runs the whole test suite. As root it first installs the Debian packages the
# tests need when they are missing. Usage: tools/test.sh [preset ...]   (default: ci)
# The tests run with a bare environment (PATH and HOME only) and must leave no process behind.
# With TFX_E2E_REQUIRED=1 (CI sets it) an end-to-end script that cannot run fails instead of
# skipping.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

# file and dpkg-dev: cpack -G DEB (the README's packaging step) needs them once the suite has run.
ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev liblz4-dev \
  jq tmux util-linux procps coreutils python3 python3-jsonschema file dpkg-dev

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(ci)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  status=0
  clean_run ctest --preset "$preset" || status=$?
  # CTest shows why a test skipped only with -V; say it here.
  log=build/$preset/Testing/Temporary/LastTest.log
  if [ -f "$log" ] && grep -q '^skipped: ' "$log"; then
    echo "$(basename "$0"): some tests skipped ($preset):"
    grep '^skipped: ' "$log" | sort | uniq -c
  fi
  [ "$status" = 0 ] || exit "$status"
done
