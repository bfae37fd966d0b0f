#include "engine/phase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/resource.h>

#include "machine/sensors.h"
#include "run/config.h"
#include "run/control.h"

WorkerSlot worker_slots[MAX_CPUS];
std::atomic<int> phase_workers{0};

namespace {

PhaseAccounting g_acc;
double* g_stall_scratch;  // the stall rule's working space, grown to the longest chunk record
uint32_t g_stall_scratch_cap;

// Stall figures of one joined worker; none when the working space cannot be had.
StallFigures worker_stalls(const WorkerSlot& s) {
  if (s.chunk_count > g_stall_scratch_cap) {
    std::free(g_stall_scratch);
    g_stall_scratch = static_cast<double*>(std::malloc(s.chunk_count * sizeof(double)));
    g_stall_scratch_cap = g_stall_scratch ? s.chunk_count : 0;
  }
  if (!g_stall_scratch) return StallFigures{0.0, 0.0, 0.0};
  return find_stalls(s.chunks, s.chunk_count, g_stall_scratch);
}

void* alloc_aligned(std::size_t bytes) {
  void* p = nullptr;
  return posix_memalign(&p, 64, bytes) == 0 ? p : nullptr;
}

void free_buffers(WorkerSlot& s) {
  std::free(s.lz4.out);
  std::free(s.lz4.table);
  std::free(s.vec.a);
  std::free(s.vec.b);
  std::free(s.vec.c);
  s.lz4.out = nullptr;
  s.lz4.table = nullptr;
  s.vec.a = s.vec.b = s.vec.c = nullptr;
}

// Allocates and fills the worker's private buffers; false when memory is short.
bool prepare_slot(WorkerSlot& s, int cpu, const SubtestSpec* spec, double end, double seconds) {
  s.cpu.store(cpu, std::memory_order_relaxed);
  s.spec = spec;
  s.end_time = end;
  s.iterations = 0;
  s.first_start = 0;
  s.last_end = 0;
  s.busy_seconds = 0;
  s.chunk_count = 0;
  // The chunk records outlive the phase (until the slot's next phase), so that callers and
  // benchmarks can look at them after the join; they grow only when a longer phase needs more.
  const uint32_t cap = chunk_capacity(seconds);
  if (cap > s.chunk_cap || !s.chunks) {
    std::free(s.chunks);
    s.chunks = static_cast<ChunkRecord*>(alloc_aligned(cap * sizeof(ChunkRecord)));
    s.chunk_cap = s.chunks ? cap : 0;
  }
  s.sink = 0;
  s.started = 0;
  s.running.store(0, std::memory_order_relaxed);
  s.sched_start = {};
  s.sched_end = {};
  seed_state(&s.prng, static_cast<uint64_t>(cpu) + 0xBEEF0000ULL);
  s.data = {random_buf, RANDOM_BUF_BYTES};
  s.lz4.text = text_corpus;
  s.lz4.len = TEXT_CORPUS_BYTES;
  s.lz4.out = static_cast<uint8_t*>(alloc_aligned(LZ4_OUT_BYTES));
  s.lz4.table = static_cast<uint16_t*>(alloc_aligned(LZ4_TABLE_ENTRIES * sizeof(uint16_t)));
  s.vec.a = static_cast<float*>(alloc_aligned(VEC_ELEMS * sizeof(float)));
  s.vec.b = static_cast<float*>(alloc_aligned(VEC_ELEMS * sizeof(float)));
  s.vec.c = static_cast<float*>(alloc_aligned(VEC_ELEMS * sizeof(float)));
  if (!s.lz4.out || !s.lz4.table || !s.vec.a || !s.vec.b || !s.vec.c || !s.chunks) {
    free_buffers(s);
    return false;
  }
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) {
    s.vec.a[k] = 1.0f + static_cast<float>(k) * 0.000001f;
    s.vec.b[k] = 0.5f;
    s.vec.c[k] = 0.0f;
  }
  expand_aes_key(AES_FIXED_KEY, s.aes.round_keys);
  s.aes.len = DATA_BLOCK_BYTES;
  return true;
}

void* kernel_state(WorkerSlot& s) {
  switch (kernel_state_kind(s.spec->kernel)) {
    case STATE_BRANCH: return &s.prng;
    case STATE_CHASE: return &chase_ring;
    case STATE_LZ4: return &s.lz4;
    case STATE_VEC: return &s.vec;
    case STATE_AES: return &s.aes;
    case STATE_DATA: break;
  }
  return &s.data;
}

void sleep_seconds(double seconds) {
  if (seconds <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);
}

}  // namespace

uint32_t chunk_capacity(double seconds) {
  constexpr double SHORTEST_GROWN_CHUNK = 0.004;  // seconds
  const double n = seconds > 0 ? seconds / SHORTEST_GROWN_CHUNK * 2 + 64 : 64;
  return n < CHUNK_RECORDS_MAX ? static_cast<uint32_t>(n) : CHUNK_RECORDS_MAX;
}

