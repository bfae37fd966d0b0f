#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/passes.h"
#include "engine/round_state.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/registry.h"
#include "verdict/verdict.h"

namespace {

TEST(Statistics, Median) {
  const double odd[] = {1.0, 3.0, 2.0};
  const double even[] = {4.0, 1.0, 3.0, 2.0};
  EXPECT_DOUBLE_EQ(median(odd, 3), 2.0);
  EXPECT_DOUBLE_EQ(median(even, 4), 2.5);
  EXPECT_DOUBLE_EQ(even[0], 4.0);  // input unchanged
  const double one[] = {7.0};
  EXPECT_DOUBLE_EQ(median(one, 1), 7.0);
}

TEST(Statistics, CompareDoublesTreatsNanAsEqual) {
  const double a = 1.0, b = 2.0, nan = std::nan("");
  EXPECT_EQ(compare_doubles(&a, &b), -1);
  EXPECT_EQ(compare_doubles(&b, &a), 1);
  EXPECT_EQ(compare_doubles(&a, &a), 0);
  EXPECT_EQ(compare_doubles(&a, &nan), 0);
}

TEST(Statistics, RelativeSpread) {
  const double v[] = {100, 102, 98, 100};
  EXPECT_NEAR(relative_spread(v, 4, 4), 0.04, 1e-12);
  EXPECT_DOUBLE_EQ(relative_spread(v, 3, 4), 1.0);
  EXPECT_DOUBLE_EQ(relative_spread(v, 4, 0), 1.0);
  const double zeros[] = {0, 0, 0, 0};
  EXPECT_DOUBLE_EQ(relative_spread(zeros, 4, 4), 1.0);
  const double longer[] = {500, 100, 102, 98, 100};
  EXPECT_NEAR(relative_spread(longer, 5, 4), 0.04, 1e-12);
}

// Drives the round rules with index values chosen to give a wanted spread history.
class RoundRules : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    g_config.ui = UI_TEXT;
    reset_round_state();
    g_result_count = 0;
  }
  int round_with(double index_mt) {
    g_rounds.index_st = index_mt / 2;
    g_rounds.index_mt = index_mt;
    return record_round();
  }
};

TEST_F(RoundRules, FirstThreeRoundsNeverConverge) {
  EXPECT_EQ(round_with(1000), 0);
  EXPECT_EQ(round_with(1000), 0);
  EXPECT_EQ(round_with(1000), 0);
  EXPECT_DOUBLE_EQ(g_rounds.spread, 1.0);
  EXPECT_EQ(g_rounds.plateau, 3);
  EXPECT_EQ(g_rounds.converged, 0);
}

TEST_F(RoundRules, ConvergesAtTargetNotAbove) {
  for (double last : {1015.0, 1015.2}) {
    SetUp();
    round_with(1000);
    round_with(1000);
    round_with(1000);
    // spread = (last - 1000) / 1000
    const int end = round_with(last);
    EXPECT_EQ(end, last == 1015.0 ? 1 : 0) << last;
    EXPECT_EQ(g_rounds.converged, last == 1015.0 ? 1 : 0);
    // The converging spread is the best the run reached: no placeholder stays behind.
    EXPECT_DOUBLE_EQ(g_rounds.precision, g_rounds.spread);
  }
}

TEST_F(RoundRules, PlateauEndsAfterFiveRoundsWithoutImprovement) {
  round_with(1000);
  round_with(1000);
  round_with(1000);
  EXPECT_EQ(round_with(1040), 0);  // spread 0.04 becomes the precision
  EXPECT_NEAR(g_rounds.precision, 0.04, 1e-12);
  EXPECT_EQ(g_rounds.plateau, 0);
  // Spreads of 0.039 to 0.04 are no improvement of more than 0.001.
  const double next[] = {1000, 1040, 1000, 1040, 1000};
  for (int i = 0; i < 5; ++i) {
    const int end = round_with(next[i]);
    EXPECT_EQ(g_rounds.plateau, i + 1);
    EXPECT_EQ(end, i == 4 ? 1 : 0) << "round " << g_rounds.rounds;
  }
  EXPECT_EQ(g_rounds.rounds, 9);
  EXPECT_NEAR(g_rounds.precision, 0.04, 1e-12);
}

TEST_F(RoundRules, FinalIndexIsMedianOfLastFour) {
  const double values[] = {900, 1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700, 1800};
  for (double v : values) {
    g_rounds.index_st = v;
    g_rounds.index_mt = v * 2;
    g_rounds.rounds < MAX_ROUNDS ? (void)record_round() : (void)0;
  }
  g_config.mode = MODE_FULL;
  testing::internal::CaptureStderr();
  finish_rounds();
  testing::internal::GetCapturedStderr();
  EXPECT_DOUBLE_EQ(g_rounds.index_st, 1650.0);  // rounds 7-10
  EXPECT_DOUBLE_EQ(g_rounds.index_mt, 3300.0);
}

