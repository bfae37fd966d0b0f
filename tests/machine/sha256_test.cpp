#include "machine/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if TFX_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::string hex(const uint8_t* p, std::size_t n) {
  std::string s;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

// Feeds data in the given piece sizes (the last piece takes the rest); the context starts as junk.
std::string digest_in_pieces(const uint8_t* data, std::size_t len, const std::vector<std::size_t>& pieces) {
  Sha256Ctx ctx;
  std::memset(&ctx, 0xA5, sizeof ctx);
  sha256_init(&ctx);
  std::size_t off = 0;
  for (std::size_t piece : pieces) {
    const std::size_t n = piece < len - off ? piece : len - off;
    sha256_update(&ctx, data + off, n);
    off += n;
  }
  sha256_update(&ctx, data + off, len - off);
  uint8_t d[32];
  sha256_final(&ctx, d);
  return hex(d, 32);
}

struct Vector {
  std::string message;
  std::size_t repeat;
  const char* digest;
};

TEST(Sha256, FipsVectorsWholeAndInPieces) {
  const Vector vectors[] = {
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    std::string m;
    for (std::size_t i = 0; i < v.repeat; ++i) m += v.message;
    const auto* p = reinterpret_cast<const uint8_t*>(m.data());
    SCOPED_TRACE(m.substr(0, 16));
    EXPECT_EQ(digest_in_pieces(p, m.size(), {}), v.digest);
    EXPECT_EQ(digest_in_pieces(p, m.size(), {1, 0, 63, 2, 64, 55, 1}), v.digest);
  }
}

#if TFX_HAVE_OPENSSL
std::string openssl_digest(const uint8_t* data, std::size_t len) {
  uint8_t d[32];
  unsigned int n = 0;
  EVP_Digest(data, len, d, &n, EVP_sha256(), nullptr);
  return hex(d, n);
}
#endif

TEST(Sha256, AgreesWithOpenSslForAnyLengthAndSplit) {
#if TFX_HAVE_OPENSSL
  const unsigned seed = 20240611;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  std::vector<uint8_t> data(70000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % data.size());
  lengths.push_back(data.size());
  for (std::size_t len : lengths) {
    SCOPED_TRACE(len);
    const std::string want = openssl_digest(data.data(), len);
    ASSERT_EQ(digest_in_pieces(data.data(), len, {}), want);
    std::vector<std::size_t> pieces;
    for (int k = 0; k < 6; ++k) pieces.push_back(rng() % (len / 3 + 2));
    ASSERT_EQ(digest_in_pieces(data.data(), len, pieces), want);
  }
#else
  GTEST_SKIP() << "built without OpenSSL";
#endif
}

}  // namespace
