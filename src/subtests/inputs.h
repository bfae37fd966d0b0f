#pragma once
// Random generators and the shared, read-only kernel inputs built once per process.
#include <cstdint>

constexpr uint32_t RANDOM_BUF_BYTES = 65536;
constexpr uint32_t TEXT_CORPUS_BYTES = 65536;
constexpr uint32_t CHASE_RING_ELEMS = 4194304;

struct RandomState {
  uint64_t w[2];
};

// SplitMix64 seeding: word 0 = mix(seed + inc), word 1 = mix(seed + 2 * inc).
void seed_state(RandomState* st, uint64_t seed);
// xorshift128+ (23, 17, 26).
inline uint64_t next_random(RandomState* st) {
  uint64_t s1 = st->w[0];
  const uint64_t s0 = st->w[1];
  st->w[0] = s0;
  s1 ^= s1 << 23;
  st->w[1] = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
  return st->w[1] + s0;
}

// Run-wide holders; null until prepare_inputs has run.
extern uint8_t* random_buf;     // RANDOM_BUF_BYTES
extern uint8_t* text_corpus;    // TEXT_CORPUS_BYTES
extern uint32_t* chase_ring;    // CHASE_RING_ELEMS

// Builds all three from one stream seeded with 0xC0FFEE. Returns 0, or -1 when memory is short.
int prepare_inputs();
// Frees the three inputs and clears their holders, so that a benchmark can build them again.
void release_inputs();
