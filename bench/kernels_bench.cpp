// Rates of the nine kernels in their own units, and the start-up costs: building the shared
// inputs and hashing a few MiB the way the fingerprint hashes the executable.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "machine/sha256.h"
#include "subtests/inputs.h"
#include "subtests/kernels.h"

namespace {

constexpr double MILLION = 1e6;

void ensure_tables_and_inputs() {
  static const int ready = [] {
    build_crc_tables();
    build_aes_tables();
    return prepare_inputs();
  }();
  if (ready != 0) std::abort();
}

template <typename T>
T* alloc_aligned(std::size_t count) {
  void* p = std::aligned_alloc(64, (count * sizeof(T) + 63) / 64 * 64);
  if (p == nullptr) std::abort();
  return static_cast<T*>(p);
}

// Calls fn(state, count) once per benchmark iteration; `units` is what one kernel iteration
// counts (operations, flops, dereferences or bytes), reported in millions per second.
void run_kernel(benchmark::State& bs, KernelFn fn, void* state, uint64_t count, double units,
                const char* unit) {
  uint64_t sink = 0;
  for (auto _ : bs) {
    sink ^= fn(state, count);
    benchmark::DoNotOptimize(sink);
  }
  bs.counters[unit] = benchmark::Counter(static_cast<double>(bs.iterations()) * static_cast<double>(count) *
                                             units / MILLION,
                                         benchmark::Counter::kIsRate);
}

void BM_int_scalar(benchmark::State& bs) { run_kernel(bs, kernel_int_scalar, nullptr, 1 << 20, 3, "Mops"); }
void BM_fp_scalar(benchmark::State& bs) { run_kernel(bs, kernel_fp_scalar, nullptr, 1 << 20, 2, "Mflops"); }

void BM_branch(benchmark::State& bs) {
  RandomState st;
  seed_state(&st, 0xBEEF0000);
  run_kernel(bs, kernel_branch, &st, 1 << 20, 2, "Mops");
}

// Each call walks on where the last one stopped, as a worker's chunks do, so the rate is the
// latency of a walk through the whole 16 MiB ring whatever the count: 2^17 is about where chunks
// of 4 to 32 ms settle on a machine with DRAM latency near 100 ns; 2^22 is one full lap.
void BM_ptr_chase(benchmark::State& bs) {
  ensure_tables_and_inputs();
  ChaseState st{chase_ring, 0};
  run_kernel(bs, kernel_ptr_chase, &st, static_cast<uint64_t>(bs.range(0)), 1, "Mderef");
}

void BM_vec_f32(benchmark::State& bs) {
  VecState st{alloc_aligned<float>(VEC_ELEMS), alloc_aligned<float>(VEC_ELEMS), alloc_aligned<float>(VEC_ELEMS)};
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) {
    st.a[k] = 1.0f + static_cast<float>(k) * 0.000001f;
    st.b[k] = 0.5f;
    st.c[k] = 0.0f;
  }
  run_kernel(bs, kernel_vec_f32, &st, 256, 2.0 * VEC_ELEMS, "Mflops");
  std::free(st.a);
  std::free(st.b);
  std::free(st.c);
}

void BM_sha256(benchmark::State& bs) {
  ensure_tables_and_inputs();
  DataState st{random_buf, DATA_BLOCK_BYTES};
  run_kernel(bs, kernel_sha256, &st, 16, DATA_BLOCK_BYTES, "MB/s");
}

void BM_crc32c(benchmark::State& bs) {
  ensure_tables_and_inputs();
  DataState st{random_buf, DATA_BLOCK_BYTES};
  run_kernel(bs, kernel_crc32c, &st, 16, DATA_BLOCK_BYTES, "MB/s");
}

void BM_lz4(benchmark::State& bs) {
  ensure_tables_and_inputs();
  Lz4State st{text_corpus, DATA_BLOCK_BYTES, alloc_aligned<uint8_t>(LZ4_OUT_BYTES),
              alloc_aligned<uint16_t>(LZ4_TABLE_ENTRIES)};
  run_kernel(bs, kernel_lz4, &st, 16, DATA_BLOCK_BYTES, "MB/s");
  std::free(st.out);
  std::free(st.table);
}

void BM_aes128ctr(benchmark::State& bs) {
  ensure_tables_and_inputs();
  AesState st;
  expand_aes_key(AES_FIXED_KEY, st.round_keys);
  st.len = DATA_BLOCK_BYTES;
  run_kernel(bs, kernel_aes128ctr, &st, 16, DATA_BLOCK_BYTES, "MB/s");
}

