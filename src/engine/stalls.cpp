#include "engine/stalls.h"

#include <algorithm>
#include <cmath>

// The rule, and why:
// - Pace: a chunk's expected duration is its iterations times the worker's typical time per
//   iteration, the median over its grown chunks (1 ms or longer). The median ignores the few
//   paused chunks that a mean would absorb, and chunks shorter than 1 ms mostly time the clock.
// - Noise: the chunk-to-chunk scatter of an undisturbed run is estimated from the same chunks as
//   1.4826 x the median absolute deviation of their pace (a standard deviation that paused chunks
//   cannot inflate). A chunk is paused when it exceeds its expected duration by more than six
//   such deviations, by 5 % at the least, and by 0.25 ms; its stall is the whole excess.
// - Warm-up: a chunk is never judged against a faster pace than the fastest chunk before it.
//   While the clock and caches warm up, each chunk is faster than all before it and nothing
//   counts; a pause during the warm-up still counts against the pace already reached.
// - Long phases: a worker's chunk array holds one block of chunks; a full block is judged on its
//   own pace and emptied, so every chunk of a long phase is judged at full resolution against the
//   chunks around it, and a stall is never a sum of pauses.
namespace {
double pace_of(const ChunkRecord& c) {
  return c.seconds / static_cast<double>(c.iterations ? c.iterations : 1);
}
}  // namespace

StallPace stall_pace(const ChunkRecord* chunks, uint32_t n, double* scratch) {
  uint32_t m = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (chunks[i].seconds >= STALL_GROWN_CHUNK) scratch[m++] = pace_of(chunks[i]);
  if (m == 0)
    for (uint32_t i = 0; i < n; ++i) scratch[m++] = pace_of(chunks[i]);
  if (m == 0) return StallPace{0.0, 0.0};
  std::nth_element(scratch, scratch + m / 2, scratch + m);
  const double typical = scratch[m / 2];
  if (!(typical > 0)) return StallPace{0.0, 0.0};
  for (uint32_t i = 0; i < m; ++i) scratch[i] = std::fabs(scratch[i] / typical - 1.0);
  std::nth_element(scratch, scratch + m / 2, scratch + m);
  const double sigma = 1.4826 * scratch[m / 2];
  return StallPace{typical, std::max(STALL_NOISE_SIGMAS * sigma, STALL_MIN_EXCESS)};
}

StallFigures judge_stalls(const ChunkRecord* chunks, uint32_t n, StallPace pace, double* fastest) {
  StallFigures f{0.0, 0.0, pace.typical_seconds};
  if (n == 0) return f;
  uint32_t i = 0;
  if (!(*fastest > 0)) *fastest = pace_of(chunks[i++]);  // the very first chunk is judged against nothing
  if (!(pace.typical_seconds > 0)) return f;
  for (; i < n; ++i) {
    const double expected = static_cast<double>(chunks[i].iterations) * std::max(pace.typical_seconds, *fastest);
    *fastest = std::min(*fastest, pace_of(chunks[i]));
    const double excess = chunks[i].seconds - expected;
    if (excess <= expected * pace.allowed || excess < STALL_MIN_SECONDS) continue;
    f.stall_seconds += excess;
    f.longest_seconds = std::max(f.longest_seconds, excess);
  }
  return f;
}

StallFigures find_stalls(const ChunkRecord* chunks, uint32_t n, double* scratch) {
  if (n == 0) return StallFigures{0.0, 0.0, 0.0};
  double fastest = 0;
  return judge_stalls(chunks, n, stall_pace(chunks, n, scratch), &fastest);
}
