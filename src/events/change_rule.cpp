#include "events/change_rule.h"

#include <cmath>

#include "engine/round_state.h"

namespace {

constexpr int MAX_TOTAL = 2 * CHANGE_MAX_SAMPLES;
constexpr int MAX_DOUBLED_SUM = MAX_TOTAL * (MAX_TOTAL + 1);  // all doubled ranks together

// ways[j][s]: number of ways to pick j of the samples seen so far whose doubled ranks sum to s
// (64 choose 32 at most, exact in a double to well within the p-value's use).
double g_ways[CHANGE_MAX_SAMPLES + 1][MAX_DOUBLED_SUM + 1];

}  // namespace

double rank_sum_p_value_ranks(const long* doubled_ranks, int n, int n1, long doubled_rank_sum) {
  if (n1 <= 0 || n1 >= n || n1 > CHANGE_MAX_SAMPLES || n - n1 > CHANGE_MAX_SAMPLES) return 1.0;
  long max_sum = 0;
  for (int i = 0; i < n; ++i) {
    if (doubled_ranks[i] < 1 || doubled_ranks[i] > 2L * n) return 1.0;
    max_sum += doubled_ranks[i];
  }
  for (int j = 0; j <= n1; ++j)
    for (long s = 0; s <= max_sum; ++s) g_ways[j][s] = 0;
  g_ways[0][0] = 1;
  // Every way of choosing which n1 of the n samples are the first group's, each equally likely
  // when both groups come from one distribution: counted by the sum of their (mid-)ranks.
  for (int i = 0; i < n; ++i) {
    const long r = doubled_ranks[i];
    for (int j = (i + 1 < n1 ? i + 1 : n1); j >= 1; --j)
      for (long s = max_sum; s >= r; --s) g_ways[j][s] += g_ways[j - 1][s - r];
  }
  // Two-sided: every arrangement at least as far from the mean rank sum as the one observed.
  const double mean2 = static_cast<double>(n1) * static_cast<double>(max_sum) / n;
  const double dist = std::fabs(static_cast<double>(doubled_rank_sum) - mean2);
  double total = 0, extreme = 0;
  for (long s = 0; s <= max_sum; ++s) {
    const double w = g_ways[n1][s];
    if (w == 0) continue;
    total += w;
    if (std::fabs(static_cast<double>(s) - mean2) >= dist - 1e-9) extreme += w;
  }
  return total > 0 ? extreme / total : 1.0;
}

double rank_sum_p_value(int n1, int n2, long doubled_rank_sum) {
  if (n1 <= 0 || n2 <= 0 || n1 > CHANGE_MAX_SAMPLES || n2 > CHANGE_MAX_SAMPLES) return 1.0;
  long ranks[MAX_TOTAL];
  for (int i = 0; i < n1 + n2; ++i) ranks[i] = 2L * (i + 1);
  return rank_sum_p_value_ranks(ranks, n1 + n2, n1, doubled_rank_sum);
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

  // Doubled mid-rank of every sample among all: 2 x (number below) + (number equal) + 1, the
  // mean rank of its tie group doubled. Figures are saved with one decimal, so ties are common,
  // and the test uses the distribution of these very ranks.
  long ranks[2 * CHANGE_MAX_SAMPLES];
  const int n = n_old + n_new;
  auto sample = [&](int i) { return i < n_new ? new_samples[i] : old_samples[i - n_new]; };
  long rank_sum2 = 0;
  for (int i = 0; i < n; ++i) {
    long below = 0, equal = 0;
    for (int k = 0; k < n; ++k) {
      if (sample(k) < sample(i)) ++below;
      else if (sample(k) == sample(i)) ++equal;
    }
    ranks[i] = 2 * below + equal + 1;
    if (i < n_new) rank_sum2 += ranks[i];
  }
  // The most extreme arrangement: every new round above every old one.
  const long best2 = static_cast<long>(n_new) * (2 * n_old + n_new + 1);
  if (rank_sum_p_value(n_new, n_old, best2) > CHANGE_ALPHA) return d;
  d.p_value = rank_sum_p_value_ranks(ranks, n, n_new, rank_sum2);
  const long mean2 = static_cast<long>(n_new) * (n_old + n_new + 1);
  if (d.p_value > CHANGE_ALPHA || rank_sum2 == mean2)
    d.kind = CHANGE_WITHIN_NOISE;
  else
    d.kind = rank_sum2 > mean2 ? CHANGE_FASTER : CHANGE_SLOWER;
  return d;
}
