#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>
#include <thread>
#include <unistd.h>

#include "engine/phase.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/inputs.h"
#include "subtests/registry.h"
#include "temp_tree.h"

namespace {

std::atomic<uint64_t> g_calls;
std::atomic<uint64_t> g_last_count;
std::atomic<uint64_t> g_counts[16];  // the chunk sizes of the first calls of slow_kernel

uint64_t spin_kernel(void*, uint64_t count) {
  g_calls.fetch_add(1);
  g_last_count.store(count);
  volatile uint64_t x = 0;
  for (uint64_t i = 0; i < count; ++i) x = x + i;
  return x;
}

uint64_t slow_kernel(void*, uint64_t count) {
  const uint64_t call = g_calls.fetch_add(1);
  if (call < 16) g_counts[call].store(count);
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

TEST(ChunkSizing, GrowsTowardsEightMsHalvesAboveThirtyTwoDownToOne) {
  const struct {
    uint64_t c;
    double dt;
    uint64_t want;
  } cases[] = {
      {1, 0.0, 64},                 // untimed: the largest step
      {1, 0.00000005, 64},          // at most 64-fold
      {1000, 0.001, 8000},          // towards 8 ms
      {1000, 0.004, 2000},
      {1000, 0.0059, 1355},             // grows below 6 ms
      {1ull << 30, 0.002, 1ull << 32},  // no upper limit
      {1024, 0.006, 1024},
      {1024, 0.032, 1024},
      {1024, 0.033, 512},
      {2, 0.5, 1},
      {1, 0.5, 1},
  };
  for (const auto& k : cases) EXPECT_EQ(next_chunk(k.c, k.dt), k.want) << k.c << " after " << k.dt;
}

// A worker slot fed chunks by hand: records and working space for cap chunks, stall state reset;
// the slot is handed back without them.
struct HandFedSlot {
  explicit HandFedSlot(uint32_t cap) : storage(cap), scratch(cap) {
    s.chunks = storage.data();
    s.stall_scratch = scratch.data();
    s.chunk_cap = cap;
    s.chunk_count = 0;
    s.busy_seconds = 0;
    s.stalls_judged = StallFigures{0.0, 0.0, 0.0};
    s.stall_fastest = 0;
    s.blocks_judged = 0;
  }
  ~HandFedSlot() {
    s.chunks = nullptr;
    s.stall_scratch = nullptr;
    s.chunk_cap = 0;
    s.chunk_count = 0;
  }
  WorkerSlot& s = worker_slots[MAX_CPUS - 1];
  std::vector<ChunkRecord> storage;
  std::vector<double> scratch;
};

// A 300 s phase through the worker's records: 8 ms chunks (with a little scatter), and every
// 100 ms a pause of 20 ms lands in one of them. The records fill many times over; every block is
// judged at full resolution, so the share reads 20 % and the longest stall one pause, not a sum.
TEST(ChunkRecords, AThreeHundredSecondPhaseReadsEveryPauseAtFullResolution) {
  HandFedSlot slot(CHUNK_RECORDS_MAX);
  WorkerSlot& s = slot.s;
  constexpr uint64_t kIters = 8000;  // at 1 us an iteration
  double t = 0, paused = 0;
  for (uint64_t k = 0; t < 300.0; ++k) {
    double seconds = 0.008 * (1.0 + 0.01 * static_cast<double>(k % 7) / 7.0);
    if (k % 10 == 9) {
      seconds += 0.020;
      paused += 0.020;
    }
    record_chunk(s, kIters, seconds);
    t += seconds;
  }
  const StallFigures f = worker_stalls(s);
  EXPECT_GT(s.blocks_judged, 5u);
  EXPECT_NEAR(f.stall_seconds / t, paused / t, 0.005) << "pauses are " << paused / t * 100 << " % of the phase";
  EXPECT_NEAR(f.longest_seconds, 0.020, 0.0005);
}

// A pause in the first chunk of a block is judged like any other (against the pace carried over).
TEST(ChunkRecords, APauseOpeningABlockCounts) {
  HandFedSlot slot(64);
  WorkerSlot& s = slot.s;
  for (int k = 0; k < 150; ++k) record_chunk(s, 8000, 0.008 * (1.0 + 0.001 * (k % 5)) + (k == 64 ? 0.020 : 0.0));
  const StallFigures f = worker_stalls(s);
  EXPECT_NEAR(f.stall_seconds, 0.020, 0.0005);
}

TEST_F(Phase, SlowKernelHalvesToTheFloor) {
  // Every chunk takes over 32 ms of wall time, so each halves the next down to the floor, however busy
  // the machine is; only how many chunks fit in the phase depends on the load.
  run_phase(&out, &kSlow, cpus, 1, 0.5, "single");
  const uint64_t calls = std::min<uint64_t>(g_calls.load(), 16);
  ASSERT_GE(calls, 2u);
  uint64_t expected = CHUNK_START;
  for (uint64_t i = 0; i < calls; ++i) {
    EXPECT_EQ(g_counts[i].load(), expected) << "call " << i;
    expected = std::max(expected / 2, CHUNK_MIN);
  }
  EXPECT_GT(out.rate, 0.0);
  EXPECT_DOUBLE_EQ(out.rate, out.lead_rate);
}

// A kernel of known ceiling: every iteration sleeps at least 20 us, so no honest rate exceeds
// 50,000 per second. It also times itself, which gives the throughput inside its calls.
std::atomic<uint64_t> g_ceiling_iters;
std::atomic<uint64_t> g_ceiling_ns;

uint64_t ceiling_kernel(void*, uint64_t count) {
  const double t0 = now_seconds();
  for (uint64_t i = 0; i < count; ++i) usleep(20);
  g_ceiling_ns.fetch_add(static_cast<uint64_t>((now_seconds() - t0) * 1e9));
  g_ceiling_iters.fetch_add(count);
  return count;
}
const SubtestSpec kCeiling = {"ceiling", "base", "Mops", ceiling_kernel, 1, 1, 1};

// The window runs from the phase's start: it holds every call and the worker's late start, and
// little else (the time between calls).
TEST_F(Phase, RateCoversItsOwnTimeAtEveryPhaseLength) {
  for (double seconds : {0.05, 0.3, 0.6, 1.0}) {
    g_ceiling_iters = 0;
    g_ceiling_ns = 0;
    run_phase(&out, &kCeiling, cpus, 1, seconds, "single");
    const double iters = static_cast<double>(g_ceiling_iters.load());
    const double in_calls = g_ceiling_ns.load() / 1e9;
    EXPECT_GT(out.rate, 0.0) << seconds;
    EXPECT_LE(out.rate, 50000.0) << seconds;
    EXPECT_LE(out.rate, iters / in_calls * 1.0001) << seconds;
    EXPECT_LE(out.rate, iters / (in_calls + out.start_delay_ms / 1000.0) * 1.0001) << seconds;
    EXPECT_GE(out.rate, iters / (in_calls + out.start_delay_ms / 1000.0) * 0.995) << seconds;
  }
}

// A chunk's length is judged at two paces, and it is out of range only when it is out at both:
// the worker's typical time per iteration, so a chunk that the scheduler paused does not count
// against its sizing, and the pace of the chunk before it, which is what the sizing saw. The
// second keeps a slow predecessor (a cold first call faulting in its pages, long under the
// sanitizers) or a machine whose load changes mid-phase from failing a sizing that was right.
std::string chunk_sizes_out_of_range(const WorkerSlot& s) {
  std::vector<double> per_iter;
  for (uint32_t k = 0; k < s.chunk_count; ++k)
    if (s.chunks[k].seconds >= 0.002) per_iter.push_back(s.chunks[k].seconds / s.chunks[k].iterations);
  if (per_iter.empty()) return "no grown chunk";
  std::nth_element(per_iter.begin(), per_iter.begin() + per_iter.size() / 2, per_iter.end());
  const double typical = per_iter[per_iter.size() / 2];
  std::string bad;
  double started = 0;
  for (uint32_t k = 0; k + 1 < s.chunk_count; ++k) {  // the last chunk may be cut by the end
    const auto out_of_range = [](double t) { return t < 0.004 * 0.9 || t > 0.032 * 1.1; };
    const double expected = s.chunks[k].iterations * typical;
    const double at_last_pace =
        k > 0 ? s.chunks[k].iterations * (s.chunks[k - 1].seconds / s.chunks[k - 1].iterations) : expected;
    if (started >= 0.001 && out_of_range(expected) && out_of_range(at_last_pace))
      bad += " chunk " + std::to_string(k) + ": " + std::to_string(expected * 1000) + " ms (" +
             std::to_string(at_last_pace * 1000) + " ms at the last chunk's pace)";
    started += s.chunks[k].seconds;
  }
  return bad;
}

TEST_F(Phase, ChunksOfEveryKernelLastFourTo32MsAfterTheFirstMillisecond) {
  ASSERT_EQ(prepare_inputs(), 0);
  register_subtests();
  for (int i = 0; i < g_registry_count; ++i) {
    // A pause during the short ramp can size one chunk small; it must not recur three times.
    std::string bad = "not run";
    for (int attempt = 0; attempt < 3 && !bad.empty(); ++attempt) {
      run_phase(&out, &g_registry[i], cpus, 1, 0.15, "single");
      bad = chunk_sizes_out_of_range(worker_slots[0]);
    }
    EXPECT_EQ(bad, "") << g_registry[i].name;
  }
}

// The pointer walk goes on through its 16 MiB ring from chunk to chunk, so its pace per step is the
// same at every chunk length. A walk that restarted at element 0 re-read the elements the chunk
// before it had cached: short chunks ran many times faster per step, and the chunks sized from
// them overshot. Calls of three lengths are interleaved, the quickest of five of each taken, so a
// burst of load or a change of the host's memory speed does not decide.
TEST(PointerWalk, PacePerStepDoesNotDependOnTheCallLength) {
  ASSERT_EQ(prepare_inputs(), 0);
  ChaseState walk{chase_ring, 0};
  const uint64_t counts[] = {1u << 12, 1u << 15, 1u << 18};
  double best[3] = {1e9, 1e9, 1e9};
  kernel_ptr_chase(&walk, 1u << 20);  // the ring's pages faulted in
  for (int attempt = 0; attempt < 5; ++attempt)
    for (int j = 0; j < 3; ++j) {
      // Calls of one length follow each other, as a phase's chunks do: a walk that went over the
      // same path again would find it in cache from the call before.
      kernel_ptr_chase(&walk, counts[j]);
      const double t0 = now_seconds();
      kernel_ptr_chase(&walk, counts[j]);
      best[j] = std::min(best[j], (now_seconds() - t0) / static_cast<double>(counts[j]));
    }
  const double lo = *std::min_element(best, best + 3), hi = *std::max_element(best, best + 3);
  EXPECT_LT(hi / lo, 2.0) << "ns a step at 2^12, 2^15, 2^18 steps: " << best[0] * 1e9 << ", " << best[1] * 1e9
                          << ", " << best[2] * 1e9;
}

// Its chunks, each timed on its own, keep the 4 to 32 ms range of the other kernels in a 0.6 s
// phase (a few may be paused by the scheduler on a loaded machine; the best of three phases).
TEST_F(Phase, PointerWalkChunksLastFourTo32MsByTheirOwnTiming) {
  ASSERT_EQ(prepare_inputs(), 0);
  register_subtests();
  const SubtestSpec* chase = nullptr;
  for (int i = 0; i < g_registry_count; ++i)
    if (std::string(g_registry[i].name) == "ptr_chase") chase = &g_registry[i];
  ASSERT_NE(chase, nullptr);
  int best_in_range = 0, best_judged = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    run_phase(&out, chase, cpus, 1, 0.6, "single");
    const WorkerSlot& s = worker_slots[0];
    int in_range = 0, judged = 0;
    double started = 0;
    for (uint32_t k = 0; k + 1 < s.chunk_count; ++k) {  // the last chunk may be cut by the end
      if (started >= 0.001) {
        ++judged;
        if (s.chunks[k].seconds >= 0.004 * 0.9 && s.chunks[k].seconds <= 0.032 * 1.1) ++in_range;
      }
      started += s.chunks[k].seconds;
    }
    if (best_judged == 0 || in_range * best_judged > best_in_range * judged) {
      best_in_range = in_range;
      best_judged = judged;
    }
  }
  ASSERT_GT(best_judged, 10);
  EXPECT_GE(best_in_range * 10, best_judged * 9) << best_in_range << " of " << best_judged << " chunks in 4 to 32 ms";
}

// Pauses nothing counts: every tenth call of the kernel sleeps 40 ms beside its work (several
// times a chunk's length, so the pauses stand out of any scatter a loaded machine gives the chunks),
// so about a third of the phase is paused without run-queue wait. The undisturbed rate leaves
// them out, and they are hidden stalls.
std::atomic<uint64_t> g_pausing_calls;
uint64_t pausing_kernel(void*, uint64_t count) {
  volatile uint64_t x = 0;
  for (uint64_t i = 0; i < count; ++i) x = x + i;
  if (g_pausing_calls.fetch_add(1) % 10 == 9) usleep(40000);
  return x;
}
const SubtestSpec kPausing = {"pausing", "base", "Mops", pausing_kernel, 1, 1, 1};

TEST_F(Phase, PausesNoCounterShowsAreHiddenAndLeftOutOfTheUndisturbedRate) {
  g_pausing_calls = 0;
  // At real-time priority, so that other work on a loaded machine adds no counted wait of its own
  // (which hidden stalls would leave out).
  if (geteuid() == 0) g_config.quiesce = QUIESCE_RT;
  run_phase(&out, &kPausing, cpus, 1, 0.6, "single");
  const double paused_share = 1.0 - out.rate / out.undisturbed_rate;
  EXPECT_GT(out.undisturbed_rate, out.rate * 1.1) << "paused share " << paused_share;
  EXPECT_GT(out.stall_pct, 5.0);
  EXPECT_LE(out.stall_pct, paused_share * 100 + 0.01);
  EXPECT_GT(out.stall_max_ms, 20.0);
}

// Pins the calling thread to cpu at real-time priority above the workers'; false when refused.
bool realtime_helper_on(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
  sched_param sp{};
  sp.sched_priority = WORKER_RT_PRIORITY + 10;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
}

// Pauses the kernel counted: a real-time thread of higher priority on the worker's CPU takes it for
// 40 ms in every 150 ms, so the worker waits on the run queue, and the kernel counts that wait.
// The undisturbed rate still leaves those pauses out, but they are not hidden stalls.
TEST_F(Phase, PausesTheKernelCountedAsWaitAreNotHiddenStalls) {
  SchedSnapshot probe{};
  take_sched_snapshot(&probe);
  if (!probe.valid) GTEST_SKIP() << "kernel without schedstat";
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a real-time helper thread";
  std::atomic<int> stop{0}, ready{0};
  std::thread rival([&] {
    ready = realtime_helper_on(cpus[0]) ? 1 : -1;
    while (ready.load() > 0 && !stop.load()) {
      usleep(110000);
      const double t0 = now_seconds();
      while (now_seconds() - t0 < 0.040) {
      }
    }
  });
  while (ready.load() == 0) usleep(1000);
  if (ready.load() < 0) {
    rival.join();
    GTEST_SKIP() << "real-time priority refused";
  }
  // The worker at real-time priority too (below the rival's), so that on a loaded machine only
  // the rival pauses it, in pauses the stall rule can tell from the chunks' scatter.
  g_config.quiesce = QUIESCE_RT;
  run_phase(&out, &kSpin, cpus, 1, 0.6, "single");
  stop = 1;
  rival.join();
  const double paused_share = 1.0 - out.rate / out.undisturbed_rate;
  ASSERT_GT(out.wait_pct, 5.0);
  EXPECT_GT(paused_share, 0.05);
  // What the kernel counted is not called hidden; what remains is a fraction of the pauses.
  EXPECT_LT(out.stall_pct, paused_share * 100 / 2) << "paused " << paused_share * 100 << " %, wait "
                                                    << out.wait_pct << " %";
}

// A CPU shared evenly for the whole phase: an ordinary thread spins on the worker's CPU, so every
// chunk is slowed alike and none stands out as paused, but the kernel counts the worker's wait.
// The undisturbed rate leaves that counted wait out too.
TEST_F(Phase, CountedWaitSpreadOverEveryChunkIsLeftOutOfTheUndisturbedRate) {
  std::atomic<int> stop{0};
  std::thread rival([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpus[0], &set);
    sched_setaffinity(0, sizeof set, &set);
    while (!stop.load()) {
    }
  });
  run_phase(&out, &kSpin, cpus, 1, 0.6, "single");
  stop = 1;
  rival.join();
  ASSERT_GT(out.run_seconds, 0.0);
  const double waited = out.wait_seconds / out.run_seconds;  // wait per second on the CPU
  ASSERT_GT(waited, 0.3) << "the rival did not share the CPU";
  EXPECT_GT(out.undisturbed_rate / out.rate, 1.0 + waited * 0.7)
      << "wait " << out.wait_seconds << " s over " << out.run_seconds << " s on the CPU";
}