void* worker_main(void* arg) {
  WorkerSlot& s = *static_cast<WorkerSlot*>(arg);
  const int cpu = s.cpu.load(std::memory_order_relaxed);
  if (cpu >= 0 && cpu < CPU_SETSIZE) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
  }
  if (g_config.quiesce == QUIESCE_RT) {
    sched_param sp{};
    sp.sched_priority = 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0) setpriority(PRIO_PROCESS, 0, -20);
  }
  void* state = kernel_state(s);
  const KernelFn kernel = s.spec->kernel;
  take_sched_snapshot(&s.sched_start);
  s.running.store(1, std::memory_order_relaxed);
  if (!g_run.stop_requested.load(std::memory_order_relaxed)) {
    uint64_t c = CHUNK_START;
    for (;;) {
      const double t0 = now_seconds();
      if (t0 >= s.end_time) break;
      if (s.first_start == 0) s.first_start = t0;
      s.sink ^= kernel(state, c);
      const double t1 = now_seconds();
      s.iterations += c;
      s.last_end = t1;
      record_chunk(s, c, t1 - t0);
      c = next_chunk(c, t1 - t0);
      if (g_run.stop_requested.load(std::memory_order_relaxed)) break;
    }
  }
  take_sched_snapshot(&s.sched_end);
  s.running.store(0, std::memory_order_relaxed);
  return nullptr;
}

void run_phase(PhaseResult* out, const SubtestSpec* spec, const int* cpus, int n, double seconds,
               const char* label) {
  *out = PhaseResult{};
  n = std::clamp(n, 0, MAX_CPUS);
  phase_accounting_begin(&g_acc, n);
  double end = now_seconds() + seconds;
  const double deadline = g_run.deadline;
  if (deadline > 0 && deadline - PHASE_DEADLINE_MARGIN < end) end = deadline - PHASE_DEADLINE_MARGIN;
  const double start = now_seconds();
  if (end <= start || n == 0) {
    out->clock_ratio = 1.0;
    out->peak_mc = -1;
    return;
  }

  int worker_cpus[MAX_CPUS];
  phase_workers.store(n, std::memory_order_relaxed);
  for (int i = 0; i < n; ++i) {
    WorkerSlot& s = worker_slots[i];
    worker_cpus[i] = cpus[i];
    // A slot whose memory or thread cannot be had starts no worker; the phase measures the rest.
    if (!prepare_slot(s, cpus[i], spec, end, end - start)) continue;
    if (pthread_create(&s.thread, nullptr, worker_main, &s) != 0) {
      free_buffers(s);
      continue;
    }
    s.started = 1;
  }

  const double d = end - start;
  const double sample_after = std::max(0.2 * d, 0.15);
  double now = now_seconds();
  for (;;) {
    now = now_seconds();
    if (now >= end) break;
    if (g_run.stop_requested.load(std::memory_order_relaxed)) break;
    if (now - start >= sample_after && now < end - 0.1) clock_sample(&g_acc, worker_cpus);
    temperature_step(&g_acc);
    if (progress_hook) {
      const double t = now_seconds();
      progress_hook(spec, label, std::min(100.0, (t - start) * 100.0 / d));
    }
    // Wake at least every 100 ms, and at the end itself, so a phase that is not a multiple of
    // 100 ms does not count idle time after its workers finished.
    sleep_seconds(std::min(PHASE_SLEEP_NS / 1e9, end - now_seconds()));
  }

  // Each worker's rate is its own work over its own window, from the start of its first chunk to
  // the end of its last, so no counted iteration lies outside the time it is divided by. Workers
  // start one after another and may end up to one chunk apart, so the all-core rate is the sum of
  // the workers' own rates: what the CPUs deliver together, independent of when each one began.
  double stall_sum = 0, window_sum = 0;
  for (int i = 0; i < n; ++i) {
    WorkerSlot& s = worker_slots[i];
    if (!s.started) continue;
    pthread_join(s.thread, nullptr);
    s.started = 0;
    double busy = 0;
    for (uint32_t k = 0; k < s.chunk_count; ++k) busy += s.chunks[k].seconds;
    s.busy_seconds = busy;
    const double window = s.last_end - s.first_start;
    if (s.iterations > 0 && window > 0.000001) {
      const double work = static_cast<double>(s.iterations) * spec->ops_per_iter;
      out->rate += work / window;
      if (i == 0) out->lead_rate = work / window;
      const StallFigures st = worker_stalls(s);
      const double stall = std::min(st.stall_seconds, window * 0.999);
      out->undisturbed_rate += work / (window - stall);
      out->stall_pct = std::max(out->stall_pct, stall * 100.0 / window);
      out->stall_max_ms = std::max(out->stall_max_ms, st.longest_seconds * 1000.0);
      stall_sum += stall;
      window_sum += window;
    }
    account_worker(&g_acc, s.cpu.load(std::memory_order_relaxed), s.sched_start, s.sched_end);
    free_buffers(s);
  }
  out->stall_seconds = stall_sum;
  out->worker_seconds = window_sum;
  if (window_sum > 0) out->stall_agg = stall_sum * 100.0 / window_sum;
  phase_close(&g_acc, worker_cpus, out);
}
