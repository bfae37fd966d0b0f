#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "subtests/inputs.h"
#include "subtests/kernels.h"

namespace {

TEST(IntScalar, CountZeroGivesStartValuesThenRepeatsExactly) {
  EXPECT_EQ(kernel_int_scalar(nullptr, 0), 0x5C85D784589E975Aull);
  const uint64_t one = kernel_int_scalar(nullptr, 1);
  EXPECT_NE(one, 0x5C85D784589E975Aull);
  EXPECT_EQ(kernel_int_scalar(nullptr, 1), one);
  EXPECT_NE(kernel_int_scalar(nullptr, 2), one);
  EXPECT_EQ(kernel_int_scalar(nullptr, 1000), kernel_int_scalar(nullptr, 1000));
}

double as_double(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

TEST(FpScalar, StaysFiniteAcrossResetsAndRepeats) {
  EXPECT_EQ(as_double(kernel_fp_scalar(nullptr, 0)), 0.5);
  // About 11.6 million iterations take a from 0.5 past 2, so this crosses the reset twice.
  constexpr uint64_t count = 25'000'000;
  const uint64_t r = kernel_fp_scalar(nullptr, count);
  EXPECT_TRUE(std::isfinite(as_double(r)));
  EXPECT_GT(as_double(r), 0.0);
  EXPECT_EQ(kernel_fp_scalar(nullptr, count), r);
}

// The branch kernel's step, written out from its table of eight actions.
uint64_t branch_reference(RandomState* st, uint64_t count) {
  uint64_t acc = 0;
  for (uint64_t n = 0; n < count; ++n) {
    const uint64_t x = next_random(st);
    const uint64_t actions[8] = {acc + (x >> 7), acc ^ (x << 3), acc - (x >> 11), (acc << 1) | 1,
                                 acc ^ (acc >> 5), acc + 0x123456789ull, ~acc, acc ^ x};
    acc = actions[x % 8] + ((x & 0x100) ? 1 : uint64_t(-1));
  }
  return acc;
}

TEST(Branch, FollowsItsTableAndContinuesTheStream) {
  RandomState kernel_st, ref_st;
  seed_state(&kernel_st, 0xBEEF0003);
  ref_st = kernel_st;
  for (uint64_t count : {1, 2, 7, 1000}) {
    SCOPED_TRACE(count);
    EXPECT_EQ(kernel_branch(&kernel_st, count), branch_reference(&ref_st, count));
    EXPECT_EQ(kernel_st.w[0], ref_st.w[0]);
    EXPECT_EQ(kernel_st.w[1], ref_st.w[1]);
  }
}

TEST(Branch, CountZeroLeavesStateAndSameSeedsAgree) {
  RandomState a, b;
  seed_state(&a, 0xBEEF0001);
  seed_state(&b, 0xBEEF0001);
  const RandomState before = a;
  EXPECT_EQ(kernel_branch(&a, 0), 0u);
  EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);
  for (int call = 0; call < 3; ++call) EXPECT_EQ(kernel_branch(&a, 5000), kernel_branch(&b, 5000));
}

TEST(PtrChase, FullLapReturnsToStart) {
  ASSERT_EQ(prepare_inputs(), 0);
  const auto from_zero = [](uint64_t count) {
    ChaseState st{chase_ring, 0};
    return kernel_ptr_chase(&st, count);
  };
  EXPECT_EQ(from_zero(0), 0u);
  EXPECT_EQ(from_zero(CHASE_RING_ELEMS), 0u);
  EXPECT_EQ(from_zero(1), chase_ring[0]);
  EXPECT_EQ(from_zero(2), chase_ring[chase_ring[0]]);
  EXPECT_NE(from_zero(12345), 0u);
  // A walk goes on where the last call left it: three calls cover the same path as one.
  ChaseState walk{chase_ring, 0};
  kernel_ptr_chase(&walk, 1000);
  kernel_ptr_chase(&walk, 11000);
  EXPECT_EQ(kernel_ptr_chase(&walk, 345), from_zero(12345));
  EXPECT_EQ(walk.index, from_zero(12345));
}

uint64_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

TEST(VecF32, AccumulatesEveryElementAcrossCalls) {
  // Odd offsets keep the arrays off 16-byte boundaries; the kernel must not depend on them.
  std::vector<float> storage(3 * VEC_ELEMS + 4, -7.0f);  // last element is a canary
  VecState st{storage.data() + 1, storage.data() + VEC_ELEMS + 2, storage.data() + 2 * VEC_ELEMS + 3};
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) {
    st.a[k] = 1.0f + static_cast<float>(k) * 0.000001f;
    st.b[k] = 0.5f;
    st.c[k] = 0.0f;
  }
  EXPECT_EQ(kernel_vec_f32(&st, 0), float_bits(0.0f));
  EXPECT_EQ(kernel_vec_f32(&st, 1), float_bits(st.a[1] * 0.5f));
  const uint64_t r = kernel_vec_f32(&st, 2);
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) {
    float e = 0.0f;
    for (int n = 0; n < 3; ++n) e = e + st.a[k] * st.b[k];
    ASSERT_EQ(st.c[k], e) << "element " << k;
  }
  EXPECT_EQ(r, float_bits(st.c[1]));
  EXPECT_EQ(storage.back(), -7.0f);
}

// Outputs for fixed counts, computed independently of this code from the kernels' definitions:
// a change in what a kernel computes fails here even when it stays self-consistent.
TEST(Kernels, PinnedOutputs) {
  ASSERT_EQ(prepare_inputs(), 0);
  RandomState branch_state;
  seed_state(&branch_state, 0xBEEF0000);
  std::vector<float> a(VEC_ELEMS), b(VEC_ELEMS, 0.5f), c(VEC_ELEMS, 0.0f);
  for (uint32_t k = 0; k < VEC_ELEMS; ++k) a[k] = 1.0f + static_cast<float>(k) * 0.000001f;
  VecState vec{a.data(), b.data(), c.data()};
  kernel_vec_f32(&vec, 2);
  RandomState gen;
  seed_state(&gen, 0xC0FFEE);
  const uint64_t gen1 = next_random(&gen);
  const uint64_t gen2 = next_random(&gen);
  ChaseState chase{chase_ring, 0};  // verification walks from element 0

  struct Case {
    const char* what;
    uint64_t got;
    uint64_t want;
  };
  const Case cases[] = {
      {"int_scalar(1)", kernel_int_scalar(nullptr, 1), 0xbb93613b07fd1c6cull},
      {"int_scalar(1000)", kernel_int_scalar(nullptr, 1000), 0x55a712b05a8d58e3ull},
      {"fp_scalar(1000)", kernel_fp_scalar(nullptr, 1000), 0x407f487c13698d51ull},
      {"branch(seed 0xBEEF0000, 1000)", kernel_branch(&branch_state, 1000), 0x6efaaf1bbc88c8a7ull},
      {"ptr_chase(12345)", kernel_ptr_chase(&chase, 12345), 2397473},
      {"vec_f32 c[1] after 3 iterations", kernel_vec_f32(&vec, 1), 0x3fc0000c},
      {"generator 0xC0FFEE, first", gen1, 0x48129692d6074d55ull},
      {"generator 0xC0FFEE, second", gen2, 0xbd5b7940b99d5543ull},
  };
  for (const Case& k : cases) EXPECT_EQ(k.got, k.want) << k.what;
}

}  // namespace
