#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "subtests/inputs.h"

namespace {

TEST(Generators, SeedStateIsSplitMix64) {
  // The first two outputs of SplitMix64 from seed 0, as published with the generator.
  RandomState st;
  seed_state(&st, 0);
  EXPECT_EQ(st.w[0], 0xE220A8397B1DCDAFull);
  EXPECT_EQ(st.w[1], 0x6E789E6AA1B965F4ull);
}

TEST(Inputs, BuiltOnceAndAligned) {
  ASSERT_EQ(prepare_inputs(), 0);
  const uint8_t* buf = random_buf;
  const uint8_t* text = text_corpus;
  const uint32_t* ring = chase_ring;
  const uint32_t ring_head = ring[0];
  ASSERT_EQ(prepare_inputs(), 0);
  EXPECT_EQ(random_buf, buf);
  EXPECT_EQ(text_corpus, text);
  EXPECT_EQ(chase_ring, ring);
  EXPECT_EQ(chase_ring[0], ring_head);
  for (const void* p : {static_cast<const void*>(buf), static_cast<const void*>(text),
                        static_cast<const void*>(ring)})
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
}

// The three inputs built the plain way, one draw at a time, straight from their definition.
struct ReferenceInputs {
  std::vector<uint8_t> buf, text;
  std::vector<uint32_t> ring;
};

ReferenceInputs build_reference() {
  static const char* const words[8] = {"storage ", "the pool ", "checksum ", "lumo reef ",
                                       "volume ",  "snapshot ", "error 42 ", "tallyfox "};
  ReferenceInputs r{std::vector<uint8_t>(RANDOM_BUF_BYTES), std::vector<uint8_t>(TEXT_CORPUS_BYTES),
                    std::vector<uint32_t>(CHASE_RING_ELEMS)};
  RandomState st;
  seed_state(&st, 0xC0FFEE);
  for (uint32_t i = 0; i < RANDOM_BUF_BYTES; i += 8) {
    uint64_t x = next_random(&st);
    for (int k = 0; k < 8; ++k, x >>= 8) r.buf[i + k] = static_cast<uint8_t>(x);
  }
  uint32_t p = 0;
  while (p <= 65519) {
    for (const char* w = words[next_random(&st) % 8]; *w != '\0'; ++w) r.text[p++] = static_cast<uint8_t>(*w);
    if ((next_random(&st) & 0xF) == 0) r.text[p++] = static_cast<uint8_t>(next_random(&st));
  }
  while (p < TEXT_CORPUS_BYTES) r.text[p++] = ' ';
  for (uint32_t k = 0; k < CHASE_RING_ELEMS; ++k) r.ring[k] = k;
  for (uint32_t i = CHASE_RING_ELEMS - 1; i >= 1; --i) std::swap(r.ring[i], r.ring[next_random(&st) % i]);
  return r;
}

TEST(Inputs, MatchOneStreamDrawnInOrder) {
  ASSERT_EQ(prepare_inputs(), 0);
  const ReferenceInputs r = build_reference();
  EXPECT_EQ(std::memcmp(random_buf, r.buf.data(), RANDOM_BUF_BYTES), 0);
  EXPECT_EQ(std::memcmp(text_corpus, r.text.data(), TEXT_CORPUS_BYTES), 0);
  EXPECT_EQ(std::memcmp(chase_ring, r.ring.data(), CHASE_RING_ELEMS * sizeof(uint32_t)), 0);
}

// The corpus read back as text: words, now and then one stray byte after a word, blanks at the end.
TEST(Inputs, CorpusParsesAsWordsStrayBytesAndBlankTail) {
  ASSERT_EQ(prepare_inputs(), 0);
  constexpr std::string_view words[8] = {"storage ", "the pool ", "checksum ", "lumo reef ",
                                         "volume ",  "snapshot ", "error 42 ", "tallyfox "};
  const std::string_view text(reinterpret_cast<const char*>(text_corpus), TEXT_CORPUS_BYTES);
  auto word_at = [&](std::size_t p) -> std::size_t {
    for (std::string_view w : words)
      if (text.substr(p, w.size()) == w) return w.size();
    return 0;
  };
  std::size_t p = 0, word_count = 0, stray = 0;
  int seen[8] = {};
  while (p <= 65519) {
    const std::size_t n = word_at(p);
    ASSERT_NE(n, 0u) << "no word at " << p;
    for (int k = 0; k < 8; ++k) seen[k] += text.substr(p, n) == words[k];
    p += n;
    ++word_count;
    if (p <= 65519 && word_at(p) == 0) {
      ++p;
      ++stray;
    }
  }
  // After the last word at most one stray byte, then blanks to the end.
  ASSERT_LT(p, TEXT_CORPUS_BYTES);
  EXPECT_EQ(text.find_first_not_of(' ', p + 1), std::string_view::npos);
  for (int k = 0; k < 8; ++k) EXPECT_GT(seen[k], 0) << words[k];
  // One step in sixteen adds a stray byte; allow a wide margin around word_count / 16.
  EXPECT_GT(stray, word_count / 32);
  EXPECT_LT(stray, word_count / 8);
}

TEST(Inputs, RingIsOneCycleThroughEveryElement) {
  ASSERT_EQ(prepare_inputs(), 0);
  uint32_t index = 0;
  for (uint32_t step = 1; step < CHASE_RING_ELEMS; ++step) {
    index = chase_ring[index];
    ASSERT_NE(index, 0u) << "back at 0 after " << step << " steps";
  }
  EXPECT_EQ(chase_ring[index], 0u);
}

}  // namespace
