#pragma once
// How far a run's numbers can be trusted, with a reason that carries the figures behind it.
#include <cstdint>

#include "subtests/registry.h"
#include "verdict/drift.h"

enum Verdict : int { VERDICT_CLEAN, VERDICT_CONTENDED, VERDICT_THROTTLED, VERDICT_UNTRUSTED, VERDICT_INDICATIVE };

struct VerdictName {
  const char* stored;   // reports, events, exit status
  const char* display;  // dashboards
};
inline constexpr VerdictName kVerdictNames[] = {
    {"clean", "CLEAN"}, {"contended", "CONTENDED"}, {"throttled", "THROTTLED"},
    {"untrusted", "UNTRUSTED"}, {"indicative", "INDICATIVE"},
};
static_assert(sizeof kVerdictNames / sizeof kVerdictNames[0] == 5);

struct VerdictState {
  int verdict;
  char verdict_why[512];
  double peak_c;        // °C, 0.0 without a reading
  double clock_ratio;
  long steal_baseline;  // ticks at the start of measuring
  int steal_baseline_ok;  // the baseline was really read; otherwise no steal is counted
  // Gathered over every phase of every round, the cut round included, so the verdict judges the
  // whole run and not only its last pass.
  int32_t run_peak_mc;      // -1 without a reading
  double run_clock_ratio;   // lowest of the phases' ratios
  long run_nivcsw;
  double run_stall_max_ms;  // longest single hidden stall
  int run_clock_read;       // some phase read a CPU clock
  double run_late_start_ms;         // the longest time a worker waited for its first chunk
  const char* run_late_start_name;  // of which subtest; nullptr before any phase
  int run_late_start_mt;            // in its all-core phase
  double stall_pct;         // the hidden-stall share the verdict judged, %
  Drift drift;              // whether the machine's speed moved during the rounds
};

extern VerdictState g_verdict;

void reset_verdict();
const char* verdict_name(int verdict);
const char* verdict_display_name(int verdict);
// Hidden stalls and the measuring time they lie in, summed over the results table (seconds).
void table_stall_time(double* stall_seconds, double* worker_seconds);
// Run-queue wait of the table's phases: their summed wait and summed on-CPU time, in seconds.
// Wait is judged pooled, wait over on-CPU time, over a round and over the index's rounds: real-
// time throttling pauses a worker 50 ms in each second and the kernel counts that as wait, so
// pooled it reads the throttling share the threshold allows for, where the one short phase that
// held the pause would read several times that.
void table_wait_time(double* wait_seconds, double* run_seconds);
// Seconds of rounds (wall time) the verdict's wait is pooled over at the least, where the index's
// rounds are shorter: enough for real-time throttling (a pause every second) to read its share.
constexpr double WAIT_POOL_SECONDS = 5.0;
double table_wait_pct();
// Adds one measured phase to the run's figures; with its subtest and kind, its late start too.
void verdict_fold_phase(const PhaseResult& phase, const SubtestSpec* spec = nullptr, int all_core = 0);
// Looks for a change of speed in the rounds of g_rounds, with the counters that could explain it.
Drift rounds_drift();
// A full run that ended before its first round did has no index: its reason says so, and it is
// not clean.
void verdict_note_no_rounds();
// The run was stopped and went on (job control, SIGSTOP): it ended there, and says so.
void verdict_note_suspended();
// Standard output stalled, so the machine was given back and the run ended: it says so.
void verdict_note_output_stalled();
// Decides from the results table, the round state, steal and the thermal mark.
void decide_verdict(int probe);
// Takes the steal counter at the start of measuring.
void take_steal_baseline();
// Steal ticks since the baseline; 0 when either reading failed or the counter stepped back.
long steal_since_baseline();
// Wait threshold in percent for the quiesce level and RT budget in force.
double wait_threshold(int quiesce, long rt_runtime_us);
