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
bool prepare_slot(WorkerSlot& s, int slot, int cpu, const SubtestSpec* spec, double end, double seconds) {
  s.cpu.store(cpu, std::memory_order_relaxed);
  s.spec = spec;
  s.end_time = end;
  s.iterations = 0;
  s.first_start = 0;
  s.last_end = 0;
  s.busy_seconds = 0;
  s.chunk_count = 0;
  s.stalls_judged = StallFigures{0.0, 0.0, 0.0};
  s.block_pace = StallPace{0.0, 0.0};
  s.stall_fastest = 0;
  s.blocks_judged = 0;
  s.ready_time = 0;
  // The chunk records outlive the phase (until the slot's next phase), so that callers and
  // benchmarks can look at them after the join; they grow only when a longer phase needs more.
  const uint32_t cap = chunk_capacity(seconds);
  if (cap > s.chunk_cap || !s.chunks || !s.stall_scratch) {
    std::free(s.chunks);
    std::free(s.stall_scratch);
    s.chunks = static_cast<ChunkRecord*>(alloc_aligned(cap * sizeof(ChunkRecord)));
    s.stall_scratch = static_cast<double*>(alloc_aligned(cap * sizeof(double)));
    s.chunk_cap = s.chunks && s.stall_scratch ? cap : 0;
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
  if (!s.lz4.out || !s.lz4.table || !s.vec.a || !s.vec.b || !s.vec.c || s.chunk_cap == 0) {
    free_buffers(s);
    return false;
  }
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) {
    s.vec.a[k] = 1.0f + static_cast<float>(k) * 0.000001f;
    s.vec.b[k] = 0.5f;
    s.vec.c[k] = 0.0f;
  }
  // Each slot's walk goes on from phase to phase, so no phase re-reads the path the last one
  // cached. Walks start far apart in the cycle (the ring is one random cycle, so array positions
  // far apart are unrelated points of it): two walks in step would share cache lines.
  if (s.chase.ring != chase_ring)
    s.chase = {chase_ring, static_cast<uint32_t>(static_cast<uint64_t>(slot) * CHASE_RING_ELEMS / MAX_CPUS)};
  expand_aes_key(AES_FIXED_KEY, s.aes.round_keys);
  s.aes.len = DATA_BLOCK_BYTES;
  return true;
}

