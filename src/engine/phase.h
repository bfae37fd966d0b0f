#pragma once
// One phase: a subtest's kernel run for a set time on pinned worker threads, one per CPU.
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "engine/interference.h"
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
  double end_time;                 // monotonic seconds; no new chunk after it
  uint64_t iterations;
  SchedSnapshot sched_start;
  SchedSnapshot sched_end;
  uint64_t sink;                   // XOR of every kernel result, so the work cannot be elided
  std::atomic<int> running;        // 1 while in the measuring loop
  int started;                     // the thread exists and must be joined
};

extern WorkerSlot worker_slots[MAX_CPUS];
extern std::atomic<int> phase_workers;

constexpr uint64_t CHUNK_START = 1024;
constexpr uint64_t CHUNK_MIN = 64;
constexpr double CHUNK_GROW_BELOW = 0.004;    // seconds
constexpr double CHUNK_SHRINK_ABOVE = 0.032;  // seconds
constexpr double PHASE_DEADLINE_MARGIN = 0.05;
constexpr int PHASE_SLEEP_NS = 100000000;

// Next chunk size after a chunk of c iterations took dt seconds.
inline uint64_t next_chunk(uint64_t c, double dt) {
  if (dt < CHUNK_GROW_BELOW) return c * 2;
  if (dt > CHUNK_SHRINK_ABOVE && c > CHUNK_MIN) return c / 2;
  return c;
}

// Measures spec on the first n CPUs of cpus for `seconds`; returns after every worker is joined.
void run_phase(PhaseResult* out, const SubtestSpec* spec, const int* cpus, int n, double seconds,
               const char* label);
void* worker_main(void* slot);
