# The verdict's rows on a machine made to misbehave with fixture files mounted over /proc and
# /sys in a private namespace: steal that grows, a temperature past the mark, a sagging clock,
# and a busy loop competing for the bench CPU.
source "$(dirname "$0")/lib.bash"
need_root
# Real-time workers (the full run's default) keep other load on this machine from turning a
# thermal or clock case into a contended one.
RUN=(--full --json --seconds 0.3 --subtests int_scalar)

# The machine's own steal (this is a shared VM) must not decide the cases that are not about it.
STILL_STEAL='printf "cpu  10 0 10 100 0 0 0 5\n" > /tmp/stat0 && mount --bind /tmp/stat0 /proc/stat || exit 90'

verdict() { jq -r 'select(.event=="result") | .verdict' "$1"; }
why() { jq -r 'select(.event=="result") | .verdict_why' "$1"; }

# --- steal grows by 100 ticks during the run
STEAL='printf "cpu  10 0 10 100 0 0 0 100\n" > /tmp/stat && mount --bind /tmp/stat /proc/stat || exit 90
  ( sleep 0.7; printf "cpu  10 0 10 100 0 0 0 200\n" > /tmp/stat ) &'
TFX_CLI_CONSENT=1 ns "$STEAL" "${RUN[@]}" </dev/null >"$WORK/out" 2>"$WORK/err"
check "growing steal gives contended ($(verdict "$WORK/out"))" [ "$(verdict "$WORK/out")" = contended ]
check "the reason carries the steal" grep -q 'steal +100)' <<<"$(why "$WORK/out")"

# --- a CPU sensor at 96 °C: the notice once, and throttled
HOT=$STILL_STEAL'
  mount -t tmpfs tmpfs /sys/class && mkdir -p /sys/class/hwmon/hwmon0 || exit 90
  echo coretemp > /sys/class/hwmon/hwmon0/name && echo 96000 > /sys/class/hwmon/hwmon0/temp1_input'
TFX_CLI_CONSENT=1 ns "$HOT" "${RUN[@]}" </dev/null >"$WORK/out" 2>"$WORK/err"
status=$?
check "the 95 °C notice is printed once" [ "$(grep -c '°C reached (95°C mark)' "$WORK/err")" = 1 ]
check "exactly the notice text" grep -qx 'tallyfox: 96.0°C reached (95°C mark) — measuring the sustained state, not stopping' "$WORK/err"
check "hot gives throttled ($(verdict "$WORK/out"))" [ "$(verdict "$WORK/out")" = throttled ]
check "hot run: status 0, thermal limited" bash -c "[ $status = 0 ] && jq -se '.[-1].thermal.limited == 1 and .[-1].thermal.peak_c == 96 and .[0].thermal_c == 96' '$WORK/out'"

# --- hot and contended: untrusted, status 2
TFX_CLI_CONSENT=1 ns "$HOT
  $STEAL" "${RUN[@]}" </dev/null >"$WORK/out" 2>/dev/null
status=$?
check "hot and contended gives untrusted with status 2" [ "$(verdict "$WORK/out") $status" = "untrusted 2" ]

# --- a clock that keeps sagging below 0.9 of its peak on the bench CPUs
SAG=$STILL_STEAL'
  mkdir -p /tmp/cpu && cp -r /sys/devices/system/cpu/. /tmp/cpu/ 2>/dev/null
  for c in /tmp/cpu/cpu[0-9]*; do mkdir -p $c/cpufreq && echo 2000000 > $c/cpufreq/cpuinfo_max_freq &&
    echo 2000000 > $c/cpufreq/scaling_cur_freq; done
  mount --bind /tmp/cpu /sys/devices/system/cpu || exit 90
  ( while :; do for f in 1500000 2000000; do for c in /tmp/cpu/cpu[0-9]*; do echo $f > $c/cpufreq/scaling_cur_freq; done; sleep 0.12; done; done ) &'
