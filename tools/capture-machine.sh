#!/usr/bin/env bash
# Records the /proc and /sys files the machine readers look at into a plain-file tree that the
# tests can use as a path root:
#   tools/capture-machine.sh tests/fixtures/NAME
# Symbolic links (hwmon devices, the device tree) are followed and stored as plain files and
# directories. The online CPU count is not a file; it is noted in ONLINE at the top of the tree.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 OUTPUT-DIRECTORY" >&2
  exit 2
fi
out=$1
mkdir -p "$out"

# copy FILE: root-relative copy of one pseudo-file, silently skipped when unreadable
copy() {
  local src=$1
  [[ -r $src && -f $src ]] || return 0
  mkdir -p "$out$(dirname "$src")"
  cat "$src" >"$out$src" 2>/dev/null || rm -f "$out$src"
}

# /proc/stat: the aggregate line and the per-CPU lines are all the readers need
if [[ -r /proc/stat ]]; then
  mkdir -p "$out/proc"
  grep '^cpu' /proc/stat >"$out/proc/stat" || true
fi
copy /proc/cpuinfo
copy /proc/device-tree/model
copy /proc/sys/kernel/sched_rt_runtime_us

cpu=/sys/devices/system/cpu
copy $cpu/isolated
copy $cpu/online
for dir in $cpu/cpu[0-9]*; do
  [[ -d $dir ]] || continue
  # an offline CPU keeps only its directory; record that it exists
  mkdir -p "$out$dir"
  for f in online cpu_capacity topology/core_id topology/physical_package_id \
           cpufreq/cpuinfo_max_freq cpufreq/scaling_cur_freq; do
    copy "$dir/$f"
  done
done

for dev in /sys/class/hwmon/hwmon*; do
  [[ -e $dev ]] || continue
  copy "$dev/name"
  for input in "$dev"/temp*_input; do copy "$input"; done
done

for zone in /sys/class/thermal/thermal_zone*; do
  [[ -e $zone ]] || continue
  copy "$zone/type"
  copy "$zone/temp"
done

getconf _NPROCESSORS_ONLN >"$out/ONLINE"
echo "captured into $out ($(find "$out" -type f | wc -l) files)"
