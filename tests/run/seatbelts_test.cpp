#include <gtest/gtest.h>

#include <unistd.h>

#include "run/control.h"
#include "run/seatbelts.h"

namespace {

TEST(Seatbelts, CpuTimeLimit) {
  // 4 CPUs, deadline 400 s after launch: 1602 s soft (the hard limit is 2 more).
  EXPECT_EQ(cpu_limit_soft(1400.0, 1000.0, 4), 1602);
  EXPECT_EQ(cpu_limit_soft(1003.0, 1000.0, 1), 5);
}

TEST(Seatbelts, FullRunBudgets) {
  EXPECT_NEAR(full_run_budget(9, 2.0), 366.8, 1e-9);
  EXPECT_NEAR(full_run_budget(9, 1.0), 343.4, 1e-9);
  EXPECT_NEAR(full_run_budget(9, 6.0), 460.4, 1e-9);
  EXPECT_NEAR(full_run_budget(9, 0.5), 331.7, 1e-9);
}

TEST(SeatbeltsDeathTest, WatchdogEndsAnOverstayingRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        reset_run_control();
        g_run.deadline = now_seconds() + 0.1;
        start_watchdog();
        // The measuring thread never looks at the stop flag: the watchdog must end the process
        // 0.5 s after the deadline with status 1.
        for (int i = 0; i < 50; ++i) usleep(100000);
        _exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(SeatbeltsDeathTest, WatchdogSetsTheStopFlagAtTheDeadline) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        reset_run_control();
        g_run.deadline = now_seconds() + 0.1;
        start_watchdog();
        while (!g_run.stop_requested.load()) usleep(10000);
        _exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
