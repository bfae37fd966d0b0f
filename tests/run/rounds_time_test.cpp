#include <gtest/gtest.h>

#include <algorithm>

#include "engine/interference.h"
#include "engine/passes.h"
#include "engine/round_state.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/registry.h"
#include "temp_tree.h"
#include "verdict/verdict.h"

namespace {

uint64_t spin_kernel(void*, uint64_t count) {
  volatile uint64_t x = 0;
  for (uint64_t i = 0; i < count; ++i) x = x + i;
  return x;
}

// A full run of one short subtest on one CPU whose rounds' clock started `rounds_age` seconds
// ago and whose process started `launch_age` seconds ago; returns the rounds it completed.
int rounds_run(double launch_age, double rounds_age) {
  SubtestSpec saved[MAX_SUBTESTS];
  std::copy(g_registry, g_registry + MAX_SUBTESTS, saved);
  const int saved_count = g_registry_count;
  g_registry[0] = {"spin", "base", "Mops", spin_kernel, 1, 1, 1};
  g_registry_count = 1;
  reset_config();
  reset_run_control();
  reset_round_state();
  reset_verdict();
  reset_interference();
  g_machine.ncpu = 1;
  g_machine.cpu_ids[0] = 0;
  bench_cpus[0] = 0;
  cpus_used = 1;
  phase_seconds = 0.01;
  const double now = now_seconds();
  g_run.launch_time = now - launch_age;
  g_run.rounds_epoch = now - rounds_age;
  run_index_rounds();
  std::copy(saved, saved + MAX_SUBTESTS, g_registry);
  g_registry_count = saved_count;
  reset_run_control();
  return g_rounds.rounds;
}

// The rounds' 300 s count from consent: a y typed after four minutes at the prompt still gets
// the rounds a run started at once gets, while a run whose own rounds are past the limit stops
// after its first.
TEST(RoundsTime, CountsFromConsentNotFromLaunch) {
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  EXPECT_GE(rounds_run(400.0, 0.0), ROUND_WINDOW);
  EXPECT_EQ(rounds_run(400.0, 400.0), 1);
}

}  // namespace
