# Shared helpers of the end-to-end scripts. Each script is run as: bash script.sh BINARY FIXTURES
# Every run of the binary happens in a private mount namespace with its own tmpfs /tmp, so the
# tombstone of a test never meets the machine's or another test's.
set -u
# Patterns match multi-byte text (box drawing, "°C", "▸") as single characters, and tmux draws it,
# only in a UTF-8 locale; the suite may be started without any locale.
export LC_ALL=C.UTF-8
BIN=${1:?binary}
FIXTURES=${2:?fixtures}
FAILS=0
PASSES=0
# Outside /tmp, so the runs' namespaces (which replace /tmp) see it too: a script may work from it.
WORK=$(mktemp -d -p /var/tmp tfx-e2e-work-XXXXXX)
# descendants PID: every process below PID, parents before their children.
descendants() {
  local queue=("$1") p k
  while [ ${#queue[@]} -gt 0 ]; do
    p=${queue[0]}
    queue=("${queue[@]:1}")
    for k in $(cat /proc/"$p"/task/*/children 2>/dev/null); do
      echo "$k"
      queue+=("$k")
    done
  done
}
# tm ARGS...: tmux on a server of this script's own, whose socket lives in $WORK (a server on the
# default socket would leave it in /tmp/tmux-UID after kill-server). The server stays up when its
# last session is closed: one that exits then races the next case's new-session ("server exited
# unexpectedly"); the EXIT trap stops it.
TMUX_CONF=$WORK/tmux.conf
echo 'set -s exit-empty off' >"$TMUX_CONF"
tm() { tmux -S "$WORK/tmux.sock" -f "$TMUX_CONF" "$@"; }
# The EXIT trap: stops the tmux server (and with it every pane's run), every background job the
# script left running and all they started (a run the script gave up waiting for), and removes
# the script's files.
cleanup_lib() {
  local j pids=()
  trap '' TERM HUP INT
  [ -S "$WORK/tmux.sock" ] && tmux -S "$WORK/tmux.sock" kill-server 2>/dev/null
  for j in $(jobs -p); do pids+=("$j" $(descendants "$j")); done
  [ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null
  rm -rf "$WORK" ${BIN_COPY:+"$BIN_COPY"}
}
trap cleanup_lib EXIT
# A script ended by a signal (a CTest timeout) still runs its EXIT trap.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
# Runs replace /tmp with a private tmpfs; a binary built under /tmp would vanish from their view,
# so it is run from a copy outside /tmp (the same bytes, so the same fingerprint).
BIN=$(realpath "$BIN")
case $BIN in
  /tmp/*)
    BIN_COPY=$(mktemp -d -p /var/tmp tfx-e2e-XXXXXX)
    cp "$BIN" "$BIN_COPY/tallyfox"
    BIN=$BIN_COPY/tallyfox ;;
esac

# Setup for ns: a mount point for the fake cpuset tree. A host with a cgroup-v1 cpuset has one;
# elsewhere (cgroup v2 only) a directory made in /sys/fs/cgroup would be a real cgroup of the
# machine, so a private tmpfs goes over /sys/fs/cgroup first.
CPUSET_MOUNT_POINT='{ [ -d /sys/fs/cgroup/cpuset ] ||
  { mount -t tmpfs tmpfs /sys/fs/cgroup && mkdir /sys/fs/cgroup/cpuset; }; }'
# Setup text: the kernel's part of a move in the fake tree. A task written into a cpuset's tasks
# file leaves the root's list, so once the run has moved the root's last listed task (LAST_ID),
# the root's file is emptied: afterwards only a write-back brings the ids back, and a check that
# reads them there fails when the release never wrote them. It runs in the background for at most
# a minute; the namespace's end stops it.
fake_kernel() {  # fake_kernel LAST_ID
  echo "( for i in \$(seq 1200); do grep -qx $1 /tmp/cs/tallyfox_rest/tasks 2>/dev/null && { : > /tmp/cs/tasks; exit; }; sleep 0.05; done ) &"
}
# Setup for ns: a fake flat cpuset hierarchy over /sys/fs/cgroup/cpuset (in the run's own /tmp),
# so isolation only ever sees this tree; the setup fails when it cannot be mounted. The task a run
# moves is 999991; RELEASED is true once it is back in the root and the rest cpuset is gone.
FAKE_CPUSET='mkdir -p /tmp/cs && echo 0-1 > /tmp/cs/cpuset.cpus && echo 0 > /tmp/cs/cpuset.mems &&
  printf "1\n999991\n" > /tmp/cs/tasks && '"$CPUSET_MOUNT_POINT"' && mount --bind /tmp/cs /sys/fs/cgroup/cpuset || exit 90
  '"$(fake_kernel 999991)"
RELEASED='{ grep -qx 999991 /tmp/cs/tasks && [ ! -e /tmp/cs/tallyfox_rest ]; }'

# skip REASON: this script cannot run here. Status 77 is a skip for CTest; where the whole suite
# must run (TFX_E2E_REQUIRED=1, as CI sets it) it is a failure instead.
skip() {
  if [ "${TFX_E2E_REQUIRED:-0}" = 1 ]; then
    echo "FAIL: did not run: $*"
    exit 1
  fi
  echo "skipped: $*"
  exit 77
}
need_root() {
  [ "$(id -u)" = 0 ] ||
    skip "needs root, to run the binary in private mount namespaces; run the suite as root (sudo tools/test.sh)"
  local err
  err=$(unshare --mount --propagation private true 2>&1) ||
    skip "needs mount namespaces, and 'unshare --mount --propagation private' failed (${err:-no message});" \
      "run the suite on a machine, VM or privileged container that allows it; in a chroot, make its" \
      "root a mount point first (mount --bind DIR DIR, then chroot DIR)"
}
# Interpreters by absolute path: a version manager's shim earlier in PATH may not run, or may
# exit with a status a check expects, where the binary would have been tested.
PYTHON=/usr/bin/python3
# need_command COMMAND PACKAGE
need_command() {
  command -v "$1" >/dev/null ||
    skip "needs $1 (apt-get install $2; tools/test.sh run as root installs it)"
}

# ns 'setup commands' binary-args...: runs the binary in a private namespace after the setup
# commands (mounts over /proc or /sys files). The commands in $AFTER run afterwards in the same
# namespace (to look at what the run left in /tmp); the binary's status is returned.
ns() {
  local setup=$1
  shift
  unshare --mount --propagation private bash -c '
    # Helpers the setup starts in the background (a loop rewriting a fixture, a busy loop) each
    # get a process group of their own, which is stopped with all it started when this shell ends.
    stop_helpers() { local j; for j in $(jobs -p); do kill -- "-$j" 2>/dev/null; done; }
    trap stop_helpers EXIT
    trap "exit 143" TERM
    trap "exit 129" HUP
    mount -t tmpfs tmpfs /tmp || exit 90
    [ "$PWD" -ef . ] 2>/dev/null || cd /  # a directory under the replaced /tmp is gone here
    set -m
    eval "$1"
    set +m
    shift
    "$@"
    status=$?
    eval "${AFTER:-}" >&2
    exit $status' ns "$setup" "$BIN" "$@"
}

# runs_bin PID: PID, or a process under it, runs the binary within 10 s: a check that the case
# measured the binary and not whatever stood in its place (a wrapper that exited early).
runs_bin() {
  local i k
  for ((i = 0; i < 200; i++)); do
    [ /proc/"$1"/exe -ef "$BIN" ] && return 0
    for k in $(descendants "$1"); do [ /proc/"$k"/exe -ef "$BIN" ] && return 0; done
    sleep 0.05
  done
  return 1
}
# isolated PID ID: the run PID (or any process in its namespace) has moved task ID into the fake
# tree's rest cpuset, within 20 s (a sanitized binary starts slowly): a signal sent after this
# tests a release, not a run that ended before it isolated anything.
isolated() {
  local i
  for ((i = 0; i < 400; i++)); do
    grep -qx "$2" "/proc/$1/root/tmp/cs/tallyfox_rest/tasks" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
# started ROOT: the pid of the binary among the descendants of ROOT (a process this script
# started), waiting up to 10 s for it to run; a signal then never reaches anyone else's tallyfox.
# The binary is matched as a file, not by its path: in a chroot, /proc/PID/exe of a process in
# another mount namespace names the path outside the chroot. Finding nothing says so on stderr;
# callers end the script then (see found), since a check of a run never found tests nothing.
started() {
  local i k
  for ((i = 0; i < 200; i++)); do
    for k in $(descendants "$1"); do
      [ /proc/"$k"/exe -ef "$BIN" ] && { echo "$k"; return 0; }
    done
    sleep 0.05
  done
  echo "no process running $BIN under $1 within 10 s; under it:" >&2
  describe_tree "$1" >&2
  return 1
}
# describe_tree PID: PID and its descendants, one line each: pid, state, command line.
describe_tree() {
  local p
  for p in "$1" $(descendants "$1"); do
    echo "  $p $(sed -n 's/^State:[[:space:]]*//p' /proc/"$p"/status 2>/dev/null || echo gone):" \
      "$(tr '\0' ' ' 2>/dev/null </proc/"$p"/cmdline)"
  done
}
# found PID WHAT: PID is empty when a lookup found nothing; the script then fails at once rather
# than signal nobody and check a run that went its own way.
found() {
  [ -n "$1" ] && return 0
  fail "$2: the run's process was not found; giving up"
  finish
  exit 1
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

# The deadline. CTest ends a test that overstays its TIMEOUT with SIGKILL, which no trap sees, so
# every script ends itself first (TFX_E2E_SECONDS, which the build sets 30 s short of the
# TIMEOUT): a watchdog job says so, shows what the script was running, and signals every process
# below the script and then the script, whose EXIT trap then stops the rest (its tmux server) and
# removes its files; whatever still runs 15 s later is killed. The watchdog stays in the script's
# process group, so Ctrl-C at a terminal still reaches the script.
E2E_SECONDS=${TFX_E2E_SECONDS:-370}
(
  sleep "$E2E_SECONDS" &
  wait $!
  me=$BASHPID
  {
    echo "FAIL: $(basename "$0") overstayed its ${E2E_SECONDS} s deadline; it was running:"
    describe_tree $$
  } >&2
  kill -TERM $(descendants $$ | grep -vx "$me") 2>/dev/null
  kill -TERM $$
  sleep 15
  kill -KILL $(descendants $$ | grep -vx "$me") $$ 2>/dev/null
) &
