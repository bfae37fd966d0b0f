#include "engine/interference.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "machine/paths.h"
#include "machine/sensors.h"

uint8_t core_marks[MAX_CPUS];
int thermal_mark_reached;

void reset_interference() {
  std::memset(core_marks, 0, sizeof core_marks);
  thermal_mark_reached = 0;
}

int parse_schedstat(const char* text, uint64_t* run_ns, uint64_t* wait_ns) {
  unsigned long long run = 0, wait = 0;
  if (std::sscanf(text, "%llu %llu", &run, &wait) != 2) return -1;
  *run_ns = run;
  *wait_ns = wait;
  return 0;
}

void take_sched_snapshot(SchedSnapshot* out) {
  const long tid = syscall(SYS_gettid);
  char path[128];
  char buf[128];
  out->run_ns = 0;
  out->wait_ns = 0;
  out->valid = 0;
  if (make_path(path, sizeof path, "/proc/self/task/%ld/schedstat", tid) >= 0 &&
      read_small_file(path, buf, sizeof buf) > 0) {
    out->valid = parse_schedstat(buf, &out->run_ns, &out->wait_ns) == 0 ? 1 : 0;
  }
  rusage ru{};
  out->nivcsw = getrusage(RUSAGE_THREAD, &ru) == 0 ? static_cast<int32_t>(ru.ru_nivcsw) : 0;
}

void phase_accounting_begin(PhaseAccounting* acc, int n) {
  acc->n = n;
  for (int i = 0; i < n && i < MAX_CPUS; ++i) acc->samples[i] = {KHZ_NO_SAMPLE, KHZ_NO_SAMPLE, 0};
  acc->lowest = KHZ_NO_SAMPLE;
  acc->highest = 0;
  acc->peak_mc = -1;
  acc->sum_run = 0;
  acc->sum_wait = 0;
  acc->sum_sw = 0;
  acc->wait_pct = 0.0;
  acc->had_run = 0;
}

void clock_sample_value(PhaseAccounting* acc, int i, int32_t khz) {
  if (khz <= 0) return;
  ClockSamples& s = acc->samples[i];
  if (khz < s.khz_low) {
    s.khz_second = s.khz_low;
    s.khz_low = khz;
  } else if (khz < s.khz_second) {
    s.khz_second = khz;
  }
  if (khz > s.khz_high) s.khz_high = khz;
  if (khz < acc->lowest) acc->lowest = khz;
  if (khz > acc->highest) acc->highest = khz;
}

void clock_sample(PhaseAccounting* acc, const int* worker_cpus) {
  for (int i = 0; i < acc->n; ++i) {
    const long k = read_cur_khz(worker_cpus[i]);
    clock_sample_value(acc, i, k > INT32_MAX ? INT32_MAX : static_cast<int32_t>(k));
  }
}

void temperature_value(PhaseAccounting* acc, int32_t reading_mc) {
  if (reading_mc > acc->peak_mc) acc->peak_mc = reading_mc;
  if (reading_mc >= THERMAL_MARK_MC && !thermal_mark_reached) {
    thermal_mark_reached = 1;
    std::fprintf(stderr,
                 "tallyfox: %.1f°C reached (%.0f°C mark) — measuring the sustained state, not stopping\n",
                 reading_mc / 1000.0, THERMAL_MARK_MC / 1000.0);
  }
}

void temperature_step(PhaseAccounting* acc) { temperature_value(acc, read_temperature()); }

void account_worker(PhaseAccounting* acc, int cpu, const SchedSnapshot& start, const SchedSnapshot& end,
                    uint64_t late_ns) {
  acc->sum_sw += static_cast<int64_t>(end.nivcsw) - start.nivcsw;
  // A snapshot that could not be read, or counters that stepped back, give no wait data rather
  // than a wrapped difference that would fake a huge wait.
  if (!start.valid || !end.valid || end.run_ns < start.run_ns || end.wait_ns < start.wait_ns) return;
  const uint64_t d_run = end.run_ns - start.run_ns;
  const uint64_t d_wait = end.wait_ns - start.wait_ns + late_ns;
  acc->sum_run += d_run;
  acc->sum_wait += d_wait;
  if (d_run == 0) return;
  acc->had_run = 1;
  const double p = static_cast<double>(d_wait) * 100.0 / static_cast<double>(d_run);
  if (p > acc->wait_pct) acc->wait_pct = p;
  if (p > 5.0) {
    const int pos = cpu_position(cpu);
    if (pos >= 0 && core_marks[pos] == 0) core_marks[pos] = MARK_CONTENDED;
  }
}

void phase_close(PhaseAccounting* acc, const int* worker_cpus, PhaseResult* out) {
  out->wait_pct = acc->had_run ? acc->wait_pct : 0.0;
  out->wait_agg = acc->sum_run > 0
                      ? static_cast<double>(acc->sum_wait) * 100.0 / static_cast<double>(acc->sum_run)
                      : 0.0;
  out->wait_seconds = static_cast<double>(acc->sum_wait) / 1e9;
  out->run_seconds = static_cast<double>(acc->sum_run) / 1e9;
  out->nivcsw = static_cast<int32_t>(acc->sum_sw);
  out->khz_lo = acc->lowest == KHZ_NO_SAMPLE ? 0 : acc->lowest;
  out->khz_hi = acc->highest;
  out->clock_ratio = 1.0;
  for (int i = 0; i < acc->n; ++i) {
    const ClockSamples& s = acc->samples[i];
    if (s.khz_high <= 0 || s.khz_second == KHZ_NO_SAMPLE) continue;
    const double r = static_cast<double>(s.khz_second) / static_cast<double>(s.khz_high);
    if (r < out->clock_ratio) out->clock_ratio = r;
    if (r < 0.9) {
      const int pos = cpu_position(worker_cpus[i]);
      if (pos >= 0) core_marks[pos] = MARK_THROTTLED;
    }
  }
  out->peak_mc = acc->peak_mc;
}
