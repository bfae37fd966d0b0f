#pragma once
// One phase: a subtest's kernel run for a set time on pinned worker threads, one per CPU.
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "engine/interference.h"
#include "engine/stalls.h"
#include "subtests/registry.h"

struct WorkerSlot {
  pthread_t thread;
  std::atomic<int> cpu;            // read live by the in-process dashboard
  const SubtestSpec* spec;
  RandomState prng;
  DataState data;
  Lz4State lz4;
  VecState vec;
  AesState aes;
  ChaseState chase;
  double end_time;                 // monotonic seconds; no new chunk after it
  uint64_t iterations;
  double ready_time;               // monotonic seconds when it was ready for its first chunk, pinned
  double first_start;              // monotonic seconds at the start of the first chunk; 0 when none ran
  double last_end;                 // at the end of the last chunk
  double busy_seconds;             // the chunks' own durations summed (time inside kernel calls)
  ChunkRecord* chunks;             // chunk_count of chunk_cap records, kept until the next phase
  uint32_t chunk_cap;
  uint32_t chunk_count;
  double* stall_scratch;           // chunk_cap doubles: the stall rule's working space
  StallFigures stalls_judged;      // of the blocks of chunks judged so far (long phases)
  StallPace block_pace;            // the pace of the last judged block
  double stall_fastest;            // the fastest chunk pace judged so far; 0 before any
  uint32_t blocks_judged;
  SchedSnapshot sched_start;
  SchedSnapshot sched_end;
  uint64_t sink;                   // XOR of every kernel result, so the work cannot be elided
  std::atomic<int> running;        // 1 while in the measuring loop
  int started;                     // the thread exists and must be joined
};

extern WorkerSlot worker_slots[MAX_CPUS];
extern std::atomic<int> phase_workers;

// Chunks start at one iteration and grow towards CHUNK_TARGET from their own timing, so that
// whatever the kernel's speed every chunk after the first millisecond lasts 4 to 32 ms: the work
// is not quantized in oversized chunks and a stop request is seen within one chunk. A chunk under
// 6 ms grows, so chunks settle between 6 and 32 ms and timing noise keeps them above 4 ms.
constexpr uint64_t CHUNK_START = 1;
constexpr uint64_t CHUNK_MIN = 1;
constexpr double CHUNK_GROW_BELOW = 0.006;    // seconds
constexpr double CHUNK_SHRINK_ABOVE = 0.032;  // seconds
constexpr double CHUNK_TARGET = 0.008;        // seconds
// A short chunk's timing is noisy (and a pointer walk gets slower per step as it reaches further),
// so one chunk grows at most 64-fold.
constexpr double CHUNK_MAX_GROWTH = 64.0;
constexpr double PHASE_DEADLINE_MARGIN = 0.05;
constexpr int WORKER_RT_PRIORITY = 10;  // SCHED_FIFO priority of the workers at --quiesce rt
constexpr int PHASE_SLEEP_NS = 100000000;

// Next chunk size after a chunk of c iterations took dt seconds.
inline uint64_t next_chunk(uint64_t c, double dt) {
  if (dt < CHUNK_GROW_BELOW) {
    double f = dt > 0 ? CHUNK_TARGET / dt : CHUNK_MAX_GROWTH;
    if (f > CHUNK_MAX_GROWTH) f = CHUNK_MAX_GROWTH;
    if (c > (uint64_t{1} << 52)) return c;  // beyond any real chunk; keeps the product exact
    const uint64_t next = static_cast<uint64_t>(static_cast<double>(c) * f);
    return next > c ? next : c + 1;
  }
  if (dt > CHUNK_SHRINK_ABOVE && c > CHUNK_MIN) return c / 2;
  return c;
}

// Records a phase of `seconds` needs: chunks last at least 4 ms once grown, shorter ones come only
// from the ramp and after a halving; twice the count of 4 ms chunks leaves room for both. Long
// phases are held to CHUNK_RECORDS_MAX records a worker (64 KiB), judged a block at a time.
constexpr uint32_t CHUNK_RECORDS_MAX = 4096;
// A tail of fewer chunks after a judged block is judged against that block's pace.
constexpr uint32_t STALL_TAIL_OWN_PACE = 256;
uint32_t chunk_capacity(double seconds);
// Judges the chunks held as one block by the stall rule, adds its figures to stalls_judged and
// empties the array. A full array is closed so (in the worker, between chunks, about every 30 s):
// every chunk is judged at full resolution, whatever the phase's length.
void close_chunk_block(WorkerSlot& s);
// Stores one chunk and counts its time.
inline void record_chunk(WorkerSlot& s, uint64_t iterations, double seconds) {
  s.busy_seconds += seconds;
  if (s.chunk_cap == 0) return;
  if (s.chunk_count == s.chunk_cap) close_chunk_block(s);
  s.chunks[s.chunk_count++] = {iterations, seconds};
}
// The stall figures of a worker's whole phase: the judged blocks and the chunks held.
StallFigures worker_stalls(WorkerSlot& s);

// Measures spec on the first n CPUs of cpus for `seconds`; returns after every worker is joined.
void run_phase(PhaseResult* out, const SubtestSpec* spec, const int* cpus, int n, double seconds,
               const char* label);
void* worker_main(void* slot);
