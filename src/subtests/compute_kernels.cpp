// The five compute kernels: each is one tight loop whose iterations depend on the previous one,
// except vec_f32, which streams its arrays.
#include <cstring>

#include "subtests/kernels.h"

namespace {

constexpr uint64_t INT_X0 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t INT_Y0 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t INT_LCG_MUL = 0x5851F42D4C957F2Dull;
constexpr uint64_t INT_LCG_ADD = 0x14057B7EF767814Full;

uint64_t rotl64(uint64_t v, unsigned r) { return (v << r) | (v >> (64 - r)); }

uint64_t double_bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// Four floats in one register of the baseline vector unit (SSE2 on x86-64, NEON on ARM); lanes
// are multiplied and added with separate roundings, exactly as the scalar loop would.
typedef float F32x4 __attribute__((vector_size(16)));
constexpr uint32_t F32X4_LANES = 4;
static_assert(VEC_ELEMS % F32X4_LANES == 0);

inline F32x4 load_f32x4(const float* p) {
  F32x4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

}  // namespace

uint64_t kernel_int_scalar(void*, uint64_t count) {
  uint64_t x = INT_X0;
  uint64_t y = INT_Y0;
  for (uint64_t n = 0; n < count; ++n) {
    const uint64_t t = x * INT_LCG_MUL + INT_LCG_ADD;
    y = rotl64(t ^ y, 13);
    x = y * INT_X0 + t;
  }
  return y ^ x;
}

uint64_t kernel_fp_scalar(void*, uint64_t count) {
  double a = 0.5;
  double sum = 0.0;
  for (uint64_t n = 0; n < count; ++n) {
    const double b = 1e-9 + a * 1.000000119;
    sum = sum + b * 0.9999999;
    // Taken about once in ten million iterations: a real branch keeps the subtraction off the
    // multiply-add chain, where a select would lengthen it.
    if (__builtin_expect(b > 2.0, 0)) {
      a = b - 1.5;
    } else {
      a = b;
    }
  }
  return double_bits(a + sum);
}

uint64_t kernel_branch(void* state, uint64_t count) {
  if (count == 0) return 0;
  RandomState* st = static_cast<RandomState*>(state);
  RandomState local = *st;
  uint64_t acc = 0;
  for (uint64_t n = 0; n < count; ++n) {
    const uint64_t x = next_random(&local);
    switch (x & 7) {
      case 0: acc += x >> 7; break;
      case 1: acc ^= x << 3; break;
      case 2: acc -= x >> 11; break;
      case 3: acc = (acc << 1) | 1; break;
      case 4: acc ^= acc >> 5; break;
      case 5: acc += 0x123456789ull; break;
      case 6: acc = ~acc; break;
      case 7: acc ^= x; break;
      default: __builtin_unreachable();
    }
    // The empty asm keeps this a conditional jump: the kernel measures mispredicted branches,
    // and the compiler would otherwise fold the two arms into a select.
    if (x & 0x100) {
      __asm__("" : "+r"(acc));
      acc += 1;
    } else {
      acc -= 1;
    }
  }
  *st = local;
  return acc;
}

uint64_t kernel_ptr_chase(void* state, uint64_t count) {
  ChaseState* st = static_cast<ChaseState*>(state);
  const uint32_t* ring = st->ring;
  uint32_t index = st->index;
  for (uint64_t n = 0; n < count; ++n) index = ring[index];
  st->index = index;
  return index;
}

uint64_t kernel_vec_f32(void* state, uint64_t count) {
  const VecState* v = static_cast<const VecState*>(state);
  const float* a = v->a;
  const float* b = v->b;
  float* c = v->c;
  for (uint64_t n = 0; n < count; ++n) {
#pragma GCC unroll 4
    for (uint32_t k = 0; k < VEC_ELEMS; k += F32X4_LANES) {
      const F32x4 r = load_f32x4(c + k) + load_f32x4(a + k) * load_f32x4(b + k);
      std::memcpy(c + k, &r, sizeof r);
    }
  }
  return float_bits(c[1]);
}
