# The tombstone, the RT-throttling check, the signals and the cpuset isolation, each in a private
# mount namespace; isolation only ever sees a fake cpuset tree mounted over the real one.
source "$(dirname "$0")/lib.bash"
need_root
export BIN
TS=/tmp/.tallyfox_tombstone
FULL=(--full --json --seconds 0.2 --subtests int_scalar,crc32c)

# A fake flat cpuset hierarchy over /sys/fs/cgroup/cpuset; the setup fails when it cannot be
# mounted, so the real hierarchy is never touched.
FAKE_CPUSET='mkdir -p /tmp/cs && echo 0-1 > /tmp/cs/cpuset.cpus && echo 0 > /tmp/cs/cpuset.mems &&
  printf "1\n999991\n999992\n" > /tmp/cs/tasks &&
  '"$CPUSET_MOUNT_POINT"' && mount --bind /tmp/cs /sys/fs/cgroup/cpuset || exit 90
  [ "$(cat /sys/fs/cgroup/cpuset/tasks | wc -l)" = 3 ] || exit 91
  '"$(fake_kernel 999992)"
# The root's list once the run is over: the fake kernel emptied it when the run moved its last
# task, so the ids are there only if the release wrote them back.
CPUSET_STATE='echo "rest=$([ -e /tmp/cs/tallyfox_rest ] && echo yes || echo no) tasks=$(tr "\n" " " < /tmp/cs/tasks)"'

# --- tombstone present: a full run refuses rt once, says so, and removes it at its clean end
TFX_CLI_CONSENT=1 AFTER='[ -e /tmp/.tallyfox_tombstone ] && echo LEFT' \
  ns "touch $TS" "${FULL[@]}" </dev/null >"$WORK/out" 2>"$WORK/err"
check "tombstone message" grep -qx "tallyfox: tombstone $TS present (previous run did not exit cleanly) — refusing --quiesce=rt for this run" "$WORK/err"
check "the run went on at none" jq -se '.[-1].quiesce == "none"' "$WORK/out"
check "a clean end removes the tombstone" bash -c "! grep -q LEFT '$WORK/err'"

TFX_CLI_CONSENT=1 ns "touch $TS" "${FULL[@]}" --quiesce none </dev/null >/dev/null 2>"$WORK/err"
check "with --quiesce none nothing is said" [ ! -s "$WORK/err" ]

# --- a probe creates and removes the tombstone
AFTER='cat /tmp/seen 2>/dev/null; [ -e /tmp/.tallyfox_tombstone ] && echo LEFT' \
  ns '( for i in $(seq 60); do [ -e /tmp/.tallyfox_tombstone ] && { echo SEEN > /tmp/seen; break; }; sleep 0.05; done ) &' \
  --probe --json </dev/null >/dev/null 2>"$WORK/err"
check "a probe creates the tombstone" grep -qx SEEN "$WORK/err"
check "and removes it" bash -c "! grep -q LEFT '$WORK/err'"

# --- a symbolic link at the tombstone path is never followed
AFTER='[ -e /tmp/target ] && echo CREATED; [ -L /tmp/.tallyfox_tombstone ] && echo LINK' \
  ns "ln -s /tmp/target $TS" --probe </dev/null >/dev/null 2>"$WORK/err"
check "a link's target is not created" bash -c "! grep -q CREATED '$WORK/err'"

# --- a second run while one is measuring is refused and leaves the first one's tombstone alone
TFX_CLI_CONSENT=1 AFTER='cat /tmp/first.status' ns '
  "$BIN" --full --json --seconds 0.3 --subtests int_scalar >/tmp/first.out 2>&1 &
  p=$!; sleep 0.6
  "$BIN" --probe >/tmp/second.out 2>&1; echo "second=$? $(cat /tmp/second.out)" >&2
  [ -e /tmp/.tallyfox_tombstone ] && echo "first-still-marked" >&2
  wait $p; echo "first=$?" > /tmp/first.status' --version </dev/null >/dev/null 2>"$WORK/err"
