#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "subtests/inputs.h"
#include "subtests/kernels.h"

#if TFX_HAVE_OPENSSL
#include <openssl/evp.h>
#endif
#if TFX_HAVE_LZ4
#include <lz4.h>
#endif
#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

class DataKernels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    build_crc_tables();
    build_aes_tables();
    ASSERT_EQ(prepare_inputs(), 0);
  }
};

// --- CRC-32C -------------------------------------------------------------------------------

TEST_F(DataKernels, Crc32cCheckValueWholeAndContinued) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crc32c_bytes(0, digits, 9), 0xE3069283u);
  EXPECT_EQ(crc32c_bytes(crc32c_bytes(0, digits, 5), digits + 5, 4), 0xE3069283u);
  EXPECT_EQ(crc32c_bytes(0, digits, 0), 0u);
  DataState none{random_buf, DATA_BLOCK_BYTES};
  EXPECT_EQ(kernel_crc32c(&none, 0), 0u);
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_instruction(uint32_t crc, const uint8_t* p, std::size_t len) {
  uint64_t c = ~crc;
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    c = _mm_crc32_u64(c, w);
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  for (; i < len; ++i) c32 = _mm_crc32_u8(c32, p[i]);
  return ~c32;
}
#endif

TEST_F(DataKernels, Crc32cAgreesWithTheCrcInstruction) {
#if defined(__x86_64__)
  if (!__builtin_cpu_supports("sse4.2")) GTEST_SKIP() << "CPU has no SSE4.2";
  for (std::size_t off : {0, 1, 3}) {
    for (std::size_t len : {1, 3, 4, 7, 64, 1001, 4096}) {
      SCOPED_TRACE(std::to_string(off) + "+" + std::to_string(len));
      EXPECT_EQ(crc32c_bytes(0x12345678, random_buf + off, len), crc32c_instruction(0x12345678, random_buf + off, len));
    }
  }
  // A call of count n returns the checksum of the buffer repeated n times.
  DataState st{random_buf, DATA_BLOCK_BYTES};
  uint32_t want = 0;
  for (uint64_t count = 1; count <= 4; ++count) {
    want = crc32c_instruction(want, random_buf, DATA_BLOCK_BYTES);
    EXPECT_EQ(kernel_crc32c(&st, count), want) << count;
  }
#else
  GTEST_SKIP() << "no CRC instruction to compare with on this processor";
#endif
}

// --- AES-128 -------------------------------------------------------------------------------

void words_from_bytes(const uint8_t* b, uint32_t* w, int n) {
  for (int i = 0; i < n; ++i)
    w[i] = (uint32_t{b[4 * i]} << 24) | (uint32_t{b[4 * i + 1]} << 16) | (uint32_t{b[4 * i + 2]} << 8) | b[4 * i + 3];
}

TEST_F(DataKernels, AesMatchesFips197) {
  // Appendix A.1: the expansion of 2b7e1516 28aed2a6 abf71588 09cf4f3c.
  const uint8_t a1_key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                              0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  uint32_t rk[44];
  expand_aes_key(a1_key, rk);
  EXPECT_EQ(rk[4], 0xa0fafe17u);
  EXPECT_EQ(rk[23], 0x11f915bcu);
  EXPECT_EQ(rk[43], 0xb6630ca6u);
  // Appendix C.1.
  uint8_t key[16], plain[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(i);
    plain[i] = static_cast<uint8_t>(i * 0x11);
  }
  uint32_t in[4], out[4];
  expand_aes_key(key, rk);
  words_from_bytes(plain, in, 4);
  aes128_encrypt_block(rk, in, out);
  EXPECT_EQ(out[0], 0x69c4e0d8u);
  EXPECT_EQ(out[1], 0x6a7b0430u);
  EXPECT_EQ(out[2], 0xd8cdb780u);
  EXPECT_EQ(out[3], 0x70b4c55au);
}

#if TFX_HAVE_OPENSSL
// The counter blocks the kernel encrypts, in order, for `count` iterations of `len` bytes,
// encrypted by OpenSSL in ECB mode; returns the words of the ciphertext.
std::vector<uint32_t> openssl_counter_blocks(const uint8_t key[16], uint32_t len, uint32_t count) {
  std::vector<uint8_t> blocks;
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t b = 0; b + 16 <= len; b += 16) {
      const uint32_t w[4] = {i + b, AES_NONCE_WORDS[0], AES_NONCE_WORDS[1], b};
      for (uint32_t word : w)
        for (int shift = 24; shift >= 0; shift -= 8) blocks.push_back(static_cast<uint8_t>(word >> shift));
    }
  }
  std::vector<uint8_t> cipher(blocks.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, cipher.data(), &n, blocks.data(), static_cast<int>(blocks.size()));
  EVP_CIPHER_CTX_free(ctx);
  std::vector<uint32_t> words(blocks.size() / 4);
  words_from_bytes(cipher.data(), words.data(), static_cast<int>(words.size()));
  return words;
}

