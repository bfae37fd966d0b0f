// Cost of building one in-process dashboard frame (without writing it): the worst case the
// dashboard meets, 256 CPUs all running, nine subtest rows and three peer bars.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "dashboard/inprocess.h"
#include "dashboard/outbuf.h"
#include "dashboard/peers.h"
#include "engine/phase.h"
#include "engine/round_state.h"
#include "machine/topology.h"
#include "run/control.h"
#include "subtests/registry.h"

namespace {

void set_up_busy_machine() {
  g_machine.ncpu = MAX_CPUS;
  g_machine.ncores = MAX_CPUS / 2;
  g_machine.hybrid = 1;
  g_machine.p_cores = MAX_CPUS / 4;
  g_machine.e_cores = MAX_CPUS / 4;
  std::snprintf(g_machine.cpu_model, sizeof g_machine.cpu_model, "Bench CPU with a rather long model name 64-Core");
  for (int i = 0; i < MAX_CPUS; ++i) {
    g_machine.cpu_ids[i] = i;
    g_machine.max_khz[i] = 3000000;
    g_machine.is_e[i] = i >= MAX_CPUS / 2;
  }
  register_subtests();
  g_result_count = 0;
  for (int i = 0; i < g_registry_count && i < 9; ++i) {
    SubtestResult& r = g_results[g_result_count++];
    r = SubtestResult{};
    r.spec = &g_registry[i];
    r.st.rate = 350e6 + i;
    r.mt.rate = 60000e6 + i;
    r.mt_ran = 1;
    r.scaling = 0.8;
    r.st_under_load = 0.6;
  }
  g_rounds.index_st = 1020;
  g_rounds.index_mt = 98000;
  g_rounds.index_n = 8;
  g_peer_count = 3;
  for (int i = 0; i < 3; ++i) {
    g_peers[i].value = 90000 + 1000 * i;
    std::snprintf(g_peers[i].name, sizeof g_peers[i].name, "peer unit %d", i);
  }
  core_map_reset();
  phase_workers.store(MAX_CPUS);
  for (int i = 0; i < MAX_CPUS; ++i) {
    worker_slots[i].cpu.store(i);
    worker_slots[i].running.store(1);
  }
  g_dash.current = &g_registry[0];
  std::snprintf(g_dash.phase_label, sizeof g_dash.phase_label, "all-core");
  g_dash.percent = 40;
}

void BM_BuildFrame(benchmark::State& state) {
  static const bool ready = [] {
    set_up_busy_machine();
    return true;
  }();
  benchmark::DoNotOptimize(ready);
  dash_set_screen_size(1, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    build_inprocess_frame();
    benchmark::DoNotOptimize(g_out.bytes[0]);
  }
  state.counters["bytes"] = static_cast<double>(g_out.len);
}
BENCHMARK(BM_BuildFrame)->Args({200, 60})->Args({120, 50})->Args({80, 24})->Unit(benchmark::kMicrosecond);

}  // namespace