// A second implementation of the same LZ4 parse, written apart from the kernel in the usual
// style of fast LZ4 code: matches extended a word at a time, literals copied in words. It
// produces the same output, so the kernel's rate over this one's, measured alternately in one
// window, shows what the kernel's own code costs, whatever the machine's speed at the time.
uint32_t lz4_plain(const uint8_t* src, uint32_t len, uint8_t* out, uint16_t* table) {
  std::memset(table, 0, LZ4_TABLE_ENTRIES * sizeof(uint16_t));
  const uint8_t* ip = src;
  const uint8_t* anchor = src;
  const uint8_t* const end = src + len;
  const uint8_t* const mflimit = end - 12;
  const uint8_t* const matchlimit = end - 8;
  uint8_t* op = out;
  auto put_len = [&](uint32_t rest) {
    for (; rest >= 255; rest -= 255) *op++ = 255;
    *op++ = static_cast<uint8_t>(rest);
  };
  while (len > 12 && ip < mflimit) {
    uint32_t seq;
    std::memcpy(&seq, ip, 4);
    const uint32_t h = (seq * 2654435761u) >> 16;
    const uint8_t* cand = src + table[h];
    table[h] = static_cast<uint16_t>(ip - src);
    uint32_t c4;
    std::memcpy(&c4, cand, 4);
    if (cand >= ip || ip - cand > 65535 || c4 != seq) {
      ++ip;
      continue;
    }
    const uint8_t* p = ip + 4;
    const uint8_t* m = cand + 4;
    while (p < matchlimit) {
      uint64_t x, y;
      std::memcpy(&x, p, 8);
      std::memcpy(&y, m, 8);
      if (x != y) {
        p += __builtin_ctzll(x ^ y) >> 3;
        break;
      }
      p += 8;
      m += 8;
    }
    if (p > matchlimit) p = matchlimit;
    const uint32_t l = static_cast<uint32_t>(p - ip);
    const uint32_t lit = static_cast<uint32_t>(ip - anchor);
    *op++ = static_cast<uint8_t>(((lit < 15 ? lit : 15) << 4) | (l - 4 < 15 ? l - 4 : 15));
    if (lit >= 15) put_len(lit - 15);
    uint8_t* const lit_end = op + lit;
    for (const uint8_t* q = anchor; op < lit_end; op += 8, q += 8) std::memcpy(op, q, 8);
    op = lit_end;
    const uint32_t off = static_cast<uint32_t>(ip - cand);
    *op++ = static_cast<uint8_t>(off);
    *op++ = static_cast<uint8_t>(off >> 8);
    if (l - 4 >= 15) put_len(l - 4 - 15);
    ip = p;
    anchor = ip;
  }
  const uint32_t lit = static_cast<uint32_t>(end - anchor);
  *op++ = static_cast<uint8_t>((lit < 15 ? lit : 15) << 4);
  if (lit >= 15) put_len(lit - 15);
  std::memcpy(op, anchor, lit);
  return static_cast<uint32_t>(op + lit - out);
}

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The kernel against the plain implementation, 16 iterations of each in turn: lz4_vs_plain is
// the kernel's rate over the plain one's (target 0.95 or more); both outputs must agree.
void BM_lz4_vs_plain(benchmark::State& bs) {
  ensure_tables_and_inputs();
  Lz4State st{text_corpus, DATA_BLOCK_BYTES, alloc_aligned<uint8_t>(LZ4_OUT_BYTES),
              alloc_aligned<uint16_t>(LZ4_TABLE_ENTRIES)};
  uint8_t* plain_out = alloc_aligned<uint8_t>(LZ4_OUT_BYTES);
  uint16_t* plain_table = alloc_aligned<uint16_t>(LZ4_TABLE_ENTRIES);
  double kernel_s = 0, plain_s = 0;
  uint64_t a = 0, b = 0;
  for (auto _ : bs) {
    // Thread CPU time: a pause by another task on this shared machine falls on neither side.
    const double t0 = thread_seconds();
    a += kernel_lz4(&st, 16);
    const double t1 = thread_seconds();
    for (int i = 0; i < 16; ++i) b += lz4_plain(text_corpus, DATA_BLOCK_BYTES, plain_out, plain_table);
    const double t2 = thread_seconds();
    kernel_s += t1 - t0;
    plain_s += t2 - t1;
  }
  if (a != b) bs.SkipWithError("the kernel and the plain implementation disagree");
  bs.counters["lz4_vs_plain"] = plain_s / kernel_s;
  std::free(st.out);
  std::free(st.table);
  std::free(plain_out);
  std::free(plain_table);
}

// Rebuilds the inputs from scratch each time, page faults included, as the one call at start does.
void BM_prepare_inputs(benchmark::State& bs) {
  ensure_tables_and_inputs();
  for (auto _ : bs) {
    release_inputs();
    if (prepare_inputs() != 0) std::abort();
    benchmark::DoNotOptimize(chase_ring);
  }
}

// Fingerprint-style hashing: 4 MiB fed in 64 KiB pieces.
void BM_sha256_4mib(benchmark::State& bs) {
  constexpr std::size_t total = std::size_t{4} << 20;
  constexpr std::size_t piece = 65536;
  uint8_t* buf = alloc_aligned<uint8_t>(total);
  RandomState rs;
  seed_state(&rs, 42);
  for (std::size_t i = 0; i < total; i += 8) {
    const uint64_t x = next_random(&rs);
    std::memcpy(buf + i, &x, 8);
  }
  for (auto _ : bs) {
    Sha256Ctx ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    for (std::size_t off = 0; off < total; off += piece) sha256_update(&ctx, buf + off, piece);
    sha256_final(&ctx, digest);
    benchmark::DoNotOptimize(digest);
  }
  bs.counters["MB/s"] = benchmark::Counter(static_cast<double>(bs.iterations()) * total / MILLION,
                                           benchmark::Counter::kIsRate);
  std::free(buf);
}

}  // namespace

BENCHMARK(BM_int_scalar);
BENCHMARK(BM_fp_scalar);
BENCHMARK(BM_branch);
BENCHMARK(BM_ptr_chase)->Arg(1 << 17)->Arg(1 << 22);
BENCHMARK(BM_sha256);
BENCHMARK(BM_crc32c);
BENCHMARK(BM_lz4);
BENCHMARK(BM_lz4_vs_plain);
BENCHMARK(BM_aes128ctr);
BENCHMARK(BM_vec_f32);
BENCHMARK(BM_prepare_inputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sha256_4mib)->Unit(benchmark::kMillisecond);