check "the second run is refused with status 1" grep -qx "second=1 tallyfox: another run is measuring on this machine ($TS is held) — not starting" "$WORK/err"
check "the first run keeps its tombstone and ends normally" bash -c "grep -q first-still-marked '$WORK/err' && grep -qx 'first=[02]' '$WORK/err'"

# --- RT throttling disabled refuses L1
TFX_CLI_CONSENT=1 ns "echo -1 > /tmp/rt && mount --bind /tmp/rt /proc/sys/kernel/sched_rt_runtime_us || exit 90" "${FULL[@]}" \
  </dev/null >"$WORK/out" 2>"$WORK/err"
check "sched_rt_runtime_us=-1 message" grep -qx "tallyfox: sched_rt_runtime_us=-1 (RT throttling disabled) — refusing L1, falling back to SCHED_OTHER" "$WORK/err"
check "the run reports rt_runtime_us -1" jq -se '.[0].rt_runtime_us == -1 and .[-1].quiesce == "none"' "$WORK/out"

# --- isolation on the fake tree: moved and released
TFX_CLI_CONSENT=1 AFTER="$CPUSET_STATE" ns "$FAKE_CPUSET" "${FULL[@]}" --quiesce isolate --cpus 1 \
  </dev/null >"$WORK/out" 2>"$WORK/err"
check "isolated run reports isolate" jq -se '.[-1].quiesce == "isolate" and .[-1].cpus_used == 1' "$WORK/out"
check "after the run the rest cpuset is gone and the tasks are back" grep -qx "rest=no tasks=999991 999992 " "$WORK/err"

ns "$FAKE_CPUSET" --probe --quiesce isolate </dev/null >/dev/null 2>"$WORK/err"
check "isolate in a probe falls back to rt" grep -qx "tallyfox: --quiesce isolate is full-mode only; using rt" "$WORK/err"

TFX_CLI_CONSENT=1 ns "$FAKE_CPUSET" "${FULL[@]}" --quiesce isolate </dev/null >"$WORK/out" 2>"$WORK/err"
check "every cpu a bench cpu falls back to rt" grep -qx "tallyfox: L2 isolate unavailable (every cpu is a bench cpu — nowhere to move anything) — falling back to rt" "$WORK/err"

# --- a fall-back to rt gets exactly the seatbelts of a direct rt: refused with throttling off or
# a tombstone present (the run goes on at none with every CPU), and otherwise one of its two CPUs
# left free. A nested cpuset in the fake tree makes isolation fail wherever the test runs.
NESTED_CPUSET="$FAKE_CPUSET
  mkdir /tmp/cs/docker && echo 0 > /tmp/cs/docker/cpuset.cpus"
