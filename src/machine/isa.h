#pragma once
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

// Sets g_machine.isa from the platform (CPUID with OS register-state checks on x86,
// AT_HWCAP/AT_HWCAP2 on ARM).
void detect_isa();