void* kernel_state(WorkerSlot& s) {
  switch (kernel_state_kind(s.spec->kernel)) {
    case STATE_BRANCH: return &s.prng;
    case STATE_CHASE: return &s.chase;
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

void close_chunk_block(WorkerSlot& s) {
  if (s.chunk_count == 0 || !s.stall_scratch) return;
  s.block_pace = stall_pace(s.chunks, s.chunk_count, s.stall_scratch);
  const StallFigures f = judge_stalls(s.chunks, s.chunk_count, s.block_pace, &s.stall_fastest);
  s.stalls_judged.stall_seconds += f.stall_seconds;
  s.stalls_judged.longest_seconds = std::max(s.stalls_judged.longest_seconds, f.longest_seconds);
  s.stalls_judged.typical_seconds = f.typical_seconds;
  ++s.blocks_judged;
  s.chunk_count = 0;
}

StallFigures worker_stalls(WorkerSlot& s) {
  StallFigures f = s.stalls_judged;
  if (s.chunk_count == 0 || !s.stall_scratch) return f;
  // A handful of chunks after a judged block has no pace of its own worth the name.
  const StallPace pace = s.blocks_judged > 0 && s.chunk_count < STALL_TAIL_OWN_PACE
                             ? s.block_pace
                             : stall_pace(s.chunks, s.chunk_count, s.stall_scratch);
  double fastest = s.stall_fastest;
  const StallFigures t = judge_stalls(s.chunks, s.chunk_count, pace, &fastest);
  f.stall_seconds += t.stall_seconds;
  f.longest_seconds = std::max(f.longest_seconds, t.longest_seconds);
  f.typical_seconds = t.typical_seconds;
  return f;
}

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
    sp.sched_priority = WORKER_RT_PRIORITY;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0) setpriority(PRIO_PROCESS, 0, -20);
  }
  void* state = kernel_state(s);
  const KernelFn kernel = s.spec->kernel;
  take_sched_snapshot(&s.sched_start);
  s.ready_time = now_seconds();
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
  bool prepared[MAX_CPUS];
  phase_workers.store(n, std::memory_order_relaxed);
  // A slot whose memory or thread cannot be had starts no worker; the phase measures the rest.
  // Every slot is prepared first, so the phase's start is taken just before the first thread.
  for (int i = 0; i < n; ++i) {
    worker_cpus[i] = cpus[i];
    prepared[i] = prepare_slot(worker_slots[i], i, cpus[i], spec, end, end - start);
  }
  // At real-time priority the workers are created real-time, so that ordinary work on the machine
  // cannot hold one off before it first runs; without the privilege they start as ordinary
  // threads (and the worker still tries, and falls back to a high nice value).
  pthread_attr_t rt_attr;
  pthread_attr_t* attr = nullptr;
  if (g_config.quiesce == QUIESCE_RT && pthread_attr_init(&rt_attr) == 0) {
    sched_param sp{};
    sp.sched_priority = WORKER_RT_PRIORITY;
    if (pthread_attr_setinheritsched(&rt_attr, PTHREAD_EXPLICIT_SCHED) == 0 &&
        pthread_attr_setschedpolicy(&rt_attr, SCHED_FIFO) == 0 && pthread_attr_setschedparam(&rt_attr, &sp) == 0)
      attr = &rt_attr;
    else
      pthread_attr_destroy(&rt_attr);
  }
  const double phase_start = now_seconds();
  for (int i = 0; i < n; ++i) {
    WorkerSlot& s = worker_slots[i];
    if (!prepared[i]) continue;
    if ((attr == nullptr || pthread_create(&s.thread, attr, worker_main, &s) != 0) &&
        pthread_create(&s.thread, nullptr, worker_main, &s) != 0) {
      free_buffers(s);
      continue;
    }
    s.started = 1;
  }
  if (attr) pthread_attr_destroy(attr);

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

  // Each worker's rate is its work over its window, from the phase's start to the end of its last
  // chunk, so no counted iteration lies outside the time it is divided by, and a worker held off
  // its CPU before its first chunk lowers the rate by the time it lost. The all-core rate is the
  // sum of the workers' rates: workers may end up to one chunk apart.
  // A worker held off its CPU for the whole phase runs no chunk: its late start lasts until it
  // was ready for its first chunk on its own CPU, or to the phase's end.
  // The undisturbed rate leaves out every pause: the late start, and the larger of the paused
  // chunks' excess and the run-queue wait the kernel counted over the chunks (a CPU shared evenly
  // slows every chunk alike, so no chunk stands out, but the wait is counted). Hidden stalls are
  // the paused chunks' excess less that counted wait, floored at 0.
  double stall_sum = 0, window_sum = 0;
  for (int i = 0; i < n; ++i) {
    WorkerSlot& s = worker_slots[i];
    if (!s.started) continue;
    pthread_join(s.thread, nullptr);
    s.started = 0;
    const double window = s.last_end - phase_start;
    const double began = s.first_start > 0 ? s.first_start : std::min(s.ready_time, s.end_time);
    const double late = began > phase_start ? began - phase_start : 0.0;
    out->start_delay_ms = std::max(out->start_delay_ms, late * 1000.0);
    if (s.iterations > 0 && window > 0.000001) {
      const double work = static_cast<double>(s.iterations) * spec->ops_per_iter;
      out->rate += work / window;
      if (i == 0) out->lead_rate = work / window;
      const StallFigures st = worker_stalls(s);
      const bool counted = s.sched_start.valid && s.sched_end.valid && s.sched_end.wait_ns >= s.sched_start.wait_ns;
      const double wait = counted ? static_cast<double>(s.sched_end.wait_ns - s.sched_start.wait_ns) / 1e9 : 0.0;
      const double paused = std::min(late + std::max(st.stall_seconds, wait), window * 0.999);
      out->undisturbed_rate += work / (window - paused);
      const double hidden = std::max(0.0, std::min(st.stall_seconds, window * 0.999) - wait);
      out->stall_pct = std::max(out->stall_pct, hidden * 100.0 / window);
      if (hidden > 0) out->stall_max_ms = std::max(out->stall_max_ms, st.longest_seconds * 1000.0);
      stall_sum += hidden;
      window_sum += window;
    }
    account_worker(&g_acc, s.cpu.load(std::memory_order_relaxed), s.sched_start, s.sched_end,
                   static_cast<uint64_t>(late * 1e9));
    free_buffers(s);
  }
  out->stall_seconds = stall_sum;
  out->worker_seconds = window_sum;
  if (window_sum > 0) out->stall_agg = stall_sum * 100.0 / window_sum;
  phase_close(&g_acc, worker_cpus, out);
}