TEST_F(RoundRules, SpreadFollowsSingleThreadHistoryWithoutAllCore) {
  for (double v : {1000.0, 1000.0, 1000.0, 1010.0}) {
    g_rounds.index_st = v;
    g_rounds.index_mt = 0.0;
    record_round();
  }
  EXPECT_NEAR(g_rounds.spread, 0.01, 1e-12);
  EXPECT_EQ(g_rounds.converged, 1);
}

const SubtestSpec kA = {"a", "base", "Mops", nullptr, 1, 1, 1};
const SubtestSpec kB = {"b", "soft", "MB/s", nullptr, 1, 1, 1};

// Round r's rows: rates that grow with r; r % of wait in the single-thread phase and 3r % in the
// all-core one, each over one second on the CPU, so 2r % pooled over the round.
void fill_round(int r) {
  g_result_count = 2;
  g_results[0] = SubtestResult{};
  g_results[0].spec = &kA;
  g_results[0].st.rate = 100.0 * r;
  g_results[0].st.wait_pct = r;
  g_results[0].st.wait_seconds = 0.01 * r;
  g_results[0].st.run_seconds = 1.0;
  g_results[0].mt.rate = 150.0 * r;
  g_results[0].mt.wait_agg = 3.0 * r;
  g_results[0].mt.wait_seconds = 0.03 * r;
  g_results[0].mt.run_seconds = 1.0;
  g_results[0].mt_ran = 1;
  g_results[0].scaling = 0.01 * r;
  g_results[1] = SubtestResult{};
  g_results[1].spec = &kB;
  g_results[1].st.rate = 10.0 * r;
  g_results[1].st.nivcsw = r;
  g_rounds.index_st = 1000.0 + 100 * (r % 2);  // spread enough that nothing converges
  g_rounds.index_mt = 0.0;
}

TEST_F(RoundRules, StopInRoundSixTakesIndexAndTableFromRoundsTwoToFive) {
  for (int r = 1; r <= 5; ++r) {
    fill_round(r);
    g_rounds.index_st += r;
    ASSERT_EQ(record_round(), 0) << "round " << r;
    // pooled over the round's phases
    EXPECT_DOUBLE_EQ(g_rounds.waittime_history[r - 1] * 100 / g_rounds.runtime_history[r - 1], 2.0 * r);
  }
  // Round 6 is cut after its first subtest.
  g_result_count = 1;
  g_results[0].st.rate = 1e9;
  g_config.mode = MODE_FULL;
  testing::internal::CaptureStderr();
  finish_rounds();
  testing::internal::GetCapturedStderr();
  EXPECT_DOUBLE_EQ(g_rounds.index_st, (1003.0 + 1104.0) / 2);  // rounds 2..5: 1002 1103 1004 1105
  // The precision is that of the same rounds.
  EXPECT_EQ(g_rounds.range_known, 1);
  EXPECT_EQ(g_rounds.range_first, 2);
  EXPECT_EQ(g_rounds.range_last, 5);
  EXPECT_NEAR(g_rounds.range, (1105.0 - 1002.0) / 1053.5, 1e-12);
  EXPECT_NE(std::string(g_verdict.verdict_why).find("[precision: range 9.8% over index rounds 2-5 of 5, target 1.5%]"),
            std::string::npos)
      << g_verdict.verdict_why;
  ASSERT_EQ(g_result_count, 2);
  EXPECT_EQ(g_results[0].spec, &kA);
  EXPECT_DOUBLE_EQ(g_results[0].st.rate, 350.0);
  EXPECT_DOUBLE_EQ(g_results[0].mt.rate, 525.0);
  EXPECT_DOUBLE_EQ(g_results[0].scaling, 0.035);
  EXPECT_EQ(g_results[0].mt_ran, 1);
  EXPECT_DOUBLE_EQ(g_results[1].st.rate, 35.0);
  EXPECT_EQ(g_results[1].st.nivcsw, 4);  // 3.5 rounds to 4
  EXPECT_EQ(g_results[1].mt_ran, 0);
}

