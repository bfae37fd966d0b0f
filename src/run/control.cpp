#include "run/control.h"

#include <ctime>

RunControl g_run = {0.0, 0.0, -1.0, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}};
int bench_cpus[MAX_CPUS];
int cpus_used;
const char* all_core_note = "";
SubtestResult g_results[MAX_RESULTS];
int g_result_count;
double phase_seconds = 0.6;
ProgressHook progress_hook;

const char* missing_all_core_note(bool full, int selected, int used) {
  if (!full || used >= 2) return "";
  if (selected >= 2)  // the real-time level kept one of a small machine's CPUs free
    return "no all-core phase: it needs two bench CPUs, and at real-time priority one CPU is left free "
           "when 2 to 4 CPUs are selected; --quiesce none measures all cores";
  return "no all-core phase: it needs two bench CPUs, and this run has one";
}

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long now_ms() {
  const long ms = static_cast<long>(now_seconds() * 1000.0);
  return ms > 0 ? ms : 1;
}

void output_wait_begin() { g_run.output_wait_ms.store(now_ms(), std::memory_order_relaxed); }

void output_wait_end() { g_run.output_wait_ms.store(0, std::memory_order_relaxed); }

void reset_run_control() {
  g_run.launch_time = now_seconds();
  g_run.rounds_epoch = g_run.launch_time;
  g_run.deadline = -1.0;
  g_run.stop_requested.store(0, std::memory_order_relaxed);
  g_run.cleanup_done.store(0, std::memory_order_relaxed);
  g_run.dash_terminal.store(0, std::memory_order_relaxed);
  g_run.suspended.store(0, std::memory_order_relaxed);
  g_run.output_released.store(0, std::memory_order_relaxed);
  g_run.output_wait_ms.store(0, std::memory_order_relaxed);
  g_run.machine_held.store(0, std::memory_order_relaxed);
  g_run.frame_writing.store(0, std::memory_order_relaxed);
  g_run.stop_deferred.store(0, std::memory_order_relaxed);
  g_run.watchdog_tick_ms.store(0, std::memory_order_relaxed);
  g_run.watchdog_gap.store(0, std::memory_order_relaxed);
  g_run.continued.store(0, std::memory_order_relaxed);
  cpus_used = 0;
  all_core_note = "";
  g_result_count = 0;
  phase_seconds = 0.6;
  progress_hook = nullptr;
}
