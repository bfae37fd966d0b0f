#include "events/change_rule.h"

#include <cmath>

#include "engine/round_state.h"

namespace {

constexpr int MAX_TOTAL = 2 * CHANGE_MAX_SAMPLES;
constexpr int MAX_SUM = MAX_TOTAL * (MAX_TOTAL + 1) / 2;

// ways[j][s]: number of ways to pick j of the ranks seen so far with rank sum s (64 choose 32 at
// most, exact in a double to well within the p-value's use).
double g_ways[CHANGE_MAX_SAMPLES + 1][MAX_SUM + 1];

}  // namespace

double rank_sum_p_value(int n1, int n2, long doubled_rank_sum) {
  if (n1 <= 0 || n2 <= 0 || n1 > CHANGE_MAX_SAMPLES || n2 > CHANGE_MAX_SAMPLES) return 1.0;
  const int n = n1 + n2;
  const int max_sum = n * (n + 1) / 2;
  for (int j = 0; j <= n1; ++j)
    for (int s = 0; s <= max_sum; ++s) g_ways[j][s] = 0;
  g_ways[0][0] = 1;
  for (int rank = 1; rank <= n; ++rank)
    for (int j = (rank < n1 ? rank : n1); j >= 1; --j)
      for (int s = max_sum; s >= rank; --s) g_ways[j][s] += g_ways[j - 1][s - rank];
  // Two-sided: every arrangement at least as far from the mean rank sum as the one observed.
  const double mean2 = static_cast<double>(n1) * (n + 1);  // doubled
  const double dist = std::fabs(static_cast<double>(doubled_rank_sum) - mean2);
  double total = 0, extreme = 0;
  for (int s = 0; s <= max_sum; ++s) {
    const double w = g_ways[n1][s];
    if (w == 0) continue;
    total += w;
    if (std::fabs(2.0 * s - mean2) >= dist - 1e-9) extreme += w;
  }
  return total > 0 ? extreme / total : 1.0;
}

ChangeDecision decide_change(const double* old_samples, int n_old, const double* new_samples, int n_new) {
  ChangeDecision d{CHANGE_NOISE_UNKNOWN, 0.0, 0.0, 0.0, 1.0};
  if (n_old <= 0 || n_new <= 0) return d;
  if (n_old > CHANGE_MAX_SAMPLES) {
    old_samples += n_old - CHANGE_MAX_SAMPLES;
    n_old = CHANGE_MAX_SAMPLES;
  }
  if (n_new > CHANGE_MAX_SAMPLES) {
    new_samples += n_new - CHANGE_MAX_SAMPLES;
    n_new = CHANGE_MAX_SAMPLES;
  }
  d.old_median = median(old_samples, n_old);
  d.new_median = median(new_samples, n_new);
  if (d.old_median > 0) d.change_pct = (d.new_median - d.old_median) * 100.0 / d.old_median;
  if (n_old < 2 || n_new < 2) return d;

  // Doubled rank of each new sample among all: 2 x (number below) + (number equal) + 1, the
  // mean rank of its tie group doubled.
  long rank_sum2 = 0;
  for (int i = 0; i < n_new; ++i) {
    long below = 0, equal = 0;
    auto count = [&](const double* v, int n) {
      for (int k = 0; k < n; ++k) {
        if (v[k] < new_samples[i]) ++below;
        else if (v[k] == new_samples[i]) ++equal;
      }
    };
    count(old_samples, n_old);
    count(new_samples, n_new);
    rank_sum2 += 2 * below + equal + 1;
  }
  // The most extreme arrangement: every new round above every old one.
  const long best2 = static_cast<long>(n_new) * (2 * n_old + n_new + 1);
  if (rank_sum_p_value(n_new, n_old, best2) > CHANGE_ALPHA) return d;
  d.p_value = rank_sum_p_value(n_new, n_old, rank_sum2);
  const long mean2 = static_cast<long>(n_new) * (n_old + n_new + 1);
  if (d.p_value > CHANGE_ALPHA || rank_sum2 == mean2)
    d.kind = CHANGE_WITHIN_NOISE;
  else
    d.kind = rank_sum2 > mean2 ? CHANGE_FASTER : CHANGE_SLOWER;
  return d;
}
