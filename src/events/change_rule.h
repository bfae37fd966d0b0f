#pragma once
// Whether two runs differ beyond their own noise, decided from the per-round samples of a figure
// (an index, or one subtest's rate) in each run.

enum ChangeKind : int {
  CHANGE_NOISE_UNKNOWN,  // too few rounds: no arrangement of them could show a change (one a side,
                         // or two or three, whose best p-value is above 0.05)
  CHANGE_WITHIN_NOISE,
  CHANGE_FASTER,         // beyond noise, the new run higher
  CHANGE_SLOWER,         // beyond noise, the new run lower
};

struct ChangeDecision {
  int kind;             // ChangeKind
  double old_median;
  double new_median;
  double change_pct;    // (new - old) / old, %; 0 when old is not above 0
  double p_value;       // two-sided; 1 when the noise is unknown
};

constexpr int CHANGE_MAX_SAMPLES = 32;  // per side, as many as a run has rounds; the last ones count
constexpr double CHANGE_ALPHA = 0.05;

// The rule: the Mann-Whitney rank-sum test with its exact distribution (no normal approximation,
// which is poor for the handful of rounds a run has). The change lies beyond noise when the
// two-sided p-value is at most 0.05, that is when the new run's rounds rank above (or below) the
// old run's more consistently than chance allows; with four rounds a side that takes a complete
// separation. Ranks make it indifferent to one wild round and to the shape of the noise. Tied
// values share their mean rank, and the p-value comes from the exact distribution of the rank
// sum over those very mid-ranks (every way to split the samples, counted): with ties it is larger
// than the tie-free one, as it should be. With so few
// rounds that even a complete separation stays above 0.05 (2 against 3, 3 against 3), no change
// could ever be shown: the noise is then unknown, not "within". Faster or slower follows the
// ranks: the new run's rounds ranking high is faster.
ChangeDecision decide_change(const double* old_samples, int n_old, const double* new_samples, int n_new);
// Two-sided exact p-value of a rank sum w (ranks counted from 1, doubled so that mean ranks stay
// integral) of n1 samples among n1 + n2.
double rank_sum_p_value(int n1, int n2, long doubled_rank_sum);
// The same over given doubled ranks (mid-ranks of tie groups, 1..2n) of n samples: the two-sided
// exact p-value of a doubled rank sum of n1 of them, over every choice of n1 of the n.
double rank_sum_p_value_ranks(const long* doubled_ranks, int n, int n1, long doubled_rank_sum);