// Runs phase() while a real-time thread holds cpu for `seconds` from before the phase starts;
// false when real-time priority is refused.
template <typename Phase>
bool while_cpu_held(int cpu, double seconds, Phase phase) {
  std::atomic<int> holding{0};
  std::thread holder([&] {
    if (!realtime_helper_on(cpu)) {
      holding = -1;
      return;
    }
    const double t0 = now_seconds();
    holding = 1;
    while (now_seconds() - t0 < seconds) {
    }
  });
  while (holding.load() == 0) usleep(1000);
  if (holding.load() > 0) phase();
  holder.join();
  return holding.load() > 0;
}

// A worker held off its CPU before its first chunk: a real-time thread holds the second CPU for
// the first 0.3 s of a 0.6 s all-core phase. The worker's late start is wait, and its rate is its
// work over the whole phase, not over the part it ran.
TEST_F(Phase, AWorkerHeldOffItsCpuStartsLateAndThatCounts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a real-time helper thread";
  if (!while_cpu_held(cpus[1], 0.3, [&] { run_phase(&out, &kSpin, cpus, 2, 0.6, "all-core"); }))
    GTEST_SKIP() << "real-time priority refused";
  const WorkerSlot& late = worker_slots[1];
  // The second worker's rate is the all-core rate less the first's; its window gives the start.
  const double phase_start = late.last_end - (late.iterations / (out.rate - out.lead_rate));
  const double held = late.first_start - phase_start;
  EXPECT_GT(held, 0.1);
  EXPECT_GE(out.start_delay_ms / 1000, held - 1e-6);
  // The late worker's share of the rate is its work over the phase, from its start.
  const double own_window_rate = late.iterations / (late.last_end - late.first_start);
  EXPECT_LT(out.rate - out.lead_rate, own_window_rate * 0.9);
  EXPECT_GE(out.wait_seconds, out.start_delay_ms / 1000 * 0.99);
}

