#include "machine/topology.h"

#include <climits>
#include <cstdio>
#include <unistd.h>

#include "machine/paths.h"

MachineInfo g_machine;

namespace {

long sysconf_online() { return sysconf(_SC_NPROCESSORS_ONLN); }

constexpr long RT_RUNTIME_FALLBACK = 950000;

int32_t clamp_i32(long v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// A CPU exists when its topology is readable, or at least its directory is there (an offline
// CPU keeps its directory but loses its topology).
bool cpu_exists(int k) {
  char path[ROOTED_PATH_MAX];
  if (make_path(path, sizeof path, "/sys/devices/system/cpu/cpu%d/topology/core_id", k) >= 0 &&
      access(path, R_OK) == 0)
    return true;
  return make_path(path, sizeof path, "/sys/devices/system/cpu/cpu%d", k) >= 0 &&
         access(path, F_OK) == 0;
}

int32_t read_cpu_fact(int k, const char* leaf, long fallback) {
  return clamp_i32(read_pseudo_long(fallback, "/sys/devices/system/cpu/cpu%d/%s", k, leaf));
}

void discover_cpus(MachineInfo* m) {
  long online = g_online_cpus();
  if (online >= 1) {
    for (int k = 0; k < MAX_CPUS && m->ncpu < online; ++k) {
      if (!cpu_exists(k)) continue;
      int i = m->ncpu++;
      m->cpu_ids[i] = k;
      m->max_khz[i] = read_cpu_fact(k, "cpufreq/cpuinfo_max_freq", 0);
      m->capacity[i] = read_cpu_fact(k, "cpu_capacity", 0);
      m->core_id[i] = read_cpu_fact(k, "topology/core_id", -1);
      m->package_id[i] = read_cpu_fact(k, "topology/physical_package_id", -1);
    }
  }
  // Entry 0 keeps its zero facts: a lone CPU 0 of core 0 in package 0.
  if (m->ncpu == 0) {
    m->ncpu = 1;
    m->cpu_ids[0] = 0;
  }
}

void read_platform_settings(MachineInfo* m) {
  char buf[256];
  if (read_pseudo_file(buf, sizeof buf, "/sys/devices/system/cpu/isolated") > 0)
    std::snprintf(m->isolcpus, sizeof m->isolcpus, "%.127s", buf);
  m->rt_runtime_us = read_pseudo_long(RT_RUNTIME_FALLBACK, "/proc/sys/kernel/sched_rt_runtime_us");
}

}  // namespace

long (*g_online_cpus)() = sysconf_online;

void split_pe(MachineInfo* m) {
  auto rank = [m](int i) -> int64_t { return m->capacity[i] != 0 ? m->capacity[i] : m->max_khz[i]; };
  int64_t maxv = 0;
  for (int i = 0; i < m->ncpu; ++i)
    if (rank(i) > maxv) maxv = rank(i);
  int64_t threshold = maxv - maxv / 8;
  for (int i = 0; i < m->ncpu; ++i) {
    int64_t v = rank(i);
    m->is_e[i] = (v > 0 && maxv > 0 && v < threshold) ? 1 : 0;
    if (m->is_e[i])
      ++m->e_threads;
    else
      ++m->p_threads;
  }
  m->hybrid = (m->p_threads > 0 && m->e_threads > 0) ? 1 : 0;
}

void count_cores(MachineInfo* m) {
  for (int i = 0; i < m->ncpu; ++i) {
    bool new_core = true;
    if (m->core_id[i] >= 0) {
      for (int j = 0; j < i; ++j) {
        if (m->core_id[j] == m->core_id[i] && m->package_id[j] == m->package_id[i]) {
          new_core = false;
          break;
        }
      }
    }
    if (!new_core) continue;
    ++m->ncores;
    if (m->is_e[i])
      ++m->e_cores;
    else
      ++m->p_cores;
  }
}

void read_topology() {
  discover_cpus(&g_machine);
  split_pe(&g_machine);
  count_cores(&g_machine);
  read_platform_settings(&g_machine);
}

int cpu_position(int cpu) {
  int n = g_machine.ncpu < MAX_CPUS ? g_machine.ncpu : MAX_CPUS;
  for (int i = 0; i < n; ++i)
    if (g_machine.cpu_ids[i] == cpu) return i;
  return -1;
}
