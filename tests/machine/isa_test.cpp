#include <gtest/gtest.h>

#include <vector>

#include "machine/isa.h"

namespace {

constexpr uint32_t bit(int n) { return uint32_t{1} << n; }

// leaf 1 ECX: SSE4.2, AES, OSXSAVE, AVX; EDX: SSE2; leaf 7 EBX: AVX2, AVX512F, SHA
constexpr uint32_t ALL_ECX = bit(20) | bit(25) | bit(27) | bit(28);
constexpr uint32_t ALL_EDX = bit(26);
constexpr uint32_t ALL_EBX = bit(5) | bit(16) | bit(29);

std::vector<int> flags(const int32_t* isa) { return std::vector<int>(isa, isa + ISA_FLAG_COUNT); }

TEST(IsaDecode, X86NeedsOsStateForWideRegisters) {
  const struct {
    const char* name;
    X86CpuidWords words;
    std::vector<int> x86;  // sse2 sse42 avx avx2 avx512f sha_ni aes_ni
  } cases[] = {
      {"everything", {ALL_ECX, ALL_EDX, ALL_EBX, 0xE7}, {1, 1, 1, 1, 1, 1, 1}},
      {"OS saves no ZMM state", {ALL_ECX, ALL_EDX, ALL_EBX, 0x7}, {1, 1, 1, 1, 0, 1, 1}},
      {"ZMM without opmask", {ALL_ECX, ALL_EDX, ALL_EBX, 0xC7}, {1, 1, 1, 1, 0, 1, 1}},
      {"OS saves no YMM state", {ALL_ECX, ALL_EDX, ALL_EBX, 0xE3}, {1, 1, 0, 0, 0, 1, 1}},
      {"OSXSAVE clear", {ALL_ECX & ~bit(27), ALL_EDX, ALL_EBX, 0xE7}, {1, 1, 0, 0, 0, 1, 1}},
      {"no leaf 7", {ALL_ECX, ALL_EDX, 0, 0xE7}, {1, 1, 1, 0, 0, 0, 1}},
      {"nothing", {0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t isa[ISA_FLAG_COUNT];
    for (int32_t& f : isa) f = 7;
    isa_from_x86(c.words, isa);
    std::vector<int> expected = c.x86;
    expected.insert(expected.end(), 5, 7);  // ARM flags untouched
    EXPECT_EQ(flags(isa), expected);
  }
}

TEST(IsaDecode, ArmHwcap) {
  constexpr unsigned long asimd = 1ul << 1, aes = 1ul << 3, sha2 = 1ul << 6, crc32 = 1ul << 7,
                          sve = 1ul << 22;
  int32_t isa[ISA_FLAG_COUNT] = {};
  isa_from_aarch64_hwcap(asimd | aes | sha2 | crc32 | sve, isa);
  EXPECT_EQ(flags(isa), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}));
  isa_from_aarch64_hwcap(asimd | crc32, isa);
  EXPECT_EQ(flags(isa), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0}));
  isa_from_aarch64_hwcap(1ul << 12, isa);
  EXPECT_EQ(flags(isa), std::vector<int>(ISA_FLAG_COUNT, 0));

  // 32-bit ARM: neon alone, from bit 12
  int32_t arm32[ISA_FLAG_COUNT] = {};
  isa_from_arm32_hwcap(~0ul, arm32);
  EXPECT_EQ(flags(arm32), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  isa_from_arm32_hwcap(~(1ul << 12), arm32);
  EXPECT_EQ(flags(arm32), std::vector<int>(ISA_FLAG_COUNT, 0));
}

TEST(IsaDetect, AgreesWithTheCompilersCpuCheck) {
  MachineInfo saved = g_machine;
  for (int32_t& f : g_machine.isa) f = 0;
  detect_isa();
  for (int32_t f : g_machine.isa) EXPECT_TRUE(f == 0 || f == 1);
#if defined(__x86_64__)
  __builtin_cpu_init();
  EXPECT_EQ(g_machine.isa[ISA_SSE2], 1);
  EXPECT_EQ(g_machine.isa[ISA_SSE42], __builtin_cpu_supports("sse4.2") ? 1 : 0);
  EXPECT_EQ(g_machine.isa[ISA_AVX], __builtin_cpu_supports("avx") ? 1 : 0);
  EXPECT_EQ(g_machine.isa[ISA_AVX2], __builtin_cpu_supports("avx2") ? 1 : 0);
  EXPECT_EQ(g_machine.isa[ISA_AVX512F], __builtin_cpu_supports("avx512f") ? 1 : 0);
  EXPECT_EQ(g_machine.isa[ISA_AES_NI], __builtin_cpu_supports("aes") ? 1 : 0);
  for (int i = ISA_NEON; i < ISA_FLAG_COUNT; ++i) EXPECT_EQ(g_machine.isa[i], 0);
#elif defined(__aarch64__)
  EXPECT_EQ(g_machine.isa[ISA_NEON], 1);  // Advanced SIMD is mandatory on ARMv8-A Linux
  for (int i = 0; i < ISA_NEON; ++i) EXPECT_EQ(g_machine.isa[i], 0);
#endif
  g_machine = saved;
}

}  // namespace
