#include <gtest/gtest.h>

#include <string>

#include "engine/interference.h"
#include "machine/topology.h"

namespace {

class Interference : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_interference();
    g_machine.ncpu = 4;
    for (int i = 0; i < 4; ++i) g_machine.cpu_ids[i] = 10 + i;  // positions differ from numbers
    phase_accounting_begin(&acc, 2);
  }
  SchedSnapshot snap(uint64_t run, uint64_t wait, int32_t sw = 0, int32_t valid = 1) {
    return SchedSnapshot{run, wait, sw, valid};
  }
  PhaseAccounting acc{};
  PhaseResult out{};
  const int cpus[2] = {11, 13};
};

TEST_F(Interference, WaitAboveFivePercentMarksContended) {
  account_worker(&acc, 11, snap(0, 0, 1), snap(100000000, 5000000, 4));   // exactly 5.0 %
  account_worker(&acc, 13, snap(0, 0), snap(100000000, 5010000));          // 5.01 %
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(core_marks[1], 0);
  EXPECT_EQ(core_marks[3], MARK_CONTENDED);
  EXPECT_NEAR(out.wait_pct, 5.01, 1e-9);
  EXPECT_NEAR(out.wait_agg, 10010000.0 * 100 / 200000000.0, 1e-9);
  EXPECT_EQ(out.nivcsw, 3);
}

TEST_F(Interference, UnreadableOrBackwardSnapshotsGiveNoWaitData) {
  account_worker(&acc, 11, snap(0, 0, 0, 0), snap(100, 90));           // start unreadable
  account_worker(&acc, 13, snap(500, 500), snap(100, 100));            // went backwards
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(out.wait_pct, 0.0);
  EXPECT_EQ(out.wait_agg, 0.0);
  EXPECT_EQ(core_marks[1], 0);
  EXPECT_EQ(core_marks[3], 0);
}

TEST_F(Interference, ClockSagUsesTheSecondLowestSample) {
  // Worker 0: one stray low sample is not sag. Worker 1: two low samples at exactly 0.9.
  for (int32_t k : {2000000, 1000000, 2000000, 1950000}) clock_sample_value(&acc, 0, k);
  for (int32_t k : {2000000, 1800000, 1800000}) clock_sample_value(&acc, 1, k);
  clock_sample_value(&acc, 1, 0);   // unreadable readings are skipped
  clock_sample_value(&acc, 1, -5);
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(out.khz_lo, 1000000);
  EXPECT_EQ(out.khz_hi, 2000000);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 0.9);
  EXPECT_EQ(core_marks[1], 0);
  EXPECT_EQ(core_marks[3], 0);
}

TEST_F(Interference, ThrottledReplacesContendedButNotTheReverse) {
  account_worker(&acc, 11, snap(0, 0), snap(1000, 100));
  for (int32_t k : {2000000, 1700000, 1700000}) clock_sample_value(&acc, 0, k);
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(core_marks[1], MARK_THROTTLED);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 0.85);
  phase_accounting_begin(&acc, 2);
  account_worker(&acc, 11, snap(0, 0), snap(1000, 500));
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(core_marks[1], MARK_THROTTLED);
}

TEST_F(Interference, SingleSampleCountsInRangeNotRatio) {
  clock_sample_value(&acc, 0, 1200000);
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(out.khz_lo, 1200000);
  EXPECT_EQ(out.khz_hi, 1200000);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 1.0);
}

TEST_F(Interference, NoSamplesNoSensors) {
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(out.khz_lo, 0);
  EXPECT_EQ(out.khz_hi, 0);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 1.0);
  EXPECT_EQ(out.peak_mc, -1);
}

TEST_F(Interference, ThermalNoticeOnce) {
  testing::internal::CaptureStderr();
  temperature_value(&acc, 94999);
  EXPECT_EQ(thermal_mark_reached, 0);
  temperature_value(&acc, 95000);
  temperature_value(&acc, 97000);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "tallyfox: 95.0°C reached (95°C mark) — measuring the sustained state, not stopping\n");
  EXPECT_EQ(thermal_mark_reached, 1);
  phase_close(&acc, cpus, &out);
  EXPECT_EQ(out.peak_mc, 97000);
}

TEST(Schedstat, Parse) {
  uint64_t run = 0, wait = 0;
  EXPECT_EQ(parse_schedstat("123 456 7", &run, &wait), 0);
  EXPECT_EQ(run, 123u);
  EXPECT_EQ(wait, 456u);
  EXPECT_EQ(parse_schedstat("", &run, &wait), -1);
  EXPECT_EQ(parse_schedstat("12", &run, &wait), -1);
  EXPECT_EQ(parse_schedstat("garbage", &run, &wait), -1);
}

}  // namespace
