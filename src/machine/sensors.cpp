#include "machine/sensors.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "machine/paths.h"

namespace {

constexpr const char* kCpuSensorMarks[] = {"coretemp", "k10temp", "cpu", "soc", "acpitz"};
static_assert(sizeof kCpuSensorMarks / sizeof kCpuSensorMarks[0] == 5);

constexpr int HWMON_DEVICES = 16;
constexpr int HWMON_INPUTS = 8;
constexpr int THERMAL_ZONES = 32;

// milli-degrees; -1 when unreadable
int32_t read_milli_celsius(const char* path) {
  char buf[64];
  if (read_small_file(path, buf, sizeof buf) < 0) return -1;
  long v = parse_long(buf);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int32_t hottest_hwmon() {
  int32_t best = -1;
  char path[ROOTED_PATH_MAX];
  char name[64];
  for (int i = 0; i < HWMON_DEVICES; ++i) {
    if (read_pseudo_file(name, sizeof name, "/sys/class/hwmon/hwmon%d/name", i) <= 0) continue;
    if (!is_cpu_sensor_name(name)) continue;
    for (int j = 1; j <= HWMON_INPUTS; ++j) {
      if (make_path(path, sizeof path, "/sys/class/hwmon/hwmon%d/temp%d_input", i, j) < 0) continue;
      int32_t t = read_milli_celsius(path);
      if (t > best) best = t;
    }
  }
  return best;
}

int32_t hottest_thermal_zone() {
  int32_t best = -1;
  char path[ROOTED_PATH_MAX];
  for (int z = 0; z < THERMAL_ZONES; ++z) {
    if (make_path(path, sizeof path, "/sys/class/thermal/thermal_zone%d/temp", z) < 0) continue;
    int32_t t = read_milli_celsius(path);
    if (t > best) best = t;
  }
  return best;
}

}  // namespace

bool is_cpu_sensor_name(const char* name) {
  for (const char* mark : kCpuSensorMarks)
    if (std::strstr(name, mark)) return true;
  return false;
}

int32_t read_temperature() {
  int32_t best = hottest_hwmon();
  if (best < 0) best = hottest_thermal_zone();
  return best;
}

long read_cur_khz(int cpu) {
  return read_pseudo_long(0, "/sys/devices/system/cpu/cpu%d/cpufreq/scaling_cur_freq", cpu);
}

long parse_steal(const char* stat_text) {
  long v[8] = {};
  std::sscanf(stat_text, "cpu %ld %ld %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3], &v[4],
              &v[5], &v[6], &v[7]);
  return v[7];
}

long read_steal() {
  long steal = 0;
  read_steal_checked(&steal);
  return steal;
}

int read_steal_checked(long* steal) {
  char buf[512];
  *steal = 0;
  if (read_pseudo_file(buf, sizeof buf, "/proc/stat") < 0) return -1;
  long v[8] = {};
  if (std::sscanf(buf, "cpu %ld %ld %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                  &v[7]) != 8)
    return -1;
  *steal = v[7];
  return 0;
}