uint64_t sum_of_first_words(const std::vector<uint32_t>& words) {
  uint64_t acc = 0;
  for (std::size_t k = 0; k < words.size(); k += 4) acc += words[k];
  return acc;
}
#endif

TEST_F(DataKernels, AesAgreesWithOpenSslOnTheCounterBlocks) {
#if TFX_HAVE_OPENSSL
  AesState st;
  expand_aes_key(AES_FIXED_KEY, st.round_keys);
  st.len = DATA_BLOCK_BYTES;
  const std::vector<uint32_t> want = openssl_counter_blocks(AES_FIXED_KEY, DATA_BLOCK_BYTES, 3);
  for (std::size_t blk = 0; blk < want.size() / 4; blk += 97) {
    const uint32_t i = static_cast<uint32_t>(blk / 4096), b = static_cast<uint32_t>(blk % 4096 * 16);
    const uint32_t in[4] = {i + b, AES_NONCE_WORDS[0], AES_NONCE_WORDS[1], b};
    uint32_t out[4];
    aes128_encrypt_block(st.round_keys, in, out);
    ASSERT_EQ(std::memcmp(out, &want[4 * blk], sizeof out), 0) << "block " << blk;
  }
  EXPECT_EQ(kernel_aes128ctr(&st, 3), sum_of_first_words(want));
  EXPECT_EQ(kernel_aes128ctr(&st, 0), 0u);
#else
  GTEST_SKIP() << "built without OpenSSL";
#endif
}