// Held off for longer than the whole 0.3 s phase, the worker runs no chunk: its late start lasts
// to the phase's end, and it is wait all the same.
TEST_F(Phase, AWorkerHeldOffTheWholePhaseIsWaitToTheEnd) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a real-time helper thread";
  if (!while_cpu_held(cpus[1], 0.5, [&] { run_phase(&out, &kSpin, cpus, 2, 0.3, "all-core"); }))
    GTEST_SKIP() << "real-time priority refused";
  ASSERT_EQ(worker_slots[1].iterations, 0u);
  EXPECT_DOUBLE_EQ(out.rate, out.lead_rate);
  EXPECT_GT(out.start_delay_ms, 200.0);
  EXPECT_GE(out.wait_seconds, out.start_delay_ms / 1000 * 0.99);
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
  // The deadline leaves the worker a second and a half: on a loaded machine its thread may wait
  // a while before it first runs, and a chunk starts only while more than 50 ms are left.
  g_run.deadline = now_seconds() + 1.5;
  const double t0 = now_seconds();
  run_phase(&out, &kSpin, cpus, 1, 30.0, "single");
  const double took = now_seconds() - t0;
  EXPECT_LT(took, 30.0 / 2);  // far from the 30 s asked for
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
  // A spinning worker runs for a good share of the phase however busy the machine is (the
  // scheduler shares a CPU fairly); a worker that sleeps 20 ms a call runs for microseconds a
  // call. Snapshots of any other thread (the sampling thread and the caller sleep as well) would
  // make the two alike. Time on the CPU is compared, not runnable time: under load, the sleeping
  // worker waits in the run queue after every wake-up, for as long as its calls last.
  const auto on_cpu = [] {
    const WorkerSlot& s = worker_slots[0];
    return (s.sched_end.run_ns - s.sched_start.run_ns) / 1e9;
  };
  run_phase(&out, &kSpin, cpus, 1, 0.4, "single");
  const double spin = on_cpu();
  run_phase(&out, &kSleepy, cpus, 1, 0.4, "single");
  const double sleep = on_cpu();
  EXPECT_GT(spin, 10 * sleep) << "spinning " << spin << " s, sleeping " << sleep << " s on the CPU";
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
  EXPECT_GE(calls, 2);  // at the start, and again while the phase runs
  EXPECT_LE(last_pct, 100.0);
}

}  // namespace
