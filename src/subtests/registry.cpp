#include "subtests/registry.h"

#include <cmath>
#include <cstring>

#include "engine/round_state.h"
#include "run/config.h"
#include "run/control.h"

SubtestSpec g_registry[MAX_SUBTESTS];
int g_registry_count;

namespace {

constexpr SubtestSpec kSubtests[] = {
    {"int_scalar", "base", "Mops", kernel_int_scalar, 3, 1, 1},
    {"fp_scalar", "base", "Mflops", kernel_fp_scalar, 2, 1, 1},
    {"branch", "base", "Mops", kernel_branch, 2, 1, 0},
    {"ptr_chase", "base", "Mderef", kernel_ptr_chase, 1, 1, 0},
    {"sha256", "soft", "MB/s", kernel_sha256, 65536, 1, 1},
    {"crc32c", "soft", "MB/s", kernel_crc32c, 65536, 1, 0},
    {"lz4", "soft", "MB/s", kernel_lz4, 65536, 1, 0},
    {"aes128ctr", "soft", "MB/s", kernel_aes128ctr, 65536, 1, 0},
    {"vec_f32", "base", "Mflops", kernel_vec_f32, 16384, 1, 0},
};
static_assert(sizeof kSubtests / sizeof kSubtests[0] == 9);
static_assert(sizeof kSubtests / sizeof kSubtests[0] <= MAX_SUBTESTS);

}  // namespace

// aes128ctr has no reference: it is reported but never enters the index.
const ReferenceRow subtest_refs[REFERENCE_ROWS] = {
    {"int_scalar", "base", 600.0}, {"fp_scalar", "base", 700.0}, {"branch", "base", 400.0},
    {"ptr_chase", "base", 50.0},   {"sha256", "soft", 300.0},    {"crc32c", "soft", 800.0},
    {"lz4", "soft", 400.0},        {"vec_f32", "base", 1500.0},
};

void register_subtests() {
  if (g_registry_count != 0) return;
  for (const SubtestSpec& s : kSubtests) g_registry[g_registry_count++] = s;
}

KernelStateKind kernel_state_kind(KernelFn kernel) {
  if (kernel == kernel_branch) return STATE_BRANCH;
  if (kernel == kernel_ptr_chase) return STATE_CHASE;
  if (kernel == kernel_lz4) return STATE_LZ4;
  if (kernel == kernel_vec_f32) return STATE_VEC;
  if (kernel == kernel_aes128ctr) return STATE_AES;
  return STATE_DATA;
}

void compute_index() {
  if (g_config.mode == MODE_PROBE) {
    g_rounds.index_st = 0.0;
    g_rounds.index_mt = 0.0;
    g_rounds.uindex_st = 0.0;
    g_rounds.uindex_mt = 0.0;
    g_rounds.index_n = 0;
    return;
  }
  // Sums of log(rate / reference): delivered ST, MT, then undisturbed ST, MT.
  double sum[4] = {0, 0, 0, 0};
  int count[4] = {0, 0, 0, 0};
  auto add = [&](int k, double rate, double ref) {
    if (!(rate > 0)) return;
    sum[k] += std::log(rate / 1e6 / ref);
    ++count[k];
  };
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    const ReferenceRow* ref = nullptr;
    for (const ReferenceRow& row : subtest_refs) {
      if (std::strcmp(row.name, r.spec->name) == 0 && std::strcmp(row.isa, r.spec->isa) == 0) {
        ref = &row;
        break;
      }
    }
    if (!ref || ref->mrate <= 0 || !(r.st.rate > 0)) continue;
    add(0, r.st.rate, ref->mrate);
    add(2, r.st.undisturbed_rate, ref->mrate);
    if (r.mt_ran) {
      add(1, r.mt.rate, ref->mrate);
      add(3, r.mt.undisturbed_rate, ref->mrate);
    }
  }
  auto index = [&](int k) { return count[k] > 0 ? 1000.0 * std::exp(sum[k] / count[k]) : 0.0; };
  g_rounds.index_st = index(0);
  g_rounds.index_mt = index(1);
  g_rounds.uindex_st = index(2);
  g_rounds.uindex_mt = index(3);
  g_rounds.index_n = count[0];
}
