// Cost of one dashboard frame at a large terminal, and of draining a burst of child output
// through the line assembler and the event handling.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "events/event_reader.h"
#include "dashboard/grid.h"
#include "dashboard/screen.h"

namespace {

const char* const START_LINE =
    R"({"event":"start","tool":"tallyfox","tool_version":"0.1.1","mode":"full","cpu_model":"Bench CPU 64-Core Processor","ncpu":128,"ncores":64,"p_cores":64,"e_cores":0,"p_threads":128,"e_threads":0,"hybrid":false,"isa":{"sse2":1,"sse42":1,"avx":1,"avx2":1,"avx512f":1,"sha_ni":1,"aes_ni":1,"neon":0,"arm_crc":0,"arm_sha2":0,"arm_aes":0,"sve":0},"isolcpus":"","rt_runtime_us":950000,"cur_mhz":3000,"max_mhz":3700,"thermal_c":48.0,"fingerprint":"bench"})";

std::string subtest_line(int i, double st) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                R"({"event":"subtest","name":"subtest_%02d","isa":"avx2","unit":"MB/s","st":%.1f,"mt":%.1f,"scaling":%.3f,"st_wait_pct":%.2f,"mt_wait_pct":1.20,"mt_wait_agg":%.2f,"nivcsw":12,"khz_lo":2900000,"khz_hi":3700000})",
                i, st, st * 50, 0.4 + (i % 10) * 0.09, (i % 7) * 1.1, (i % 5) * 1.7);
  return buf;
}

std::string round_line(int i) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                R"({"event":"round","round":%d,"index_st":%.1f,"index_mt":%.1f,"spread":%.4f,"target":0.0150,"converged":0,"elapsed":%.2f})",
                i + 1, 1000.0 + i % 9, 48000.0 + (i * 37) % 500, 0.02 + (i % 4) * 0.001, i * 3.5);
  return buf;
}

std::string progress_line(int i) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                R"({"event":"progress","name":"subtest_%02d","isa":"avx2","phase":"all-core","pct":%d,"elapsed":%.2f})", i % 40,
                i % 101, i * 0.5);
  return buf;
}

// A model with 40 rows and 64 rounds, filled through the event reader.
void fill_model(DashModel& m) {
  m = DashModel{};
  LineAssembler* a = new LineAssembler{};
  std::string text = std::string(START_LINE) + "\n";
  for (int i = 0; i < 40; ++i) text += subtest_line(i, 100.0 + i * 13) + "\n";
  for (int i = 0; i < 64; ++i) text += round_line(i) + "\n";
  text += progress_line(17) + "\n";
  line_feed(*a, m, text.data(), text.size(), 1.0);
  delete a;
  m.start_time = 0.0;
}

void BM_ComposeFrame200x60(benchmark::State& state) {
  DashModel* m = new DashModel;
  fill_model(*m);
  for (auto _ : state) {
    grid_begin_frame_sized(200, 60);
    compose_dashboard_screen(*m, 1, 123.4);
    const std::string_view out = grid_compose();
    benchmark::DoNotOptimize(out.data());
    state.counters["bytes"] = static_cast<double>(out.size());
  }
  delete m;
}
BENCHMARK(BM_ComposeFrame200x60)->Unit(benchmark::kMicrosecond);

void BM_FrameToDevNull200x60(benchmark::State& state) {
  DashModel* m = new DashModel;
  fill_model(*m);
  const int fd = open("/dev/null", O_WRONLY);
  for (auto _ : state) {
    grid_begin_frame_sized(200, 60);
    compose_dashboard_screen(*m, 0, 123.4);
    const std::string_view out = grid_compose();
    benchmark::DoNotOptimize(write(fd, out.data(), out.size()));
  }
  close(fd);
  delete m;
}
BENCHMARK(BM_FrameToDevNull200x60)->Unit(benchmark::kMicrosecond);

// A burst of progress, subtest and round events fed in 8 KiB reads, as the supervisor drains
// its pipe.
void BM_DrainEventBurst(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  std::string burst;
  for (int i = 0; i < lines; ++i) {
    if (i % 10 == 9)
      burst += subtest_line(i % 40, 100.0 + i);
    else if (i % 50 == 49)
      burst += round_line(i / 50);
    else
      burst += progress_line(i);
    burst += '\n';
  }
  DashModel* m = new DashModel;
  LineAssembler* a = new LineAssembler{};
  for (auto _ : state) {
    *m = DashModel{};
    a->len = 0;
    for (std::size_t off = 0; off < burst.size(); off += 8192) {
      const std::size_t n = burst.size() - off < 8192 ? burst.size() - off : 8192;
      line_feed(*a, *m, burst.data() + off, n, 2.0);
    }
    benchmark::DoNotOptimize(m->row_count);
  }
  state.SetItemsProcessed(state.iterations() * lines);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(burst.size()));
  delete a;
  delete m;
}
BENCHMARK(BM_DrainEventBurst)->Arg(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
