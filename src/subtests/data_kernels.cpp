// The four data kernels: SHA-256, CRC-32C (slicing by 4), LZ4 block compression and AES-128
// counter keystream, each over 64 KiB per iteration, all in portable code from tables built at start.
#include <cstring>

#include "machine/sha256.h"
#include "subtests/kernels.h"

alignas(64) uint32_t crc_tables[4][256];
alignas(64) uint8_t aes_sbox[256];
alignas(64) uint32_t aes_round_table[256];

const uint8_t AES_FIXED_KEY[16] = {0x3c, 0x91, 0x5a, 0xe2, 0x07, 0xd4, 0x68, 0xbf,
                                   0x21, 0xa6, 0xfe, 0x39, 0x84, 0x5d, 0x0b, 0xc7};
// Words 1 and 2 of every counter block.
const uint32_t AES_NONCE_WORDS[2] = {0x7466786e, 0x6f6e6365};

namespace {

constexpr uint32_t CRC32C_POLY = 0x82F63B78;  // Castagnoli, reflected
constexpr uint32_t LZ4_HASH_MUL = 2654435761u;
constexpr uint32_t LZ4_MIN_MATCH = 4;
constexpr uint32_t LZ4_MATCH_START_MARGIN = 12;  // a match starts at least this far before the end
constexpr uint32_t LZ4_MATCH_END_MARGIN = 8;     // and ends at least this far before it
constexpr uint32_t LZ4_MAX_OFFSET = 65535;
constexpr uint8_t AES_RCON[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

// An unaligned little-endian load of a 32- or 64-bit word.
template <typename Word>
inline Word load_le(const uint8_t* p) {
  Word v;
  std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  if constexpr (sizeof(Word) == 8) v = __builtin_bswap64(v);
  else v = __builtin_bswap32(v);
#endif
  return v;
}

inline uint32_t ror32(uint32_t v, unsigned r) { return (v >> r) | (v << (32 - r)); }

// --- CRC-32C -------------------------------------------------------------------------------

// Runs the table method over p with crc in its inverted (working) form.
[[gnu::always_inline]] inline uint32_t crc32c_raw(uint32_t crc, const uint8_t* p, std::size_t len) {
  const std::size_t words = len / 4;
  for (std::size_t i = 0; i < words; ++i) {
    const uint32_t t = crc ^ load_le<uint32_t>(p + 4 * i);
    crc = crc_tables[3][t & 0xFF] ^ crc_tables[2][(t >> 8) & 0xFF] ^
          crc_tables[1][(t >> 16) & 0xFF] ^ crc_tables[0][t >> 24];
  }
  for (std::size_t i = words * 4; i < len; ++i) crc = crc_tables[0][(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// --- LZ4 -----------------------------------------------------------------------------------

// Length beyond the token's nibble: 255-bytes, then one byte below 255.
[[gnu::always_inline]] inline uint8_t* put_extra_length(uint8_t* op, uint32_t rest) {
  for (; rest >= 255; rest -= 255) *op++ = 255;
  *op++ = static_cast<uint8_t>(rest);
  return op;
}

// Index of the first byte that differs, given a nonzero exclusive-or of two little-endian loads.
inline uint32_t first_diff_byte(uint64_t diff) { return static_cast<uint32_t>(__builtin_ctzll(diff)) / 8; }

// kWholeWindow: the input is at most 64 KiB, so every table entry names an earlier position
// within reach of a 16-bit offset once the first position is passed. Position 0 can never match
// (its candidate is itself) and its entry would store the 0 the table already holds, so the
// search starts at position 1 and needs no range checks: the same output with a shorter loop.
template <bool kWholeWindow>
[[gnu::always_inline]] inline uint32_t lz4_compress(const uint8_t* src, uint32_t len, uint8_t* out,
                                                   uint16_t* table) {
  std::memset(table, 0, LZ4_TABLE_ENTRIES * sizeof(uint16_t));
  const uint8_t* ip = src;
  const uint8_t* anchor = src;
  const uint8_t* const end = src + len;
  uint8_t* op = out;
  if (len > LZ4_MATCH_START_MARGIN) {
    const uint8_t* const match_start_limit = end - LZ4_MATCH_START_MARGIN;
    const uint8_t* const match_end_limit = end - LZ4_MATCH_END_MARGIN;
    if (kWholeWindow) ++ip;
    while (ip < match_start_limit) {
      const uint32_t seq = load_le<uint32_t>(ip);
      const uint32_t h = (seq * LZ4_HASH_MUL) >> 16;
      const uint8_t* cand = src + table[h];
      table[h] = static_cast<uint16_t>(ip - src);
      const bool in_reach = kWholeWindow || (cand < ip && ip - cand <= LZ4_MAX_OFFSET);
      if (!in_reach || load_le<uint32_t>(cand) != seq) {
        ++ip;
        continue;
      }
      // Extend eight bytes at a time; loads stay below end because mp < match_end_limit.
      const uint8_t* mp = ip + LZ4_MIN_MATCH;
      const uint8_t* cp = cand + LZ4_MIN_MATCH;
      while (mp < match_end_limit) {
        const uint64_t diff = load_le<uint64_t>(mp) ^ load_le<uint64_t>(cp);
        if (diff != 0) {
          mp += first_diff_byte(diff);
          break;
        }
        mp += 8;
        cp += 8;
      }
      if (mp > match_end_limit) mp = match_end_limit;

      const uint32_t lit = static_cast<uint32_t>(ip - anchor);
      const uint32_t extra = static_cast<uint32_t>(mp - ip) - LZ4_MIN_MATCH;
      const uint32_t offset = static_cast<uint32_t>(ip - cand);
      uint8_t* token = op++;
      *token = static_cast<uint8_t>(((lit < 15 ? lit : 15) << 4) | (extra < 15 ? extra : 15));
      if (lit >= 15) op = put_extra_length(op, lit - 15);
      // Eight at a time: reads end before ip + 7 < end, writes past the literals are overwritten.
      for (uint32_t k = 0; k < lit; k += 8) std::memcpy(op + k, anchor + k, 8);
      op += lit;
      op[0] = static_cast<uint8_t>(offset);
      op[1] = static_cast<uint8_t>(offset >> 8);
      op += 2;
      if (extra >= 15) op = put_extra_length(op, extra - 15);
      ip = mp;
      anchor = ip;
    }
  }
  const uint32_t lit = static_cast<uint32_t>(end - anchor);
  *op++ = static_cast<uint8_t>((lit < 15 ? lit : 15) << 4);
  if (lit >= 15) op = put_extra_length(op, lit - 15);
  uint32_t k = 0;
  for (; k + 8 <= lit; k += 8) std::memcpy(op + k, anchor + k, 8);
  for (; k < lit; ++k) op[k] = anchor[k];
  op += lit;
  return static_cast<uint32_t>(op - out);
}

// --- AES-128 -------------------------------------------------------------------------------

uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
  }
  return r;
}

// x^254 is the multiplicative inverse in GF(2^8) for x != 0, and 0 for x = 0.
uint8_t gf_inverse(uint8_t x) {
  uint8_t r = 1;
  for (int i = 0; i < 254; ++i) r = gf_mul(r, x);
  return r;
}

inline uint8_t rotl8(uint8_t v, unsigned r) { return static_cast<uint8_t>((v << r) | (v >> (8 - r))); }

// One output column of a middle round: byte k of the column comes from input column j + k.
[[gnu::always_inline]] inline uint32_t aes_column(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3,
                                                 uint32_t key) {
  return aes_round_table[c0 >> 24] ^ ror32(aes_round_table[(c1 >> 16) & 0xFF], 8) ^
         ror32(aes_round_table[(c2 >> 8) & 0xFF], 16) ^ ror32(aes_round_table[c3 & 0xFF], 24) ^ key;
}

[[gnu::always_inline]] inline uint32_t aes_last_column(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3,
                                                      uint32_t key) {
  return ((uint32_t{aes_sbox[c0 >> 24]} << 24) | (uint32_t{aes_sbox[(c1 >> 16) & 0xFF]} << 16) |
          (uint32_t{aes_sbox[(c2 >> 8) & 0xFF]} << 8) | uint32_t{aes_sbox[c3 & 0xFF]}) ^
         key;
}

// Initial key addition and the nine middle rounds, in place.
[[gnu::always_inline]] inline void aes_middle_rounds(const uint32_t* rk, uint32_t s[4]) {
  uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
#pragma GCC unroll 9
  for (int r = 1; r <= 9; ++r) {
    const uint32_t* k = rk + 4 * r;
    const uint32_t t0 = aes_column(s0, s1, s2, s3, k[0]);
    const uint32_t t1 = aes_column(s1, s2, s3, s0, k[1]);
    const uint32_t t2 = aes_column(s2, s3, s0, s1, k[2]);
    const uint32_t t3 = aes_column(s3, s0, s1, s2, k[3]);
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  s[0] = s0;
  s[1] = s1;
  s[2] = s2;
  s[3] = s3;
}

}  // namespace

void build_crc_tables() {
  for (uint32_t v = 0; v < 256; ++v) {
    uint32_t c = v;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? CRC32C_POLY : 0);
    crc_tables[0][v] = c;
  }
  for (int t = 1; t < 4; ++t)
    for (uint32_t v = 0; v < 256; ++v)
      crc_tables[t][v] = (crc_tables[t - 1][v] >> 8) ^ crc_tables[0][crc_tables[t - 1][v] & 0xFF];
}

uint32_t crc32c_bytes(uint32_t crc, const uint8_t* p, std::size_t len) { return ~crc32c_raw(~crc, p, len); }

void build_aes_tables() {
  for (int x = 0; x < 256; ++x) {
    const uint8_t inv = gf_inverse(static_cast<uint8_t>(x));
    aes_sbox[x] = inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63;
  }
  for (int x = 0; x < 256; ++x) {
    const uint32_t s = aes_sbox[x];
    const uint32_t d = gf_mul(aes_sbox[x], 2);
    aes_round_table[x] = (d << 24) | (s << 16) | (s << 8) | (d ^ s);
  }
}

void expand_aes_key(const uint8_t key[16], uint32_t out[44]) {
  for (int i = 0; i < 4; ++i)
    out[i] = (uint32_t{key[4 * i]} << 24) | (uint32_t{key[4 * i + 1]} << 16) |
             (uint32_t{key[4 * i + 2]} << 8) | uint32_t{key[4 * i + 3]};
  for (int i = 4; i < 44; ++i) {
    uint32_t t = out[i - 1];
    if (i % 4 == 0) {
      t = (t << 8) | (t >> 24);
      t = (uint32_t{aes_sbox[t >> 24]} << 24) | (uint32_t{aes_sbox[(t >> 16) & 0xFF]} << 16) |
          (uint32_t{aes_sbox[(t >> 8) & 0xFF]} << 8) | uint32_t{aes_sbox[t & 0xFF]};
      t ^= uint32_t{AES_RCON[i / 4 - 1]} << 24;
    }
    out[i] = out[i - 4] ^ t;
  }
}

void aes128_encrypt_block(const uint32_t round_keys[44], const uint32_t in[4], uint32_t out[4]) {
  uint32_t s[4] = {in[0], in[1], in[2], in[3]};
  aes_middle_rounds(round_keys, s);
  const uint32_t* k = round_keys + 40;
  out[0] = aes_last_column(s[0], s[1], s[2], s[3], k[0]);
  out[1] = aes_last_column(s[1], s[2], s[3], s[0], k[1]);
  out[2] = aes_last_column(s[2], s[3], s[0], s[1], k[2]);
  out[3] = aes_last_column(s[3], s[0], s[1], s[2], k[3]);
}

uint32_t lz4_compress_block(const uint8_t* src, uint32_t len, uint8_t* out, uint16_t table[LZ4_TABLE_ENTRIES]) {
  return len <= LZ4_MAX_OFFSET + 1 ? lz4_compress<true>(src, len, out, table) : lz4_compress<false>(src, len, out, table);
}

uint64_t kernel_sha256(void* state, uint64_t count) {
  const DataState* st = static_cast<const DataState*>(state);
  uint64_t acc = 0;
  for (uint64_t n = 0; n < count; ++n) {
    Sha256Ctx ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, st->data, st->len);
    sha256_final(&ctx, digest);
    acc += digest[0];
  }
  return acc;
}

uint64_t kernel_crc32c(void* state, uint64_t count) {
  const DataState* st = static_cast<const DataState*>(state);
  uint32_t crc = 0;
  for (uint64_t n = 0; n < count; ++n) crc = ~crc32c_raw(~crc, st->data, st->len);
  return crc;
}

uint64_t kernel_lz4(void* state, uint64_t count) {
  const Lz4State* st = static_cast<const Lz4State*>(state);
  uint64_t total = 0;
  if (st->len <= LZ4_MAX_OFFSET + 1) {
    for (uint64_t n = 0; n < count; ++n) total += lz4_compress<true>(st->text, st->len, st->out, st->table);
  } else {
    for (uint64_t n = 0; n < count; ++n) total += lz4_compress<false>(st->text, st->len, st->out, st->table);
  }
  return total;
}

uint64_t kernel_aes128ctr(void* state, uint64_t count) {
  const AesState* st = static_cast<const AesState*>(state);
  uint64_t acc = 0;
  const uint32_t blocks_end = st->len & ~15u;
  for (uint64_t n = 0; n < count; ++n) {
    const uint32_t i = static_cast<uint32_t>(n);
    for (uint32_t b = 0; b < blocks_end; b += 16) {
      uint32_t s[4] = {i + b, AES_NONCE_WORDS[0], AES_NONCE_WORDS[1], b};
      aes_middle_rounds(st->round_keys, s);
      acc += aes_last_column(s[0], s[1], s[2], s[3], st->round_keys[40]);
    }
  }
  return acc;
}
