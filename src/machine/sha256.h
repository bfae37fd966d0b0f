#pragma once
#include <cstddef>
#include <cstdint>

struct Sha256Ctx {
  uint32_t h[8];
  uint64_t bytes;          // fed so far
  uint8_t block[64];
  uint32_t pending;        // bytes waiting in block, 0..63
};

void sha256_init(Sha256Ctx* ctx);
void sha256_update(Sha256Ctx* ctx, const void* data, std::size_t len);
void sha256_final(Sha256Ctx* ctx, uint8_t digest[32]);
