#pragma once
#include <cstdint>

#include "machine/topology.h"

struct IsaFlagName {
  const char* key;      // JSON key
  const char* display;  // dashboard name
};

inline constexpr IsaFlagName kIsaFlags[ISA_FLAG_COUNT] = {
    {"sse2", "SSE2"},     {"sse42", "SSE4.2"},  {"avx", "AVX"},        {"avx2", "AVX2"},
    {"avx512f", "AVX-512"}, {"sha_ni", "SHA-NI"}, {"aes_ni", "AES-NI"}, {"neon", "NEON"},
    {"arm_crc", "CRC32"}, {"arm_sha2", "SHA2"}, {"arm_aes", "AES"},    {"sve", "SVE"},
};
static_assert(sizeof kIsaFlags / sizeof kIsaFlags[0] == ISA_FLAG_COUNT);

enum IsaFlag {
  ISA_SSE2, ISA_SSE42, ISA_AVX, ISA_AVX2, ISA_AVX512F, ISA_SHA_NI, ISA_AES_NI,
  ISA_NEON, ISA_ARM_CRC, ISA_ARM_SHA2, ISA_ARM_AES, ISA_SVE,
};

// The CPUID and XGETBV words the x86 flags come from.
struct X86CpuidWords {
  uint32_t leaf1_ecx;
  uint32_t leaf1_edx;
  uint32_t leaf7_ebx;  // 0 when leaf 7 is not offered
  uint64_t xcr0;       // 0 when OSXSAVE is clear
};

// Sets g_machine.isa from the platform (CPUID with OS register-state checks on x86-64,
// AT_HWCAP on ARM); flags of other architectures stay 0.
void detect_isa();

// Decoders of the platform words into the 12 flags; each sets only its own architecture's flags.
// AVX and AVX2 need OSXSAVE and the XMM and YMM state enabled in XCR0; AVX-512F also the opmask
// and ZMM state.
void isa_from_x86(const X86CpuidWords& w, int32_t isa[ISA_FLAG_COUNT]);
void isa_from_aarch64_hwcap(unsigned long hwcap, int32_t isa[ISA_FLAG_COUNT]);
void isa_from_arm32_hwcap(unsigned long hwcap, int32_t isa[ISA_FLAG_COUNT]);