// The result depends on the key, the nonce words, the count and the keystream length only.
TEST_F(DataKernels, AesResultFollowsKeyCountAndLength) {
#if TFX_HAVE_OPENSSL
  const uint8_t other_key[16] = {0xff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  struct Case {
    const uint8_t* key;
    uint32_t len;
    uint32_t count;
  };
  const Case cases[] = {{AES_FIXED_KEY, 0, 2},   {AES_FIXED_KEY, 15, 2}, {AES_FIXED_KEY, 16, 3},
                        {AES_FIXED_KEY, 40, 5},  {other_key, 4096, 2},   {other_key, 16, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + " bytes x " + std::to_string(c.count));
    AesState st;
    std::memset(&st, 0x5A, sizeof st);
    expand_aes_key(c.key, st.round_keys);
    st.len = c.len;
    EXPECT_EQ(kernel_aes128ctr(&st, c.count), sum_of_first_words(openssl_counter_blocks(c.key, c.len, c.count)));
  }
#else
  GTEST_SKIP() << "built without OpenSSL";
#endif
}

// --- LZ4 -----------------------------------------------------------------------------------

// The greedy compressor written out plainly, one byte at a time.
std::vector<uint8_t> reference_lz4(const uint8_t* src, uint32_t len) {
  std::vector<uint8_t> out;
  std::vector<uint16_t> table(65536, 0);
  auto put_length = [&](uint32_t rest) {
    for (; rest >= 255; rest -= 255) out.push_back(255);
    out.push_back(static_cast<uint8_t>(rest));
  };
  auto read32 = [&](uint32_t at) {
    return uint32_t{src[at]} | uint32_t{src[at + 1]} << 8 | uint32_t{src[at + 2]} << 16 | uint32_t{src[at + 3]} << 24;
  };
  uint32_t ip = 0, anchor = 0;
  while (ip + 12 < len) {
    const uint32_t seq = read32(ip);
    const uint32_t h = (seq * 2654435761u) >> 16;
    const uint32_t cand = table[h];
    table[h] = static_cast<uint16_t>(ip);
    if (cand < ip && ip - cand <= 65535 && read32(cand) == seq) {
      uint32_t l = 4;
      while (ip + l < len - 8 && src[ip + l] == src[cand + l]) ++l;
      const uint32_t lit = ip - anchor;
      out.push_back(static_cast<uint8_t>((std::min(lit, 15u) << 4) | std::min(l - 4, 15u)));
      if (lit >= 15) put_length(lit - 15);
      out.insert(out.end(), src + anchor, src + ip);
      out.push_back(static_cast<uint8_t>(ip - cand));
      out.push_back(static_cast<uint8_t>((ip - cand) >> 8));
      if (l - 4 >= 15) put_length(l - 4 - 15);
      ip += l;
      anchor = ip;
    } else {
      ++ip;
    }
  }
  const uint32_t lit = len - anchor;
  out.push_back(static_cast<uint8_t>(std::min(lit, 15u) << 4));
  if (lit >= 15) put_length(lit - 15);
  out.insert(out.end(), src + anchor, src + len);
  return out;
}

TEST_F(DataKernels, Lz4IsTheGreedyParseAndDecompresses) {
  std::mt19937 rng(7);
  std::vector<uint8_t> zeros(65536, 0), pattern(65536), mixed(65536);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>("abcab"[i % 5]);
  // Runs of noise between repeats of earlier text: long literal runs and long matches alike.
  for (std::size_t i = 0; i < mixed.size(); ++i)
    mixed[i] = (i / 3000) % 2 ? mixed[i - 2500] : static_cast<uint8_t>(rng());
  struct Case {
    const char* name;
    const uint8_t* data;
    uint32_t len;
  };
  const Case cases[] = {
      {"corpus", text_corpus, TEXT_CORPUS_BYTES}, {"random", random_buf, RANDOM_BUF_BYTES},
      {"zeros", zeros.data(), 65536},            {"pattern", pattern.data(), 65536},
      {"mixed", mixed.data(), 65536},            {"empty", zeros.data(), 0},
      {"12 zeros", zeros.data(), 12},            {"13 zeros", zeros.data(), 13},
      {"24 zeros", zeros.data(), 24},            {"corpus head", text_corpus, 300},
  };
  std::vector<uint16_t> table(LZ4_TABLE_ENTRIES);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t room = c.len + c.len / 255 + 24;
    std::vector<uint8_t> out(room + 1, 0xEE);  // the byte past the room is a canary
    const uint32_t size = lz4_compress_block(c.data, c.len, out.data(), table.data());
    EXPECT_EQ(out[room], 0xEE);
    const std::vector<uint8_t> want = reference_lz4(c.data, c.len);
    ASSERT_EQ(size, want.size());
    EXPECT_EQ(std::memcmp(out.data(), want.data(), size), 0);
#if TFX_HAVE_LZ4
    std::vector<uint8_t> back(c.len + 1);
    ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(out.data()), reinterpret_cast<char*>(back.data()),
                                  static_cast<int>(size), static_cast<int>(back.size())),
              static_cast<int>(c.len));
    EXPECT_EQ(std::memcmp(back.data(), c.data, c.len), 0);
#endif
  }
}

TEST_F(DataKernels, Lz4KernelSizesAddUpPerIteration) {
  std::vector<uint8_t> out(LZ4_OUT_BYTES);
  std::vector<uint16_t> table(LZ4_TABLE_ENTRIES);
  Lz4State text{text_corpus, TEXT_CORPUS_BYTES, out.data(), table.data()};
  Lz4State noise{random_buf, RANDOM_BUF_BYTES, out.data(), table.data()};
  EXPECT_EQ(kernel_lz4(&text, 0), 0u);
  const uint64_t text_size = kernel_lz4(&text, 1);
  EXPECT_EQ(kernel_lz4(&text, 2), 2 * text_size);
  EXPECT_LT(text_size, 65536u / 2);
  const uint64_t noise_size = kernel_lz4(&noise, 1);
  EXPECT_GT(noise_size, 65536u);
  EXPECT_EQ(kernel_lz4(&noise, 3), 3 * noise_size);
}

// --- SHA-256 -------------------------------------------------------------------------------

TEST_F(DataKernels, Sha256KernelAddsTheFirstDigestByte) {
#if TFX_HAVE_OPENSSL
  uint8_t d[32];
  unsigned int n = 0;
  EVP_Digest(random_buf, RANDOM_BUF_BYTES, d, &n, EVP_sha256(), nullptr);
  DataState st{random_buf, DATA_BLOCK_BYTES};
  EXPECT_EQ(kernel_sha256(&st, 0), 0u);
  EXPECT_EQ(kernel_sha256(&st, 1), d[0]);
  EXPECT_EQ(kernel_sha256(&st, 3), 3u * d[0]);
#else
  GTEST_SKIP() << "built without OpenSSL";
#endif
}

}  // namespace
