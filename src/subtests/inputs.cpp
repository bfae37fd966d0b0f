#include "subtests/inputs.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

uint8_t* random_buf = nullptr;
uint8_t* text_corpus = nullptr;
uint32_t* chase_ring = nullptr;

namespace {

constexpr uint64_t SPLITMIX_INC = 0x9E3779B97F4A7C15ull;
constexpr uint64_t INPUT_SEED = 0xC0FFEE;
constexpr std::size_t LINE_ALIGN = 64;
// The ring is aligned to a huge page so the kernel can back it with 2 MiB pages where allowed.
constexpr std::size_t RING_ALIGN = std::size_t{2} << 20;

// The corpus grows while its write position is at most this; one step adds at most 11 bytes.
constexpr uint32_t CORPUS_LAST_STEP = TEXT_CORPUS_BYTES - 17;

struct CorpusWord {
  const char* text;
  uint32_t len;
};
constexpr CorpusWord CORPUS_WORDS[] = {
    {"storage ", 8}, {"the pool ", 9}, {"checksum ", 9}, {"lumo reef ", 10},
    {"volume ", 7},  {"snapshot ", 9}, {"error 42 ", 9}, {"tallyfox ", 9},
};
static_assert(sizeof(CORPUS_WORDS) / sizeof(CORPUS_WORDS[0]) == 8);

// How many ring positions ahead the shuffle draws its swap partners and prefetches them. The
// draws stay in stream order; only the memory accesses are started early.
constexpr uint32_t SHUFFLE_AHEAD = 32;
static_assert((SHUFFLE_AHEAD & (SHUFFLE_AHEAD - 1)) == 0);

uint64_t splitmix_mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void fill_random_buf(RandomState* st, uint8_t* buf) {
  for (uint32_t i = 0; i < RANDOM_BUF_BYTES; i += 8) {
    const uint64_t x = next_random(st);
    for (uint32_t k = 0; k < 8; ++k) buf[i + k] = static_cast<uint8_t>(x >> (8 * k));
  }
}

void fill_corpus(RandomState* st, uint8_t* buf) {
  uint32_t p = 0;
  while (p <= CORPUS_LAST_STEP) {
    const CorpusWord& w = CORPUS_WORDS[next_random(st) % 8];
    std::memcpy(buf + p, w.text, w.len);
    p += w.len;
    if ((next_random(st) & 0xF) == 0) buf[p++] = static_cast<uint8_t>(next_random(st));
  }
  std::memset(buf + p, ' ', TEXT_CORPUS_BYTES - p);
}

// Sattolo's shuffle: every partner j lies below i, so the result is one cycle through all elements.
void fill_ring(RandomState* st, uint32_t* ring) {
  for (uint32_t k = 0; k < CHASE_RING_ELEMS; ++k) ring[k] = k;
  uint32_t partner[SHUFFLE_AHEAD];
  uint32_t next_draw = CHASE_RING_ELEMS - 1;  // the position whose partner is drawn next
  auto draw = [&] {
    if (next_draw == 0) return;
    const uint32_t j = static_cast<uint32_t>(next_random(st) % next_draw);
    partner[next_draw & (SHUFFLE_AHEAD - 1)] = j;
    __builtin_prefetch(ring + j, 1);
    --next_draw;
  };
  for (uint32_t k = 0; k < SHUFFLE_AHEAD; ++k) draw();
  for (uint32_t i = CHASE_RING_ELEMS - 1; i >= 1; --i) {
    const uint32_t j = partner[i & (SHUFFLE_AHEAD - 1)];
    const uint32_t t = ring[i];
    ring[i] = ring[j];
    ring[j] = t;
    draw();
  }
}

}  // namespace

void seed_state(RandomState* st, uint64_t seed) {
  st->w[0] = splitmix_mix(seed + SPLITMIX_INC);
  st->w[1] = splitmix_mix(seed + 2 * SPLITMIX_INC);
}

void release_inputs() {
  std::free(random_buf);
  std::free(text_corpus);
  std::free(chase_ring);
  random_buf = nullptr;
  text_corpus = nullptr;
  chase_ring = nullptr;
}

int prepare_inputs() {
  if (random_buf != nullptr) return 0;
  random_buf = static_cast<uint8_t*>(std::aligned_alloc(LINE_ALIGN, RANDOM_BUF_BYTES));
  text_corpus = static_cast<uint8_t*>(std::aligned_alloc(LINE_ALIGN, TEXT_CORPUS_BYTES));
  chase_ring = static_cast<uint32_t*>(std::aligned_alloc(RING_ALIGN, CHASE_RING_ELEMS * sizeof(uint32_t)));
  if (random_buf == nullptr || text_corpus == nullptr || chase_ring == nullptr) {
    release_inputs();
    return -1;
  }
#ifdef MADV_HUGEPAGE
  // Advice only: without huge pages the ring still works, with more TLB misses.
  madvise(chase_ring, CHASE_RING_ELEMS * sizeof(uint32_t), MADV_HUGEPAGE);
#endif
  RandomState st;
  seed_state(&st, INPUT_SEED);
  fill_random_buf(&st, random_buf);
  fill_corpus(&st, text_corpus);
  fill_ring(&st, chase_ring);
  return 0;
}
