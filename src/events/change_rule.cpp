#include "events/change_rule.h"

#include <cmath>
#include <cstdlib>

#include "engine/round_state.h"

namespace {

constexpr int MAX_TOTAL = 2 * CHANGE_MAX_SAMPLES;
constexpr int MAX_DOUBLED_SUM = MAX_TOTAL * (MAX_TOTAL + 1);  // all doubled ranks together

// ways[j][s]: number of ways to pick j of the samples seen so far whose doubled ranks sum to s
// (64 choose 32 at most, exact in a double to well within the p-value's use).
double g_ways[CHANGE_MAX_SAMPLES + 1][MAX_DOUBLED_SUM + 1];

// The number of ways to choose k of the n ranks with a sum of at most cut. Only sums up to cut are
// tracked, so the tails that decide a test cost little.
double count_at_most(const long* ranks, int n, int k, long cut) {
  if (cut < 0) return 0;
  if (cut > MAX_DOUBLED_SUM) cut = MAX_DOUBLED_SUM;
  for (int j = 0; j <= k; ++j)
    for (long s = 0; s <= cut; ++s) g_ways[j][s] = 0;
  g_ways[0][0] = 1;
  for (int i = 0; i < n; ++i) {
    const long r = ranks[i];
    for (int j = (i + 1 < k ? i + 1 : k); j >= 1; --j)
      for (long s = cut; s >= r; --s) g_ways[j][s] += g_ways[j - 1][s - r];
  }
  double ways = 0;
  for (long s = 0; s <= cut; ++s) ways += g_ways[k][s];
  return ways;
}

double choose(int n, int k) {
  double c = 1;
  for (int i = 1; i <= k; ++i) c = c * (n - k + i) / i;
  return std::round(c);
}

}  // namespace

double rank_sum_p_value_ranks(const long* doubled_ranks, int n, int n1, long doubled_rank_sum) {
  if (n1 <= 0 || n1 >= n || n1 > CHANGE_MAX_SAMPLES || n - n1 > CHANGE_MAX_SAMPLES) return 1.0;
  long total = 0;
  for (int i = 0; i < n; ++i) {
    if (doubled_ranks[i] < 1 || doubled_ranks[i] > 2L * n) return 1.0;
    total += doubled_ranks[i];
  }
  // Every way of choosing which n1 of the n samples are the first group's is equally likely when
  // both groups come from one distribution. Two-sided: the share of those choices whose rank sum
  // lies at least as far from the mean (n1 x total / n) as the one observed, counted in integers
  // scaled by n. The upper tail is counted through the complements, whose sums are then as low.
  const long distance = std::labs(static_cast<long>(n) * doubled_rank_sum - static_cast<long>(n1) * total);
  if (distance == 0) return 1.0;
  const long low = static_cast<long>(n1) * total - distance;  // n x the highest sum of the lower tail
  const long high = static_cast<long>(n1) * total + distance;  // n x the lowest sum of the upper tail
  const long low_cut = low < 0 ? -1 : low / n;
  const long high_cut = (high + n - 1) / n;
  const double extreme = count_at_most(doubled_ranks, n, n1, low_cut) +
                         count_at_most(doubled_ranks, n, n - n1, total - high_cut);
  const double p = extreme / choose(n, n1);
  return p < 1.0 ? p : 1.0;
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