RT_OFF='echo -1 > /tmp/rt && mount --bind /tmp/rt /proc/sys/kernel/sched_rt_runtime_us || exit 90'
ISOLATE_FAILS="tallyfox: L2 isolate unavailable (cpuset hierarchy is not flat (found 'docker')) — falling back to rt"
PROBE_ISOLATE="tallyfox: --quiesce isolate is full-mode only; using rt"
TOMBSTONE_REFUSAL="tallyfox: tombstone $TS present (previous run did not exit cleanly) — refusing --quiesce=rt for this run"
THROTTLING_REFUSAL="tallyfox: sched_rt_runtime_us=-1 (RT throttling disabled) — refusing L1, falling back to SCHED_OTHER"
fallback() {  # fallback NAME SETUP MODE QUIESCE CPUS_USED MESSAGE...
  local name=$1 setup=$2 mode=$3 quiesce=$4 used=$5
  shift 5
  # Short phases: only the level and the CPUs are looked at.
  TFX_CLI_CONSENT=1 ns "$NESTED_CPUSET; $setup" "$mode" --json --quiesce isolate --cpus 0,1 --seconds 0.01 \
    --subtests int_scalar </dev/null >"$WORK/out" 2>"$WORK/err"
  check "fall-back, $name: the messages" [ "$(cat "$WORK/err")" = "$(printf '%s\n' "$@")" ]
  check "fall-back, $name: runs at $quiesce on $used CPUs" \
    jq -se ".[-1].quiesce == \"$quiesce\" and .[-1].cpus_used == $used" "$WORK/out"
}
fallback "full run" "" --full rt 1 "$ISOLATE_FAILS"
fallback "full run, throttling off" "$RT_OFF" --full none 2 "$ISOLATE_FAILS" "$THROTTLING_REFUSAL"
fallback "full run, tombstone" "touch $TS" --full none 2 "$ISOLATE_FAILS" "$TOMBSTONE_REFUSAL"
fallback "probe" "" --probe rt 1 "$PROBE_ISOLATE"
fallback "probe, throttling off" "$RT_OFF" --probe none 2 "$PROBE_ISOLATE" "$THROTTLING_REFUSAL"
fallback "probe, tombstone and throttling off" "touch $TS; $RT_OFF" --probe none 2 "$PROBE_ISOLATE" "$TOMBSTONE_REFUSAL"

# --- fatal signals during an isolated full run: cleanup, then death by that signal
# The run starts with SIGINT and SIGHUP at their defaults whatever this script inherited: a run keeps
# them ignored when they were (nohup, a background job).
for sig in TERM INT HUP; do
  ( TFX_CLI_CONSENT=1 AFTER="$CPUSET_STATE; [ -e $TS ] && echo LEFT" BIN=/usr/bin/env ns "$FAKE_CPUSET" \
      --default-signal=INT,HUP "$BIN" --full --json --seconds 1 --quiesce isolate --cpus 1 \
      </dev/null >/dev/null 2>"$WORK/sig.err"; echo $? >"$WORK/sig.status" ) &
  runner=$!
  pid=$(started $runner)
  found "$pid" "SIG$sig"
  check "SIG$sig: the run isolates" isolated "$pid" 999992
  sleep 0.5
  kill -"$sig" "$pid"
  wait "$runner"
  num=$(kill -l "$sig")
  check "SIG$sig: the process dies by it" [ "$(cat "$WORK/sig.status")" = $((128 + num)) ]
  check "SIG$sig: cpuset released, tombstone gone" bash -c "grep -qx 'rest=no tasks=999991 999992 ' '$WORK/sig.err' && ! grep -q LEFT '$WORK/sig.err'"
done

# --- the reader of a JSON stream goes away: SIGPIPE runs the cleanup too
TFX_CLI_CONSENT=1 AFTER="$CPUSET_STATE; [ -e $TS ] && echo LEFT" \
  ns "$FAKE_CPUSET" --full --json --seconds 0.2 --quiesce isolate --cpus 1 </dev/null 2>"$WORK/err" |
  ( IFS= read -r _; sleep 0.3 )  # the start event (isolated by then), then the reader goes
check "reader gone: cpuset released, tombstone gone" bash -c "grep -qx 'rest=no tasks=999991 999992 ' '$WORK/err' && ! grep -q LEFT '$WORK/err'"

