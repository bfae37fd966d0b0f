#pragma once
// Hidden stalls: time a worker lost inside its chunks that no kernel counter shows (a stopped
// process, a descheduled virtual CPU, firmware interrupts, real-time throttling), found from the
// worker's own chunk timings.
#include <cstdint>

// One chunk of a worker: its iterations and how long the kernel call took.
struct ChunkRecord {
  uint64_t iterations;
  double seconds;
};

struct StallFigures {
  double stall_seconds;    // summed excess of the paused chunks over their expected duration
  double longest_seconds;  // the largest single excess
  double typical_seconds;  // seconds per iteration at the worker's typical pace; 0 without chunks
};

constexpr double STALL_GROWN_CHUNK = 0.001;   // seconds: shorter chunks time the clock, not the work
constexpr double STALL_MIN_EXCESS = 0.05;     // of the expected duration, at the least
constexpr double STALL_NOISE_SIGMAS = 6.0;
constexpr double STALL_MIN_SECONDS = 0.00025; // a shorter excess is never called a stall

// The pace a block of chunks is judged against: seconds per iteration, and the excess allowed
// over it (a fraction of a chunk's expected duration).
struct StallPace {
  double typical_seconds;  // 0 when the block has no usable chunk
  double allowed;
};

// The stall rule over one worker's chunks in the order they ran. scratch must hold n doubles.
StallFigures find_stalls(const ChunkRecord* chunks, uint32_t n, double* scratch);
// Its two halves: the pace of a block, and the pauses of a block judged against a given pace
// (a short tail of chunks is judged against the pace of the block before it).
// *fastest is the fastest pace (seconds per iteration) of the chunks before these, 0 when there
// were none (the first chunk then has nothing to be judged against); it is updated.
StallPace stall_pace(const ChunkRecord* chunks, uint32_t n, double* scratch);
StallFigures judge_stalls(const ChunkRecord* chunks, uint32_t n, StallPace pace, double* fastest);