// A run stopped in its first round reports the rows it cut, whatever earlier runs of the process
// left in the round slots, and its verdict reads those rows (their pooled wait).
TEST_F(RoundRules, StopInRoundOneKeepsTheCutRows) {
  for (int r = 5; r <= 8; ++r) {  // an earlier run's rounds
    fill_round(r);
    record_round();
  }
  reset_round_state();
  reset_verdict();
  fill_round(1);
  g_config.mode = MODE_FULL;
  testing::internal::CaptureStderr();
  finish_rounds();
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_result_count, 2);
  EXPECT_DOUBLE_EQ(g_results[0].st.rate, 100.0);
  EXPECT_DOUBLE_EQ(g_results[0].mt.rate, 150.0);
  EXPECT_DOUBLE_EQ(g_results[1].st.rate, 10.0);
  EXPECT_EQ(std::string(g_verdict.verdict_why).rfind("runqueue wait 2.00%", 0), 0u) << g_verdict.verdict_why;
  // No round ended: no index, and a run without one is not clean.
  EXPECT_NE(std::string(g_verdict.verdict_why).find(" [no index: the run ended before round 1 did]"),
            std::string::npos)
      << g_verdict.verdict_why;
  EXPECT_NE(g_verdict.verdict, VERDICT_CLEAN);
}

// The precision beside the index is the spread of the rounds it is the median of, not the best
// spread of an earlier window: a run whose rounds 5 to 8 agreed within 2.8 % and whose last four
// spread 11.75 % is reported with 11.8 % and is not clean. A run stopped after three rounds has no
// spread yet and says so.
TEST_F(RoundRules, PrecisionIsThatOfTheIndexRounds) {
  reset_verdict();
  const double rounds[] = {1500, 1300, 1450, 1350, 1400, 1410, 1380, 1390, 1300, 1437, 1372.7, 1363, 1276.3};
  int end = 0;
  for (const double v : rounds) end = round_with(v);
  ASSERT_EQ(end, 1);  // five rounds without improving on rounds 5-8 end it
  ASSERT_LT(g_rounds.precision, 0.03);  // the best window, rounds 5-8
  g_config.mode = MODE_FULL;
  testing::internal::CaptureStderr();
  finish_rounds();
  testing::internal::GetCapturedStderr();
  EXPECT_DOUBLE_EQ(g_rounds.index_mt, (1363 + 1372.7) / 2);
  EXPECT_NEAR(g_rounds.range, (1437 - 1276.3) / ((1363 + 1372.7) / 2), 1e-12);
  EXPECT_STREQ(verdict_name(g_verdict.verdict), "indicative");
  EXPECT_NE(std::string(g_verdict.verdict_why).find("[precision: range 11.7% over index rounds 10-13 of 13"),
            std::string::npos)
      << g_verdict.verdict_why;

  SetUp();
  reset_verdict();
  for (int r = 0; r < 3; ++r) round_with(1000 + r);
  g_config.mode = MODE_FULL;
  testing::internal::CaptureStderr();
  finish_rounds();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(g_rounds.range_known, 0);
  EXPECT_NE(std::string(g_verdict.verdict_why).find("[precision not known yet: 3 rounds, 4 needed]"), std::string::npos)
      << g_verdict.verdict_why;
}

uint64_t spin(void*, uint64_t count) {
  volatile uint64_t x = 0;
  for (uint64_t i = 0; i < count; ++i) x = x + i;
  return x;
}

TEST(RoundLoop, NoRoundStartsAfterTheTimeLimit) {
  reset_config();
  reset_run_control();
  reset_round_state();
  g_config.mode = MODE_FULL;
  g_config.ui = UI_TEXT;
  bench_cpus[0] = 0;
  cpus_used = 1;
  phase_seconds = 0.02;
  // The rounds of one spinning subtest, started this many seconds after the rounds' epoch.
  auto rounds_at = [](double since_epoch) {
    const int saved_count = g_registry_count;
    const SubtestSpec saved = g_registry[0];
    g_registry[0] = {"spin", "base", "Mops", spin, 1, 1, 1};
    g_registry_count = 1;
    g_run.rounds_epoch = now_seconds() - since_epoch;
    testing::internal::CaptureStderr();
    run_index_rounds();
    testing::internal::GetCapturedStderr();
    g_registry[0] = saved;
    g_registry_count = saved_count;
  };
  rounds_at(ROUND_TIME_LIMIT - 0.01);
  EXPECT_EQ(g_rounds.rounds, 1);
  EXPECT_EQ(g_result_count, 1);

  // 250 s in, after a round of 100 s: the next one would end past the limit and does not start.
  g_rounds.roundtime_history[0] = 100;
  rounds_at(250);
  EXPECT_EQ(g_rounds.rounds, 1);
  reset_run_control();
}

}  // namespace
