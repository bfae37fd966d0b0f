#include "engine/round_state.h"

#include <cstdlib>
#include <cstring>

RoundState g_rounds;

void reset_round_state() { g_rounds = RoundState{}; }

int compare_doubles(const void* a, const void* b) {
  const double x = *static_cast<const double*>(a);
  const double y = *static_cast<const double*>(b);
  if (x < y) return -1;
  if (x > y) return 1;
  return 0;
}

double median(const double* values, int n) {
  if (n < 1) return 0.0;
  if (n > MAX_ROUNDS) n = MAX_ROUNDS;
  double sorted[MAX_ROUNDS];
  std::memcpy(sorted, values, sizeof(double) * static_cast<std::size_t>(n));
  std::qsort(sorted, static_cast<std::size_t>(n), sizeof(double), compare_doubles);
  if (n % 2 == 1) return sorted[n / 2];
  return (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
}

double relative_spread(const double* values, int n, int w) {
  if (w <= 0 || n < w) return 1.0;
  const double* last = values + (n - w);
  double lo = last[0];
  double hi = last[0];
  for (int i = 1; i < w; ++i) {
    if (last[i] < lo) lo = last[i];
    if (last[i] > hi) hi = last[i];
  }
  const double m = median(last, w);
  return m > 0 ? (hi - lo) / m : 1.0;
}

bool all_positive(const double* values, int n) {
  for (int i = 0; i < n; ++i)
    if (!(values[i] > 0)) return false;
  return true;
}

const double* primary_history(const RoundState& rs) { return rs.index_mt > 0 ? rs.mt_history : rs.st_history; }

double rounds_end_estimate(double epoch, double done_seconds, int done) {
  const double limit = epoch + ROUND_TIME_LIMIT;
  if (done <= 0 || done_seconds <= 0) return limit;
  const double paced = epoch + done_seconds + (MAX_ROUNDS - done) * (done_seconds / done);
  return paced < limit ? paced : limit;
}

