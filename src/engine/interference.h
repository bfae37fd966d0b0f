#pragma once
// How much a phase was disturbed: run-queue wait, involuntary switches, clock sag and heat.
#include <cstdint>

#include "machine/topology.h"
#include "subtests/registry.h"

struct SchedSnapshot {
  uint64_t run_ns;    // on-CPU time of the thread
  uint64_t wait_ns;   // runnable but waiting for a CPU
  int32_t nivcsw;
  int32_t valid;      // 1 when the schedstat file was read and parsed
};

constexpr int32_t KHZ_NO_SAMPLE = 0x40000000;
constexpr int32_t THERMAL_MARK_MC = 95000;
constexpr uint8_t MARK_THROTTLED = 7;
constexpr uint8_t MARK_CONTENDED = 8;

struct ClockSamples {
  int32_t khz_low;
  int32_t khz_second;
  int32_t khz_high;
};

// Per-phase accumulator kept by the thread that runs the phase.
struct PhaseAccounting {
  int n;                          // workers of the phase
  ClockSamples samples[MAX_CPUS];
  int32_t lowest;                 // KHZ_NO_SAMPLE until a sample
  int32_t highest;
  int32_t peak_mc;                // -1 until a reading
  uint64_t sum_run;
  uint64_t sum_wait;
  int64_t sum_sw;
  double wait_pct;
  int had_run;
};

extern uint8_t core_marks[MAX_CPUS];   // by position in g_machine.cpu_ids
extern int thermal_mark_reached;

// Must run on the thread being measured: the figures are the calling thread's own.
void take_sched_snapshot(SchedSnapshot* out);
// Parses "run wait ..." of a schedstat file; returns 0, or -1 when the text has no two numbers.
int parse_schedstat(const char* text, uint64_t* run_ns, uint64_t* wait_ns);

void phase_accounting_begin(PhaseAccounting* acc, int n);
// One reading of worker i's CPU clock (kHz); non-positive readings are skipped.
void clock_sample_value(PhaseAccounting* acc, int i, int32_t khz);
void clock_sample(PhaseAccounting* acc, const int* worker_cpus);
// One temperature reading (milli-degrees, -1 for none): peak, and the one-time 95 °C notice.
void temperature_value(PhaseAccounting* acc, int32_t reading_mc);
void temperature_step(PhaseAccounting* acc);
// Folds one joined worker's snapshots in. late_ns is the time from the phase's start to the
// worker's first chunk, which its snapshots (taken once it runs) cannot show: it counts as wait.
void account_worker(PhaseAccounting* acc, int cpu, const SchedSnapshot& start, const SchedSnapshot& end,
                    uint64_t late_ns = 0);
// Fills the interference fields of out (rate and lead_rate are the caller's).
void phase_close(PhaseAccounting* acc, const int* worker_cpus, PhaseResult* out);

void reset_interference();
