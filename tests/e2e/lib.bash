# Shared helpers of the end-to-end scripts. Each script is run as: bash script.sh BINARY FIXTURES
# Every run of the binary happens in a private mount namespace with its own tmpfs /tmp, so the
# tombstone of a test never meets the machine's or another test's.
set -u
BIN=${1:?binary}
FIXTURES=${2:?fixtures}
FAILS=0
PASSES=0
WORK=$(mktemp -d)
# Scripts that set their own EXIT trap call cleanup_lib from it.
cleanup_lib() { rm -rf "$WORK" ${BIN_COPY:+"$BIN_COPY"}; }
trap cleanup_lib EXIT
# Runs replace /tmp with a private tmpfs; a binary built under /tmp would vanish from their view,
# so it is run from a copy outside /tmp (the same bytes, so the same fingerprint).
BIN=$(realpath "$BIN")
case $BIN in
  /tmp/*)
    BIN_COPY=$(mktemp -d -p /var/tmp tfx-e2e-XXXXXX)
    cp "$BIN" "$BIN_COPY/tallyfox"
    BIN=$BIN_COPY/tallyfox ;;
esac

# Setup for ns: a fake flat cpuset hierarchy over /sys/fs/cgroup/cpuset (in the run's own /tmp),
# so isolation only ever sees this tree; the setup fails when it cannot be mounted.
FAKE_CPUSET='mkdir -p /tmp/cs && echo 0-1 > /tmp/cs/cpuset.cpus && echo 0 > /tmp/cs/cpuset.mems &&
  printf "1\n999991\n" > /tmp/cs/tasks && mount --bind /tmp/cs /sys/fs/cgroup/cpuset || exit 90'

need_root() {
  if [ "$(id -u)" != 0 ] || ! unshare --mount --propagation private true 2>/dev/null; then
    echo "skipped: needs root and mount namespaces for a private /tmp"
    exit 77
  fi
}

# ns 'setup commands' binary-args...: runs the binary in a private namespace after the setup
# commands (mounts over /proc or /sys files). The commands in $AFTER run afterwards in the same
# namespace (to look at what the run left in /tmp); the binary's status is returned.
ns() {
  local setup=$1
  shift
  unshare --mount --propagation private bash -c '
    mount -t tmpfs tmpfs /tmp || exit 90
    eval "$1"
    shift
    "$@"
    status=$?
    eval "${AFTER:-}" >&2
    exit $status' ns "$setup" "$BIN" "$@"
}

# started ROOT: the pid of the binary among the descendants of ROOT (a process this script
# started), waiting up to 5 s for it to run; a signal then never reaches anyone else's tallyfox.
started() {
  local i queue p k
  for ((i = 0; i < 100; i++)); do
    queue=("$1")
    while [ ${#queue[@]} -gt 0 ]; do
      p=${queue[0]}
      queue=("${queue[@]:1}")
      for k in $(cat /proc/"$p"/task/*/children 2>/dev/null); do
        [ "$(readlink /proc/"$k"/exe 2>/dev/null)" = "$BIN" ] && { echo "$k"; return 0; }
        queue+=("$k")
      done
    done
    sleep 0.05
  done
  return 1
}

ok() { PASSES=$((PASSES + 1)); }
fail() { FAILS=$((FAILS + 1)); echo "FAIL: $*"; }
check() {  # check "description" command...
  local what=$1
  shift
  if "$@" >/dev/null; then ok; else fail "$what"; fi
}
finish() {
  echo "$PASSES passed, $FAILS failed"
  [ "$FAILS" = 0 ]
}

# Every line of a file parses as JSON.
all_json() { jq -c . "$1" >/dev/null 2>&1; }
