# Every pseudo-file the program reads, replaced by an empty file, a 1 MiB file, binary garbage,
# numbers out of range or a directory: the run never crashes or hangs, and falls back.
# (Under the asan preset this runs the AddressSanitizer binary, so out-of-bounds writes show.)
source "$(dirname "$0")/lib.bash"
need_root

# Contents by kind; "dir" makes a directory where the file was.
make_kind() {  # make_kind KIND PATH
  case $1 in
    empty) : >"$2" ;;
    huge) head -c 1048576 /dev/zero | tr '\0' '7' >"$2" ;;
    binary) head -c 4096 /dev/urandom >"$2" ;;
    range) printf '99999999999999999999999999 -99999999999999999999 nan 1e999\n' >"$2" ;;
    negative) printf -- '-5\n' >"$2" ;;
    dir) mkdir -p "$2" ;;
  esac
}
KINDS="empty huge binary range negative"

# Files under /proc that can be replaced by a bind mount of a file.
PROC_FILES="/proc/cpuinfo /proc/stat /proc/sys/kernel/sched_rt_runtime_us /sys/devices/system/cpu/isolated"
for f in $PROC_FILES; do
  [ -e "$f" ] || continue
  for kind in $KINDS; do
    ns "$(declare -f make_kind); make_kind $kind /tmp/fx && mount --bind /tmp/fx $f || exit 90" \
      --probe --json </dev/null >"$WORK/out" 2>"$WORK/err" &
    pid=$!
    # The guard's sleep is exec'ed, so stopping the guard stops the sleep too: nothing is left.
    ( exec sleep 20 ) & guard=$!
    ( wait_guard() { while kill -0 $guard 2>/dev/null && kill -0 $pid 2>/dev/null; do sleep 0.2; done
        kill -0 $pid 2>/dev/null && kill -9 $pid 2>/dev/null; }; wait_guard ) & watcher=$!
    wait $pid; status=$?
    kill $guard 2>/dev/null; wait $guard $watcher 2>/dev/null
    check "$f as $kind: status 0 and a result (got $status)" \
      bash -c "[ $status = 0 ] && jq -se '.[-1].event == \"result\"' '$WORK/out'"
  done
done

# The CPU tree and the sensors, replaced wholesale so any file can also become a directory.
CPU_FILES="topology/core_id topology/physical_package_id cpu_capacity cpufreq/cpuinfo_max_freq cpufreq/scaling_cur_freq"
for rel in $CPU_FILES; do
  for kind in $KINDS dir; do
    setup="mkdir -p /tmp/cpu && cp -r /sys/devices/system/cpu/. /tmp/cpu/ 2>/dev/null
      for c in /tmp/cpu/cpu[0-9]*; do mkdir -p \$c/cpufreq; rm -rf \$c/$rel; $(declare -f make_kind); make_kind $kind \$c/$rel; done
      mount --bind /tmp/cpu /sys/devices/system/cpu || exit 90"
    TFX_CLI_CONSENT=1 ns "$setup" --full --json --quiesce none --seconds 0.2 --subtests int_scalar </dev/null \
      >"$WORK/out" 2>"$WORK/err"
    status=$?
    check "cpu*/$rel as $kind: a result (status $status)" \
      bash -c "[ $status -le 2 ] && jq -se '.[-1].event == \"result\" and .[0].ncpu >= 1' '$WORK/out'"
  done
done

for rel in name temp1_input; do
  for kind in $KINDS dir; do
    setup="mount -t tmpfs tmpfs /sys/class && mkdir -p /sys/class/hwmon/hwmon0 /sys/class/thermal/thermal_zone0 || exit 90
      echo coretemp > /sys/class/hwmon/hwmon0/name; echo 50000 > /sys/class/hwmon/hwmon0/temp1_input
      echo 40000 > /sys/class/thermal/thermal_zone0/temp
      rm -rf /sys/class/hwmon/hwmon0/$rel; $(declare -f make_kind); make_kind $kind /sys/class/hwmon/hwmon0/$rel"
    ns "$setup" --probe --json </dev/null >"$WORK/out" 2>"$WORK/err"
    status=$?
    check "hwmon $rel as $kind: a result (status $status)" \
      bash -c "[ $status = 0 ] && jq -se '.[-1].event == \"result\"' '$WORK/out'"
  done
done

finish
