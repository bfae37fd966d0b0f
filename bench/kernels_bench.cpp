// Rates of the nine kernels in their own units, and the start-up costs: building the shared
// inputs and hashing a few MiB the way the fingerprint hashes the executable.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

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

// Every call walks the same path from element 0, so the rate depends on the count: a short walk
// touches fewer cache lines. 2^17 is about where chunks of 4 to 32 ms settle on a machine with
// DRAM latency near 100 ns; 2^22 is one full lap of the ring.
void BM_ptr_chase(benchmark::State& bs) {
  ensure_tables_and_inputs();
  run_kernel(bs, kernel_ptr_chase, &chase_ring, static_cast<uint64_t>(bs.range(0)), 1, "Mderef");
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
BENCHMARK(BM_aes128ctr);
BENCHMARK(BM_vec_f32);
BENCHMARK(BM_prepare_inputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sha256_4mib)->Unit(benchmark::kMillisecond);
