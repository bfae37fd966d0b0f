// What the measuring loop costs the measured CPUs, and how close an all-core phase comes to
// perfect scaling on an idle machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include <sys/resource.h>

#include "engine/phase.h"
#include "engine/stalls.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/inputs.h"
#include "subtests/registry.h"

namespace {

double thread_cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void setup() {
  static const bool ready = [] {
    reset_config();
    reset_run_control();
    read_topology();
    build_crc_tables();
    build_aes_tables();
    register_subtests();
    return prepare_inputs() == 0;
  }();
  if (!ready) std::abort();
}

// CPU time of the calling (sampling) thread per second of a 1 s single-thread phase, in percent
// of one CPU.
void BM_SamplerCost(benchmark::State& bs) {
  setup();
  const int cpus[1] = {g_machine.cpu_ids[0]};
  double pct = 0;
  for (auto _ : bs) {
    PhaseResult out{};
    const double c0 = thread_cpu_seconds();
    const double t0 = now_seconds();
    run_phase(&out, &g_registry[0], cpus, 1, 1.0, "single");
    pct = (thread_cpu_seconds() - c0) / (now_seconds() - t0) * 100.0;
  }
  bs.counters["sampler_cpu_pct"] = pct;
}
BENCHMARK(BM_SamplerCost)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// int_scalar all-core rate over (workers × single-thread rate), 0.6 s phases as in a full run.
void BM_AllCoreScaling(benchmark::State& bs) {
  setup();
  const int n = g_machine.ncpu;
  double scaling = 0;
  for (auto _ : bs) {
    PhaseResult st{}, mt{};
    run_phase(&st, &g_registry[0], g_machine.cpu_ids, 1, 0.6, "single");
    run_phase(&mt, &g_registry[0], g_machine.cpu_ids, n, 0.6, "all-core");
    scaling = st.rate > 0 ? mt.rate / (n * st.rate) : 0.0;
  }
  bs.counters["scaling"] = scaling;
  bs.counters["cpus"] = n;
}
BENCHMARK(BM_AllCoreScaling)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// How far a phase's rate lies from the throughput inside the kernel calls of the same phase (its
// iterations over the summed chunk durations), in percent, for each kernel and phase length.
// The window of a worker holds every chunk it counts, so the bias is the cost of the loop around
// the calls: the target is within 0.5 %.
void BM_RateBias(benchmark::State& bs) {
  setup();
  const SubtestSpec& spec = g_registry[bs.range(0)];
  const double seconds = static_cast<double>(bs.range(1)) / 100.0;
  const int cpus[1] = {g_machine.cpu_ids[0]};
  double bias = 0;
  for (auto _ : bs) {
    PhaseResult out{};
    run_phase(&out, &spec, cpus, 1, seconds, "single");
    const WorkerSlot& s = worker_slots[0];
    const double in_calls = static_cast<double>(s.iterations) * spec.ops_per_iter / s.busy_seconds;
    bias = (out.rate / in_calls - 1.0) * 100.0;
  }
  bs.SetLabel(spec.name);
  bs.counters["bias_pct"] = bias;
}
BENCHMARK(BM_RateBias)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 8, 1), {5, 30, 60}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ptr_chase over ten 0.6 s single-thread phases: the spread of their rates, (max - min) / median
// in percent (goal: under 2 % on a quiet machine), and the shortest and longest chunk after the
// first millisecond, in ms (the other kernels keep 4 to 32 ms).
void BM_PtrChasePhaseSpread(benchmark::State& bs) {
  setup();
  const SubtestSpec* chase = nullptr;
  for (int i = 0; i < g_registry_count; ++i)
    if (std::string(g_registry[i].name) == "ptr_chase") chase = &g_registry[i];
  if (!chase) std::abort();
  const int cpus[1] = {g_machine.cpu_ids[0]};
  std::vector<double> rates;
  double shortest = 1e9, longest = 0;
  for (auto _ : bs) {
    rates.clear();
    for (int k = 0; k < 10; ++k) {
      PhaseResult out{};
      run_phase(&out, chase, cpus, 1, 0.6, "single");
      rates.push_back(out.rate);
      const WorkerSlot& s = worker_slots[0];
      double started = 0;
      for (uint32_t c = 0; c + 1 < s.chunk_count; ++c) {
        if (started >= 0.001) {
          shortest = std::min(shortest, s.chunks[c].seconds * 1000);
          longest = std::max(longest, s.chunks[c].seconds * 1000);
        }
        started += s.chunks[c].seconds;
      }
    }
  }
  std::sort(rates.begin(), rates.end());
  bs.counters["spread_pct"] = (rates.back() - rates.front()) / rates[rates.size() / 2] * 100.0;
  bs.counters["median_Mderef"] = rates[rates.size() / 2] / 1e6;
  bs.counters["chunk_min_ms"] = shortest;
  bs.counters["chunk_max_ms"] = longest;
}
BENCHMARK(BM_PtrChasePhaseSpread)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stall rule at the end of a phase for 256 workers of a default 0.6 s phase (about 80 chunks
// each, with a pause here and there). Target: well under 1 ms for all of them.
void BM_StallAnalysis256(benchmark::State& bs) {
  constexpr int WORKERS = 256;
  constexpr int CHUNKS = 80;
  std::vector<ChunkRecord> chunks(WORKERS * CHUNKS);
  for (int w = 0; w < WORKERS; ++w)
    for (int k = 0; k < CHUNKS; ++k)
      chunks[w * CHUNKS + k] = {800000, 0.008 * (1.0 + 0.01 * ((k * 37 + w) % 21 - 10) / 10.0) +
                                            (k % 17 == 3 ? 0.02 : 0.0)};
  std::vector<double> scratch(CHUNKS);
  double total = 0;
  for (auto _ : bs) {
    for (int w = 0; w < WORKERS; ++w) total += find_stalls(&chunks[w * CHUNKS], CHUNKS, scratch.data()).stall_seconds;
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_StallAnalysis256)->Unit(benchmark::kMicrosecond);

}  // namespace
