#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

#include "engine/phase.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/inputs.h"
#include "temp_tree.h"

namespace {

std::atomic<uint64_t> g_calls;
std::atomic<uint64_t> g_last_count;

uint64_t spin_kernel(void*, uint64_t count) {
  g_calls.fetch_add(1);
  g_last_count.store(count);
  volatile uint64_t x = 0;
  for (uint64_t i = 0; i < count; ++i) x = x + i;
  return x;
}

uint64_t slow_kernel(void*, uint64_t count) {
  g_calls.fetch_add(1);
  g_last_count.store(count);
  const double t0 = now_seconds();
  while (now_seconds() - t0 < 0.040) {
  }
  return count;
}

uint64_t sleepy_kernel(void*, uint64_t count) {
  g_calls.fetch_add(1);
  usleep(20000);
  return count;
}

const SubtestSpec kSpin = {"spin", "base", "Mops", spin_kernel, 1, 1, 1};
const SubtestSpec kSlow = {"slow", "base", "Mops", slow_kernel, 1, 1, 1};
const SubtestSpec kSleepy = {"sleepy", "base", "Mops", sleepy_kernel, 1, 1, 1};

class Phase : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_run_control();
    reset_interference();
    g_machine.ncpu = 2;
    g_machine.cpu_ids[0] = 0;
    g_machine.cpu_ids[1] = 1;
    g_calls = 0;
    g_last_count = 0;
  }
  void TearDown() override { reset_run_control(); }
  const int cpus[2] = {0, 1};
  PhaseResult out{};
};

TEST(ChunkSizing, DoublesBelowFourMsHalvesAboveThirtyTwoDownTo64) {
  EXPECT_EQ(next_chunk(1024, 0.001), 2048u);
  EXPECT_EQ(next_chunk(1u << 30, 0.0039), 1u << 31);  // no upper limit
  EXPECT_EQ(next_chunk(1024, 0.004), 1024u);
  EXPECT_EQ(next_chunk(1024, 0.032), 1024u);
  EXPECT_EQ(next_chunk(1024, 0.033), 512u);
  EXPECT_EQ(next_chunk(128, 0.5), 64u);
  EXPECT_EQ(next_chunk(64, 0.5), 64u);
}

TEST_F(Phase, SlowKernelHalvesToSixtyFour) {
  run_phase(&out, &kSlow, cpus, 1, 0.35, "single");
  EXPECT_GE(g_calls.load(), 5u);
  EXPECT_EQ(g_last_count.load(), 64u);
  EXPECT_GT(out.rate, 0.0);
  EXPECT_DOUBLE_EQ(out.rate, out.lead_rate);
}

TEST_F(Phase, FastKernelGrowsItsChunks) {
  run_phase(&out, &kSpin, cpus, 1, 0.3, "single");
  EXPECT_GT(g_last_count.load(), 1024u);
  EXPECT_EQ(g_last_count.load() & (g_last_count.load() - 1), 0u);  // a power of two
}

TEST_F(Phase, AllWorkersCountAndLeadIsTheFirst) {
  run_phase(&out, &kSpin, cpus, 2, 0.3, "all-core");
  EXPECT_GT(out.rate, out.lead_rate);
  EXPECT_GT(out.lead_rate, 0.0);
  EXPECT_EQ(phase_workers.load(), 2);
}

TEST_F(Phase, StopBeforeTheFirstChunkMeasuresNothing) {
  g_run.stop_requested = 1;
  run_phase(&out, &kSpin, cpus, 2, 0.3, "all-core");
  EXPECT_EQ(g_calls.load(), 0u);
  EXPECT_EQ(out.rate, 0.0);
  EXPECT_EQ(worker_slots[0].sched_end.valid, worker_slots[0].sched_start.valid);
}

TEST_F(Phase, DeadlineClipsThePhase) {
  g_run.deadline = now_seconds() + 0.25;
  const double t0 = now_seconds();
  run_phase(&out, &kSpin, cpus, 1, 5.0, "single");
  const double took = now_seconds() - t0;
  EXPECT_LT(took, 1.0);
  EXPECT_GT(out.rate, 0.0);

  g_calls = 0;
  g_run.deadline = now_seconds() + 0.04;  // less than the 50 ms margin: nothing starts
  run_phase(&out, &kSpin, cpus, 1, 5.0, "single");
  EXPECT_EQ(g_calls.load(), 0u);
  EXPECT_EQ(out.rate, 0.0);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 1.0);
  EXPECT_EQ(out.peak_mc, -1);
}

TEST_F(Phase, SnapshotsAreTheWorkersOwn) {
  if (access("/proc/self/task", F_OK) != 0) GTEST_SKIP() << "no per-thread schedstat";
  SchedSnapshot probe{};
  take_sched_snapshot(&probe);
  if (!probe.valid) GTEST_SKIP() << "kernel without schedstat";
  run_phase(&out, &kSpin, cpus, 1, 0.4, "single");
  const double spin_run = (worker_slots[0].sched_end.run_ns - worker_slots[0].sched_start.run_ns) / 1e9;
  run_phase(&out, &kSleepy, cpus, 1, 0.4, "single");
  const double sleep_run = (worker_slots[0].sched_end.run_ns - worker_slots[0].sched_start.run_ns) / 1e9;
  EXPECT_GT(spin_run, 0.2);
  EXPECT_LT(sleep_run, 0.1);
}

TEST_F(Phase, ClockThatSagsDuringThePhase) {
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  const std::string freq = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq";
  tree.write(freq, "2000000\n");
  std::thread writer([&] {
    usleep(450000);
    tree.write(freq, "1500000\n");
  });
  run_phase(&out, &kSpin, cpus, 1, 1.0, "single");
  writer.join();
  EXPECT_EQ(out.khz_hi, 2000000);
  EXPECT_EQ(out.khz_lo, 1500000);
  EXPECT_DOUBLE_EQ(out.clock_ratio, 0.75);
  EXPECT_EQ(core_marks[0], MARK_THROTTLED);
}

TEST_F(Phase, ProgressHookSeesThePhase) {
  static int calls;
  static double last_pct;
  calls = 0;
  progress_hook = [](const SubtestSpec* s, const char* label, double pct) {
    ++calls;
    last_pct = pct;
    EXPECT_STREQ(s->name, "spin");
    EXPECT_STREQ(label, "single");
  };
  run_phase(&out, &kSpin, cpus, 1, 0.35, "single");
  EXPECT_GE(calls, 3);
  EXPECT_LE(last_pct, 100.0);
}

}  // namespace