# --- SIGKILL of the run alone: its guardian gives the tasks back, removes the rest cpuset and the
# tombstone within a second, and ends
TFX_CLI_CONSENT=1 AFTER="$CPUSET_STATE; [ -e $TS ] && echo LEFT" \
  ns "$FAKE_CPUSET
  \"\$BIN\" --full --json --seconds 1 --quiesce isolate --cpus 1 >/dev/null 2>&1 &
  p=\$!
  for i in \$(seq 200); do grep -qx 999992 /tmp/cs/tallyfox_rest/tasks 2>/dev/null && break; sleep 0.05; done
  g=\$(pgrep -P \$p -x tallyfox-guard); [ -n \"\$g\" ] || echo NO-GUARDIAN >&2
  [ \"\$(tr -d '\\0' < /proc/\$g/cmdline)\" = tallyfox-guard ] || echo GUARDIAN-NAMED-AS-THE-RUN >&2
  sleep 0.3; kill -KILL \$p; wait \$p
  for i in \$(seq 20); do [ -e /tmp/cs/tallyfox_rest ] || break; sleep 0.05; done
  sleep 0.2; grep -q '^State:.[^Z]' /proc/\$g/status 2>/dev/null && echo GUARDIAN-LEFT >&2" \
  --version </dev/null >/dev/null 2>"$WORK/err"
check "SIGKILL: the guardian gives the tasks back, removes the cpuset and the tombstone, and ends" \
  bash -c "grep -qx 'rest=no tasks=999991 999992 ' '$WORK/err' && ! grep -q 'LEFT\|NO-GUARDIAN\|NAMED' '$WORK/err'"

# --- SIGKILL of the run and its guardian leaves the tombstone and the rest cpuset. Any next start
# (here a full run at the default level) gives the tasks back, removes the cpuset and says so; it
# refuses rt once.
TFX_CLI_CONSENT=1 AFTER="$CPUSET_STATE; cat /tmp/second.err; [ -e $TS ] && echo LEFT" ns "$FAKE_CPUSET
  \"\$BIN\" --full --json --seconds 1 --quiesce isolate --cpus 1 >/dev/null 2>&1 &
  p=\$!
  for i in \$(seq 200); do grep -qx 999992 /tmp/cs/tallyfox_rest/tasks 2>/dev/null && break; sleep 0.05; done
  g=\$(pgrep -P \$p -x tallyfox-guard); [ -n \"\$g\" ] || echo NO-GUARDIAN >&2
  sleep 0.3; kill -KILL \$g; kill -KILL \$p; wait \$p  # the guardian first, so it never acts
  [ -e $TS ] && echo KILLED-LEFT-TOMBSTONE >&2
  [ -e /tmp/cs/tallyfox_rest ] && [ ! -s /tmp/cs/tasks ] && echo KILLED-LEFT-REST >&2
  \"\$BIN\" ${FULL[*]} >/dev/null 2>/tmp/second.err" \
  --version </dev/null >/dev/null 2>"$WORK/err"
check "SIGKILL of both leaves the tombstone and the rest cpuset" bash -c "grep -q KILLED-LEFT-TOMBSTONE '$WORK/err' && grep -q KILLED-LEFT-REST '$WORK/err' && ! grep -q NO-GUARDIAN '$WORK/err'"
check "the next start refuses rt once" grep -q "refusing --quiesce=rt for this run" "$WORK/err"
check "the next start gives the tasks back, removes the cpuset and says so" \
  bash -c "grep -qx 'rest=no tasks=999991 999992 ' '$WORK/err' && ! grep -q '^LEFT' '$WORK/err' &&
    grep -qx 'tallyfox: cpuset tallyfox_rest of a run that is no longer running was left behind: moved its 2 tasks back and removed it' '$WORK/err'"

# --- a leftover rest cpuset and an empty root list, without a tombstone: any start repairs it
AFTER="$CPUSET_STATE" ns "mkdir -p /tmp/cs/tallyfox_rest && echo 0 > /tmp/cs/cpuset.cpus && echo 0 > /tmp/cs/cpuset.mems &&
  : > /tmp/cs/tasks && printf '999993\n' > /tmp/cs/tallyfox_rest/tasks && echo 0 > /tmp/cs/tallyfox_rest/cpuset.cpus &&
  $CPUSET_MOUNT_POINT && mount --bind /tmp/cs /sys/fs/cgroup/cpuset || exit 90" \
  --probe --json </dev/null >/dev/null 2>"$WORK/err"
check "a leftover cpuset: its task is back in the root and it is gone" grep -qx 'rest=no tasks=999993 ' "$WORK/err"

finish