TFX_CLI_CONSENT=1 ns "$SAG" --full --json --seconds 1 --subtests int_scalar </dev/null >"$WORK/out" 2>"$WORK/err"
check "a sagging clock gives throttled ($(verdict "$WORK/out"): $(why "$WORK/out"))" [ "$(verdict "$WORK/out")" = throttled ]
check "clock figures reach the events" jq -se '.[0].max_mhz == 2000 and ([.[] | select(.event=="subtest")][-1] | .khz_lo == 1500000 and .khz_hi == 2000000) and .[-1].thermal.clock_ratio == 0.75' "$WORK/out"

# --- a busy loop pinned on the bench CPU without real-time priority
BUSY='taskset -c 0 sh -c "while :; do :; done" & echo $! > /tmp/busy'
TFX_CLI_CONSENT=1 AFTER='kill $(cat /tmp/busy)' ns "$BUSY" --full --json --quiesce none --cpus 0 --seconds 0.3 \
  --subtests int_scalar </dev/null >"$WORK/out" 2>/dev/null
check "a competing busy loop gives contended ($(verdict "$WORK/out"))" [ "$(verdict "$WORK/out")" = contended ]
check "with the wait figure in the reason, not stalls" grep -Eq '^runqueue wait [0-9]+\.[0-9]% of on-cpu time' <<<"$(why "$WORK/out")"

# --- hidden stalls: a helper stops the run for 20 ms in every 100 ms. No run-queue wait or steal
# shows that; the workers' own chunk timings do. The helper signals only our tallyfox and ends
# with it.
STOPPER=$STILL_STEAL'
  ( for _ in $(seq 100); do pid=$(pgrep -P $$ -x tallyfox) && break; sleep 0.02; done
    while kill -STOP $pid 2>/dev/null; do sleep 0.02; kill -CONT $pid; sleep 0.08; done ) &'
TFX_CLI_CONSENT=1 ns "$STOPPER" --full --json --seconds 0.3 --subtests int_scalar </dev/null >"$WORK/out" 2>/dev/null
check "stopped 20 ms in 100: contended by hidden stalls ($(verdict "$WORK/out"): $(why "$WORK/out"))" \
  grep -Eq '^hidden stalls [0-9.]+% of phase time \(longest [0-9]+ ms\) — paused without run-queue wait or steal' <<<"$(why "$WORK/out")"
check "the stall share is near 20 %" jq -se '.[-1].stalls.pct > 10 and .[-1].stalls.pct < 40 and .[-1].stalls.longest_ms >= 15' "$WORK/out"

# --- left alone at the default real-time level, with short phases: the workers keep their CPU
# whatever else the machine runs, so the run makes its own quiet. Real-time throttling pauses them
# 50 ms in every second and the kernel counts that as wait; pooled over the rounds it is within
# what the threshold allows, even where one 0.3 s phase holds a whole pause. Not contended: clean,
# or indicative where a loaded host's speed kept the rounds from a precision within 5 %.
TFX_CLI_CONSENT=1 ns "$STILL_STEAL" --full --json --seconds 0.3 --subtests int_scalar,fp_scalar,sha256 \
  </dev/null >"$WORK/out" 2>/dev/null
check "a quiet run at rt with 0.3 s phases is not contended ($(verdict "$WORK/out"): $(why "$WORK/out"))" \
  jq -se '.[-1] | (.verdict == "clean" or .verdict == "indicative") and .quiesce == "rt" and
    .stalls.pct < .stalls.threshold_pct and
    (.verdict_why | test("^runqueue wait [0-9.]+%(, |$| \\[)")) and
    (.verdict_why | capture("^runqueue wait (?<w>[0-9.]+)%").w | tonumber) < .stalls.threshold_pct' "$WORK/out"

# --- nothing to read: no cpufreq and no sensors at all; no figure may look measured
NOTHING=$STILL_STEAL'
  mount -t tmpfs tmpfs /sys/class || exit 90
  mkdir -p /tmp/cpu && cp -r /sys/devices/system/cpu/. /tmp/cpu/ 2>/dev/null; rm -rf /tmp/cpu/cpufreq /tmp/cpu/cpu[0-9]*/cpufreq
  mount --bind /tmp/cpu /sys/devices/system/cpu || exit 90'
