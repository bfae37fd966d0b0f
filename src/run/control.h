#pragma once
// Process-wide state of one run shared by the run sequence, the seatbelts and the engine.
#include <atomic>

#include "machine/topology.h"
#include "subtests/registry.h"

struct RunControl {
  double launch_time;                 // monotonic seconds, taken first
  double rounds_epoch;                // monotonic seconds; the rounds' time limit counts from here
  double deadline;                    // monotonic seconds; -1.0 while none is armed
  std::atomic<int> stop_requested;    // set by signals, the watchdog and the stop key
  std::atomic<int> cleanup_done;
  std::atomic<int> dash_terminal;     // the in-process dashboard holds the terminal
  std::atomic<int> suspended;         // the run was stopped (job control, SIGSTOP) and went on
  std::atomic<int> output_released;   // standard output stalled, so the machine was given back
  std::atomic<long> output_wait_ms;   // monotonic ms when a write to standard output began; 0: none
  std::atomic<int> machine_held;      // set once the run isolates or runs at real-time priority
  std::atomic<int> frame_writing;     // the main thread draws a dashboard frame or reads keys
  std::atomic<int> stop_deferred;     // a stop signal that came meanwhile, for the main thread
  std::atomic<long> watchdog_tick_ms;  // monotonic ms of the watchdog's last look; 0 before
  std::atomic<int> watchdog_gap;      // the watchdog once found a second or more between looks
  std::atomic<int> continued;         // SIGCONTs received
};
static_assert(std::atomic<long>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern RunControl g_run;

constexpr double PROBE_SECONDS = 3.0;  // a probe ends this long after launch

// CLOCK_MONOTONIC in seconds.
double now_seconds();

// Around every write of the run to standard output: a reader that stops reading for
// OUTPUT_STALL_SECONDS while the machine is held gets it back (the watchdog looks).
constexpr double OUTPUT_STALL_SECONDS = 2.0;
void output_wait_begin();
// A process stopped this long or longer and then continued ends its run as suspended; a shorter
// stop only shows as a hidden stall in the figures.
constexpr long SUSPEND_MIN_MS = 1000;
long now_ms();
void output_wait_end();

extern int bench_cpus[MAX_CPUS];
extern int cpus_used;

// Why a full run measures no all-core phase, said once in every report; empty when it measures
// one, and in a probe (which never does).
extern const char* all_core_note;
// The note for a run that selected `selected` CPUs and measures on `used` of them.
const char* missing_all_core_note(bool full, int selected, int used);

constexpr int MAX_RESULTS = 16;
extern SubtestResult g_results[MAX_RESULTS];
extern int g_result_count;

extern double phase_seconds;

using ProgressHook = void (*)(const SubtestSpec* spec, const char* label, double percent);
extern ProgressHook progress_hook;

// Back to the values of launch (tests run several sequences in one process).
void reset_run_control();
