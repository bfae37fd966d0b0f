#pragma once
// The subtests a run measures, the records that carry their measurements, and the index.
#include <cstdint>

#include "subtests/kernels.h"

struct SubtestSpec {
  const char* name;
  const char* isa;        // "base" or "soft"; part of the reference key
  const char* unit;       // Mops, Mflops, Mderef, MB/s
  KernelFn kernel;
  double ops_per_iter;    // units one kernel iteration counts
  int enabled;
  int in_probe;
};

struct PhaseResult {
  double rate;            // units per second over the phase's wall time; 0 when untimed
  double wait_pct;        // highest per-worker run-queue wait, % of its on-CPU time
  double wait_agg;        // summed wait over summed on-CPU time, %
  int32_t nivcsw;
  int32_t khz_lo;         // 0 when no sample
  int32_t khz_hi;
  double clock_ratio;     // 1.0 when no worker had two samples
  int32_t peak_mc;        // -1 when no temperature was read
  double lead_rate;       // first worker's units per second
  // Hidden stalls: the time the stall rule finds paused less the run-queue wait the kernel
  // counted for the same worker (floored at 0), so they are pauses no counter shows.
  double stall_pct;       // largest worker's hidden stalls, % of its own time
  double stall_agg;       // summed hidden stalls over the workers' summed time, %
  double stall_max_ms;    // longest single pause of a worker with hidden stalls
  double undisturbed_rate;  // units per second as if nothing had paused the workers (every pause out)
  double stall_seconds;   // hidden stalls, summed over the workers
  double worker_seconds;  // the workers' windows (phase start to last chunk's end), summed
  double wait_seconds;    // counted run-queue wait, late starts included, summed over the workers
  double run_seconds;     // on-CPU time, summed over the workers
  double start_delay_ms;  // longest time from the phase's start to a worker's first chunk
};

struct SubtestResult {
  const SubtestSpec* spec;
  PhaseResult st;
  PhaseResult mt;
  double scaling;
  double st_under_load;
  int mt_ran;
};

struct ReferenceRow {
  const char* name;
  const char* isa;
  double mrate;           // millions per second
};

constexpr int MAX_SUBTESTS = 16;
// 2: ptr_chase walks on through its ring from call to call (version 1 restarted every chunk at
// element 0, so its figure depended on the chunk length); an index of one version is not
// comparable with another's.
constexpr int REF_VERSION = 2;
constexpr int REFERENCE_ROWS = 8;
extern const ReferenceRow subtest_refs[REFERENCE_ROWS];

extern SubtestSpec g_registry[MAX_SUBTESTS];
extern int g_registry_count;

// Appends the nine subtests; a second call does nothing.
void register_subtests();
// Sets index_st, index_mt and index_n of the round state from the results table.
void compute_index();

// Which state group a kernel takes from its worker slot.
enum KernelStateKind { STATE_DATA, STATE_BRANCH, STATE_CHASE, STATE_LZ4, STATE_VEC, STATE_AES };
KernelStateKind kernel_state_kind(KernelFn kernel);