TFX_CLI_CONSENT=1 ns "$NOTHING" "${RUN[@]}" </dev/null >"$WORK/out" 2>/dev/null
check "no sensors: thermal_c 0.0, clock ratio 1, peak 0" bash -c "grep -q '\"thermal_c\":0.0,' '$WORK/out' && jq -se '.[-1].thermal.clock_ratio == 1 and .[-1].thermal.peak_c == 0' '$WORK/out'"
check "no sensors: the reason shows no clock or temperature figure ($(why "$WORK/out"))" \
  bash -c '! grep -Eq "freq stable|thermal max|clock held" <<<"$1"' _ "$(why "$WORK/out")"
check "no sensors: a calm run says what could not be read" \
  bash -c '[ "$1" != clean ] || grep -Eq "^runqueue wait [0-9.]+%(, clock not readable, no temperature sensor)?( \[precision: [^]]*\])?( \[machine speed moved [^]]*\])?$" <<<"$2"' _ \
  "$(verdict "$WORK/out")" "$(why "$WORK/out")"

# --- hot and sagging in round 1 only, stopped in round 2: the verdict and thermal figures are the
# whole run's, not the last pass's. The helper watches the run's own output through its inherited
# descriptor, cools the machine when round 1 is reported, and stops only our tallyfox 0.05 s into
# round 2, before any clock sample of that round: the reason still names round 1's clock. Each
# clock holds for 250 ms, so the sampler (every 100 ms) sees both, whatever its phase against the
# writer; a faster toggle can alias with it and show one clock only.
ROUND1=$STILL_STEAL'
  mount -t tmpfs tmpfs /sys/class && mkdir -p /sys/class/hwmon/hwmon0 || exit 90
  echo coretemp > /sys/class/hwmon/hwmon0/name && echo 96000 > /sys/class/hwmon/hwmon0/temp1_input
  mkdir -p /tmp/cpu && cp -r /sys/devices/system/cpu/. /tmp/cpu/ 2>/dev/null
  for c in /tmp/cpu/cpu[0-9]*; do mkdir -p $c/cpufreq && echo 2000000 > $c/cpufreq/cpuinfo_max_freq &&
    echo 2000000 > $c/cpufreq/scaling_cur_freq; done
  mount --bind /tmp/cpu /sys/devices/system/cpu || exit 90
  ( out=/proc/$BASHPID/fd/1
    ( while :; do
        for f in 1500000 2000000; do for c in /tmp/cpu/cpu[0-9]*; do echo $f > $c/cpufreq/scaling_cur_freq; done; sleep 0.25; done
      done ) &
    sag=$!
    for _ in $(seq 3000); do grep -q "\"event\":\"round\"" $out && break; sleep 0.02; done
    kill $sag; wait $sag 2>/dev/null
    echo 60000 > /sys/class/hwmon/hwmon0/temp1_input
    for c in /tmp/cpu/cpu[0-9]*; do echo 2000000 > $c/cpufreq/scaling_cur_freq; done
    sleep 0.05
    pkill -USR1 -P $$ -x tallyfox ) &'
TFX_CLI_CONSENT=1 ns "$ROUND1" --full --json --seconds 1 --subtests int_scalar </dev/null >"$WORK/out" 2>/dev/null
check "round-1 heat and sag, stopped in round 2: throttled ($(verdict "$WORK/out"): $(why "$WORK/out"))" \
  [ "$(verdict "$WORK/out")" = throttled ]
check "the result keeps the run's peak and lowest clock ratio" \
  jq -se '.[-1].convergence.rounds == 1 and .[-1].thermal.peak_c == 96 and .[-1].thermal.clock_ratio == 0.75' "$WORK/out"
check "the reason names the peak of the run" grep -q 'reached 96.0°C and the clock held at 75%' <<<"$(why "$WORK/out")"

finish
