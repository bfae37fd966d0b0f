// SHA-256 (FIPS 180-4) in portable C++. The 64 rounds are unrolled and each message word from 16
// on is computed in the round that first needs it, in a 16-word ring, so the schedule overlaps
// the round arithmetic instead of running as a separate pass.
#include "machine/sha256.h"

#include <cstring>

namespace {

alignas(64) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
static_assert(sizeof(K) / sizeof(K[0]) == 64);

constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
static_assert(sizeof(H0) / sizeof(H0[0]) == 8);

inline uint32_t ror(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t big_sigma0(uint32_t x) { return ror(x, 2) ^ ror(x, 13) ^ ror(x, 22); }
inline uint32_t big_sigma1(uint32_t x) { return ror(x, 6) ^ ror(x, 11) ^ ror(x, 25); }
inline uint32_t small_sigma0(uint32_t x) { return ror(x, 7) ^ ror(x, 18) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return ror(x, 17) ^ ror(x, 19) ^ (x >> 10); }

// One round. The sum that does not depend on e (h + K + W) is formed first, so only
// Sigma1(e) and Ch lie on the chain from e to the next e. Maj(a, b, c) is b ^ ((a ^ b) & (b ^ c)),
// and b ^ c is the previous round's a ^ b, so each round hands its a ^ b (ab) to the next (bc).
#define SHA_ROUND(a, b, c, d, e, f, g, h, t, word, ab, bc)        \
  do {                                                           \
    uint32_t t1 = (h) + K[t] + (word);                           \
    t1 += (g) ^ ((e) & ((f) ^ (g)));                             \
    t1 += big_sigma1(e);                                         \
    (d) += t1;                                                   \
    (ab) = (a) ^ (b);                                            \
    (h) = t1 + big_sigma0(a) + ((b) ^ ((ab) & (bc)));            \
  } while (0)

// Eight rounds with the message word of round t given by W(t).
#define SHA_ROUNDS8(t, W)                                         \
  SHA_ROUND(a, b, c, d, e, f, g, h, (t) + 0, W((t) + 0), x, y); \
  SHA_ROUND(h, a, b, c, d, e, f, g, (t) + 1, W((t) + 1), y, x); \
  SHA_ROUND(g, h, a, b, c, d, e, f, (t) + 2, W((t) + 2), x, y); \
  SHA_ROUND(f, g, h, a, b, c, d, e, (t) + 3, W((t) + 3), y, x); \
  SHA_ROUND(e, f, g, h, a, b, c, d, (t) + 4, W((t) + 4), x, y); \
  SHA_ROUND(d, e, f, g, h, a, b, c, (t) + 5, W((t) + 5), y, x); \
  SHA_ROUND(c, d, e, f, g, h, a, b, (t) + 6, W((t) + 6), x, y); \
  SHA_ROUND(b, c, d, e, f, g, h, a, (t) + 7, W((t) + 7), y, x)

// Rounds 0..15 take the message words straight from the block.
#define SHA_LOAD(t) (w[t] = load_be32(p + 4 * (t)))
// Message word t (t >= 16) replaces word t - 16 in the ring.
#define SHA_SCHED(t)                                                              \
  (w[(t) & 15] += small_sigma1(w[((t) - 2) & 15]) + w[((t) - 7) & 15] +           \
                  small_sigma0(w[((t) - 15) & 15]))

void compress_blocks(uint32_t state[8], const uint8_t* p, std::size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t w[16];
  for (; blocks != 0; --blocks, p += 64) {
    uint32_t x, y = b ^ c;  // a ^ b handed between rounds, alternating names
    SHA_ROUNDS8(0, SHA_LOAD);
    SHA_ROUNDS8(8, SHA_LOAD);
    SHA_ROUNDS8(16, SHA_SCHED);
    SHA_ROUNDS8(24, SHA_SCHED);
    SHA_ROUNDS8(32, SHA_SCHED);
    SHA_ROUNDS8(40, SHA_SCHED);
    SHA_ROUNDS8(48, SHA_SCHED);
    SHA_ROUNDS8(56, SHA_SCHED);
    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;
  }
}

#undef SHA_SCHED
#undef SHA_LOAD
#undef SHA_ROUNDS8
#undef SHA_ROUND

}  // namespace

void sha256_init(Sha256Ctx* ctx) {
  std::memcpy(ctx->h, H0, sizeof H0);
  ctx->bytes = 0;
  ctx->pending = 0;
}

void sha256_update(Sha256Ctx* ctx, const void* data, std::size_t len) {
  if (len == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  ctx->bytes += len;
  if (ctx->pending != 0) {
    const std::size_t room = 64 - ctx->pending;
    const std::size_t take = len < room ? len : room;
    std::memcpy(ctx->block + ctx->pending, p, take);
    ctx->pending += static_cast<uint32_t>(take);
    p += take;
    len -= take;
    if (ctx->pending < 64) return;
    compress_blocks(ctx->h, ctx->block, 1);
    ctx->pending = 0;
  }
  const std::size_t whole = len / 64;
  if (whole != 0) compress_blocks(ctx->h, p, whole);
  p += whole * 64;
  len -= whole * 64;
  if (len != 0) std::memcpy(ctx->block, p, len);
  ctx->pending = static_cast<uint32_t>(len);
}

void sha256_final(Sha256Ctx* ctx, uint8_t digest[32]) {
  const uint64_t bits = ctx->bytes * 8;
  uint32_t n = ctx->pending;
  ctx->block[n++] = 0x80;
  if (n > 56) {
    std::memset(ctx->block + n, 0, 64 - n);
    compress_blocks(ctx->h, ctx->block, 1);
    n = 0;
  }
  std::memset(ctx->block + n, 0, 56 - n);
  store_be32(ctx->block + 56, static_cast<uint32_t>(bits >> 32));
  store_be32(ctx->block + 60, static_cast<uint32_t>(bits));
  compress_blocks(ctx->h, ctx->block, 1);
  for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, ctx->h[i]);
}
