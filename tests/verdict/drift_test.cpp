#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "verdict/drift.h"
#include "synthetic_noise.h"

namespace {

std::vector<double> flat(int n, double sd_pct, Noise& g) {
  std::vector<double> v(n);
  for (double& x : v) x = 1000 * (1 + sd_pct / 100 * g.gauss());
  return v;
}

Drift detect(const std::vector<double>& index, const std::vector<double>* wait = nullptr,
             const std::vector<double>* clock = nullptr) {
  return detect_drift(RoundSeries{index.data(), static_cast<int>(index.size()), wait ? wait->data() : nullptr, nullptr,
                                  nullptr, clock ? clock->data() : nullptr});
}

TEST(Drift, SyntheticRounds) {
  Noise g{7};
  // The rounds of the run seen on a shared host: a step of about 9 % from round 5 on.
  const std::vector<double> step = {2025, 2036, 2029, 1946, 1828, 1817, 1886, 1739, 1889};
  Drift d = detect(step);
  EXPECT_EQ(d.checked, 1);
  EXPECT_EQ(d.detected, 1);
  EXPECT_EQ(d.round, 5);
  EXPECT_NEAR(d.pct, (1828.0 - 2027.0) * 100 / 2027.0, 0.01);  // medians 2027 (rounds 1-4) and 1828
  EXPECT_FALSE(drift_explained(d));
  char text[160];
  drift_text(d, text, sizeof text);
  EXPECT_STREQ(text, "machine speed moved -9.8% at round 5 (no counter explains it: host-level)");

  std::vector<double> trend(16);  // 5 % down, evenly over 16 rounds, with 0.3 % noise
  for (int i = 0; i < 16; ++i) trend[i] = 1000 * (1 - 0.05 * i / 15) * (1 + 0.003 * g.gauss());
  d = detect(trend);
  EXPECT_EQ(d.detected, 1);
  EXPECT_LT(d.pct, -2.0);

  std::vector<double> outlier = {1000, 1004, 998, 1002, 1001, 930, 999, 1003, 1000, 1001};
  EXPECT_EQ(detect(outlier).detected, 0) << "one wild round is no change of level";
  EXPECT_EQ(detect(flat(12, 0.5, g)).detected, 0);

  const std::vector<double> seven = {1000, 1000, 1000, 1000, 900, 900, 900};
  EXPECT_EQ(detect(seven).checked, 0) << "fewer than eight rounds: not enough a side";
  EXPECT_EQ(detect(seven).detected, 0);
  std::vector<double> with_zero = step;
  with_zero[2] = 0;
  EXPECT_EQ(detect(with_zero).checked, 0) << "a round without an index";

  // The same step with the run-queue wait rising by nine points, or the clock falling 9 %: the
  // counter explains it. A wait that rose by one point does not.
  std::vector<double> wait = {0.5, 0.4, 0.6, 0.5, 9.8, 9.6, 9.9, 10.1, 9.7};
  d = detect(step, &wait);
  EXPECT_EQ(d.by_wait, 1);
  drift_text(d, text, sizeof text);
  EXPECT_STREQ(text, "machine speed moved -9.8% at round 5 (explained by runqueue wait)");
  wait = {0.5, 0.4, 0.6, 0.5, 1.5, 1.6, 1.4, 1.5, 1.5};
  EXPECT_EQ(detect(step, &wait).by_wait, 0);
  std::vector<double> clock = {3e6, 3e6, 3e6, 3e6, 2.7e6, 2.7e6, 2.7e6, 2.7e6, 2.7e6};
  EXPECT_EQ(detect(step, nullptr, &clock).by_clock, 1);
  std::vector<double> unread(9, 0.0);
  EXPECT_EQ(detect(step, nullptr, &unread).by_clock, 0) << "a clock nobody read explains nothing";
  clock = {3e6, 3e6, 3e6, 3e6, 0, 0, 0, 3e6, 3e6};
  EXPECT_EQ(detect(step, nullptr, &clock).by_clock, 0) << "rounds without a reading are no clock of 0";
}

// How often flat rounds (no change at all) are reported as drift, over many synthetic runs of
// every length a run can have: the rule keeps it near or below 5 %, whatever the noise's size.
TEST(Drift, FalseAlarmRateOnFlatRounds) {
  Noise g{12345};
  for (const double sd : {0.3, 2.0}) {
    int alarms = 0, runs = 0;
    for (const int n : {8, 12, 20, 32})
      for (int k = 0; k < 150; ++k, ++runs) alarms += detect(flat(n, sd, g)).detected;
    const double rate = static_cast<double>(alarms) / runs;
    RecordProperty("false_alarm_sd_" + std::to_string(static_cast<int>(sd * 10)), std::to_string(rate));
    std::printf("flat rounds, noise sd %.1f%%: drift reported in %d of %d runs\n", sd, alarms, runs);
    EXPECT_LE(rate, 0.05) << "noise sd " << sd << "%: " << alarms << " of " << runs;
  }
}

}  // namespace
