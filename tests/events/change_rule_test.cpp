#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "events/change_rule.h"

namespace {

const char* kind_name(int k) {
  static const char* names[] = {"noise unknown", "within noise", "faster", "slower"};
  return names[k];
}

TEST(ChangeRule, Cases) {
  const double base[] = {1000, 1012, 995, 1005, 1001};
  const double same[] = {1003, 998, 1010, 1000, 1006};
  const double up5[] = {1050, 1063, 1045, 1055, 1052};
  const double down5[] = {950, 961, 945, 955, 952};
  const double wide[] = {900, 1150, 1000, 1120, 980};   // old, a spread of 25 %
  const double wide5[] = {960, 1200, 1040, 1170, 1030}; // about 5 % up, inside that spread
  const double one[] = {1050};
  struct Case {
    const char* what;
    const double* a;
    int na;
    const double* b;
    int nb;
    int kind;
  } cases[] = {
      {"identical runs", base, 5, same, 5, CHANGE_WITHIN_NOISE},
      {"5 % up, small spread", base, 5, up5, 5, CHANGE_FASTER},
      {"5 % down, small spread", base, 5, down5, 5, CHANGE_SLOWER},
      {"5 % up inside a large spread", wide, 5, wide5, 5, CHANGE_WITHIN_NOISE},
      {"one round on a side", base, 5, one, 1, CHANGE_NOISE_UNKNOWN},
      {"three rounds a side: no arrangement reaches 0.05", base, 3, down5, 3, CHANGE_NOISE_UNKNOWN},
      {"two against three", up5, 2, base, 3, CHANGE_NOISE_UNKNOWN},
      {"three against four: 2/35 at best", base, 3, up5, 4, CHANGE_NOISE_UNKNOWN},
      {"four against four, separated", base, 4, up5, 4, CHANGE_FASTER},
      {"no sample", base, 5, one, 0, CHANGE_NOISE_UNKNOWN},
  };
  for (const Case& c : cases) EXPECT_STREQ(kind_name(decide_change(c.a, c.na, c.b, c.nb).kind), kind_name(c.kind)) << c.what;

  const ChangeDecision d = decide_change(base, 5, up5, 5);
  EXPECT_DOUBLE_EQ(d.old_median, 1001);
  EXPECT_DOUBLE_EQ(d.new_median, 1052);
  EXPECT_NEAR(d.change_pct, 5.0949, 0.001);
  EXPECT_NEAR(d.p_value, 2.0 / 252, 1e-12);  // complete separation of 5 and 5
  EXPECT_DOUBLE_EQ(decide_change(base, 5, one, 1).change_pct, (1050.0 - 1001) * 100 / 1001);
}

TEST(ChangeRule, ExactRankSumDistribution) {
  // Four against four: 70 arrangements, the two most extreme give p = 2/70.
  EXPECT_NEAR(rank_sum_p_value(4, 4, 2 * (1 + 2 + 3 + 4)), 2.0 / 70, 1e-12);
  EXPECT_NEAR(rank_sum_p_value(4, 4, 2 * (5 + 6 + 7 + 8)), 2.0 / 70, 1e-12);
  // Ranks 1, 2, 3 and 5 of 8: sums 10 and 11 at that end (two ways), mirrored: 4/70.
  EXPECT_NEAR(rank_sum_p_value(4, 4, 2 * 11), 4.0 / 70, 1e-12);
  EXPECT_DOUBLE_EQ(rank_sum_p_value(4, 4, 2 * 18), 1.0);  // the mean
  // Two against two can never be beyond noise: 1/6 at best on each side.
  EXPECT_NEAR(rank_sum_p_value(2, 2, 2 * 3), 2.0 / 6, 1e-12);
}

// The exact two-sided p-value by brute force: every way to pick which samples are the new run's,
// with mid-ranks for ties, counted against the observed split.
double enumerated_p(const std::vector<double>& old_s, const std::vector<double>& new_s) {
  std::vector<double> all(new_s);
  all.insert(all.end(), old_s.begin(), old_s.end());
  const int n = static_cast<int>(all.size()), k = static_cast<int>(new_s.size());
  std::vector<double> rank(n);
  for (int i = 0; i < n; ++i) {
    int below = 0, equal = 0;
    for (int j = 0; j < n; ++j) {
      below += all[j] < all[i];
      equal += all[j] == all[i];
    }
    rank[i] = below + (equal + 1) / 2.0;
  }
  double observed = 0;
  for (int i = 0; i < k; ++i) observed += rank[i];
  const double mean = k * (n + 1) / 2.0;
  long total = 0, extreme = 0;
  for (unsigned mask = 0; mask < (1u << n); ++mask) {
    if (__builtin_popcount(mask) != k) continue;
    double sum = 0;
    for (int i = 0; i < n; ++i)
      if (mask & (1u << i)) sum += rank[i];
    ++total;
    extreme += std::fabs(sum - mean) >= std::fabs(observed - mean) - 1e-9;
  }
  return static_cast<double>(extreme) / total;
}

TEST(ChangeRule, TiesUseTheExactMidRankDistribution) {
  struct Case {
    std::vector<double> old_s, new_s;
    int kind;
  } cases[] = {
      // One value shared: 4/70 by enumeration, not significant; the tie-free 2/70 would call it.
      {{1, 2, 3, 4}, {4, 5, 6, 7}, CHANGE_WITHIN_NOISE},
      {{1, 2, 3, 4}, {5, 6, 7, 8}, CHANGE_FASTER},
      {{1000.1, 1000.1, 999.9, 1000.0}, {1000.1, 1000.1, 1000.0, 999.9}, CHANGE_WITHIN_NOISE},
      {{10, 10, 11, 12, 12}, {12, 13, 13, 14, 15}, CHANGE_FASTER},
      {{10, 10, 11, 12, 12}, {12, 12, 13, 14, 15}, CHANGE_FASTER},  // 12/252
      {{10, 10, 12, 12, 12}, {12, 12, 12, 14, 15}, CHANGE_WITHIN_NOISE},
      {{5, 5, 5, 6}, {4, 4, 4, 4, 3}, CHANGE_SLOWER},
      {{2, 2, 2, 2, 2, 1}, {2, 2, 2, 3, 3, 3}, CHANGE_WITHIN_NOISE},
  };
  for (const Case& c : cases) {
    const ChangeDecision d = decide_change(c.old_s.data(), static_cast<int>(c.old_s.size()), c.new_s.data(),
                                           static_cast<int>(c.new_s.size()));
    const double exact = enumerated_p(c.old_s, c.new_s);
    EXPECT_NEAR(d.p_value, exact, 1e-12) << c.old_s[0] << " vs " << c.new_s[0];
    EXPECT_STREQ(kind_name(d.kind), kind_name(c.kind)) << "p " << exact;
  }
  EXPECT_NEAR(decide_change(cases[0].old_s.data(), 4, cases[0].new_s.data(), 4).p_value, 4.0 / 70, 1e-12);
}

TEST(ChangeRule, TiesShareTheirRank) {
  const double a[] = {10, 10, 10, 10};
  EXPECT_STREQ(kind_name(decide_change(a, 4, a, 4).kind), "within noise");
  EXPECT_DOUBLE_EQ(decide_change(a, 4, a, 4).p_value, 1.0);
}

}  // namespace
