#!/usr/bin/env bash
# The real binary under dynamic checkers, after the presets are built:
#  - the run sequence, the engine and the supervisor under ThreadSanitizer (end-to-end streams,
#    seatbelts and the terminal dashboard);
#  - a short full run under valgrind's memcheck, with no error allowed;
#  - a probe under memcheck: the 3-second deadline is too short for valgrind's pace, so the
#    watchdog may end it (status 1), but memcheck must report nothing (status 99 otherwise);
#  - the libFuzzer targets for a few seconds each.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
ensure_packages valgrind clang
fail=0

echo "== ThreadSanitizer: end-to-end"
for t in json_stream seatbelts dashboard_supervisor; do
  clean_run env TFX_E2E_SANITIZED=1 TSAN_OPTIONS="halt_on_error=1 exitcode=66" bash "tests/e2e/$t.sh" \
    build/tsan/tallyfox tests/fixtures || fail=1
done

if command -v valgrind >/dev/null && [ "$(id -u)" = 0 ]; then
  echo "== memcheck"
  memcheck() {
    unshare --mount --propagation private bash -c 'mount -t tmpfs tmpfs /tmp && exec "$@"' sh \
      valgrind --error-exitcode=99 -q build/ci/tallyfox "$@" </dev/null >/dev/null
  }
  TFX_CLI_CONSENT=1 memcheck --full --json --quiesce none --seconds 0.2 --subtests int_scalar,lz4 \
    || { echo "memcheck: full run failed"; fail=1; }
  status=0
  memcheck --probe --json || status=$?
  if [ "$status" != 0 ] && [ "$status" != 1 ]; then echo "memcheck: probe status $status"; fail=1; fi
fi

if [ -x fuzz/run.sh ] && command -v clang++ >/dev/null; then
  echo "== fuzzers"
  fuzz/run.sh 5 || fail=1
fi
exit $fail
