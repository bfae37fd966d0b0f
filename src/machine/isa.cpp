#include "machine/isa.h"

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) || defined(__arm__)
#include <sys/auxv.h>
#endif

namespace {

constexpr uint32_t bit(int n) { return uint32_t{1} << n; }

// CPUID leaf 1
constexpr uint32_t ECX_SSE42 = bit(20);
constexpr uint32_t ECX_AES = bit(25);
constexpr uint32_t ECX_OSXSAVE = bit(27);
constexpr uint32_t ECX_AVX = bit(28);
constexpr uint32_t EDX_SSE2 = bit(26);
// CPUID leaf 7, subleaf 0
constexpr uint32_t EBX_AVX2 = bit(5);
constexpr uint32_t EBX_AVX512F = bit(16);
constexpr uint32_t EBX_SHA = bit(29);
// XCR0 register-state components the OS saves
constexpr uint64_t XCR0_XMM_YMM = 0x6;
constexpr uint64_t XCR0_OPMASK_ZMM = 0xE0;

// Linux AT_HWCAP bits
constexpr unsigned long A64_HWCAP_ASIMD = 1ul << 1;
constexpr unsigned long A64_HWCAP_AES = 1ul << 3;
constexpr unsigned long A64_HWCAP_SHA2 = 1ul << 6;
constexpr unsigned long A64_HWCAP_CRC32 = 1ul << 7;
constexpr unsigned long A64_HWCAP_SVE = 1ul << 22;
constexpr unsigned long A32_HWCAP_NEON = 1ul << 12;

int32_t has(uint64_t word, uint64_t mask) { return (word & mask) == mask ? 1 : 0; }

}  // namespace

void isa_from_x86(const X86CpuidWords& w, int32_t isa[ISA_FLAG_COUNT]) {
  bool ymm_os = (w.leaf1_ecx & ECX_OSXSAVE) && has(w.xcr0, XCR0_XMM_YMM);
  bool zmm_os = ymm_os && has(w.xcr0, XCR0_OPMASK_ZMM);
  isa[ISA_SSE2] = has(w.leaf1_edx, EDX_SSE2);
  isa[ISA_SSE42] = has(w.leaf1_ecx, ECX_SSE42);
  isa[ISA_AVX] = ymm_os ? has(w.leaf1_ecx, ECX_AVX) : 0;
  isa[ISA_AVX2] = ymm_os ? has(w.leaf7_ebx, EBX_AVX2) : 0;
  isa[ISA_AVX512F] = zmm_os ? has(w.leaf7_ebx, EBX_AVX512F) : 0;
  isa[ISA_SHA_NI] = has(w.leaf7_ebx, EBX_SHA);
  isa[ISA_AES_NI] = has(w.leaf1_ecx, ECX_AES);
}

void isa_from_aarch64_hwcap(unsigned long hwcap, int32_t isa[ISA_FLAG_COUNT]) {
  isa[ISA_NEON] = has(hwcap, A64_HWCAP_ASIMD);
  isa[ISA_ARM_CRC] = has(hwcap, A64_HWCAP_CRC32);
  isa[ISA_ARM_SHA2] = has(hwcap, A64_HWCAP_SHA2);
  isa[ISA_ARM_AES] = has(hwcap, A64_HWCAP_AES);
  isa[ISA_SVE] = has(hwcap, A64_HWCAP_SVE);
}

void isa_from_arm32_hwcap(unsigned long hwcap, int32_t isa[ISA_FLAG_COUNT]) {
  isa[ISA_NEON] = has(hwcap, A32_HWCAP_NEON);
}

void detect_isa() {
#if defined(__x86_64__)
  X86CpuidWords w{};
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    w.leaf1_ecx = c;
    w.leaf1_edx = d;
  }
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) w.leaf7_ebx = b;
  if (w.leaf1_ecx & ECX_OSXSAVE) {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    w.xcr0 = (uint64_t{hi} << 32) | lo;
  }
  isa_from_x86(w, g_machine.isa);
#elif defined(__aarch64__)
  isa_from_aarch64_hwcap(getauxval(AT_HWCAP), g_machine.isa);
#elif defined(__arm__)
  isa_from_arm32_hwcap(getauxval(AT_HWCAP), g_machine.isa);
#endif
}
