#pragma once
// The nine kernels. Each takes its per-worker state and an iteration count and returns a value
// that depends on all the work done; a count of 0 returns at once without touching the state.
#include <cstddef>
#include <cstdint>

#include "subtests/inputs.h"

using KernelFn = uint64_t (*)(void* state, uint64_t count);

constexpr uint32_t DATA_BLOCK_BYTES = 65536;
constexpr uint32_t LZ4_OUT_BYTES = 73728;
constexpr uint32_t LZ4_TABLE_ENTRIES = 65536;
constexpr uint32_t VEC_ELEMS = 8192;

// int_scalar, fp_scalar, sha256, crc32c
struct DataState {
  const uint8_t* data;
  uint32_t len;
};
// lz4
struct Lz4State {
  const uint8_t* text;
  uint32_t len;
  uint8_t* out;         // LZ4_OUT_BYTES
  uint16_t* table;      // LZ4_TABLE_ENTRIES
};
// vec_f32
struct VecState {
  float* a;
  float* b;
  float* c;
};
// aes128ctr
struct AesState {
  uint32_t round_keys[44];
  uint32_t len;
};
// ptr_chase: the run-wide ring and where this worker's walk stands. Each call goes on from
// `index` and leaves it at the last element loaded, so successive chunks walk on through the one
// 16 MiB cycle instead of revisiting the elements the previous chunk brought into cache.
struct ChaseState {
  const uint32_t* ring;
  uint32_t index;
};
// branch gets a RandomState*.

uint64_t kernel_int_scalar(void* state, uint64_t count);
uint64_t kernel_fp_scalar(void* state, uint64_t count);
uint64_t kernel_branch(void* state, uint64_t count);
uint64_t kernel_ptr_chase(void* state, uint64_t count);
uint64_t kernel_vec_f32(void* state, uint64_t count);
uint64_t kernel_sha256(void* state, uint64_t count);
uint64_t kernel_crc32c(void* state, uint64_t count);
uint64_t kernel_lz4(void* state, uint64_t count);
uint64_t kernel_aes128ctr(void* state, uint64_t count);

// Tables of the data kernels, built once at start.
extern uint32_t crc_tables[4][256];
extern uint8_t aes_sbox[256];
extern uint32_t aes_round_table[256];
extern const uint8_t AES_FIXED_KEY[16];
extern const uint32_t AES_NONCE_WORDS[2];

void build_crc_tables();
void build_aes_tables();
void expand_aes_key(const uint8_t key[16], uint32_t out[44]);

// Helpers the tests use as oracles' counterparts.
uint32_t crc32c_bytes(uint32_t crc, const uint8_t* p, std::size_t len);  // standard CRC-32C, continuing crc
void aes128_encrypt_block(const uint32_t round_keys[44], const uint32_t in[4], uint32_t out[4]);
// The lz4 kernel's compressor: one LZ4 block of src into out, which must hold at least
// len + len / 255 + 24 bytes (literals are copied eight bytes at a time). Returns the size.
uint32_t lz4_compress_block(const uint8_t* src, uint32_t len, uint8_t* out, uint16_t table[LZ4_TABLE_ENTRIES]);
