#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "build_info.h"
#include "machine/fingerprint.h"
#include "machine/sha256.h"
#include "machine_fixture.h"

namespace {

class FingerprintTest : public MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    std::memcpy(saved_, g_fingerprint, sizeof saved_);
  }
  void TearDown() override {
    std::memcpy(g_fingerprint, saved_, sizeof saved_);
    MachineFixture::TearDown();
  }

  char saved_[sizeof g_fingerprint];

  std::string fingerprint_of(const std::string& exe_bytes) {
    put("/exe", exe_bytes);
    char out[192];
    format_fingerprint("cc-1", "-O2", (scratch_ + "/exe").c_str(), out, sizeof out);
    return out;
  }
};

TEST_F(FingerprintTest, UnreadableExecutableHashesAsEmptyInput) {
  use_fixture("no-such-tree");
  compute_fingerprint();
  std::string fp = g_fingerprint;
  std::string expected = std::string(TFX_COMPILER_TEXT) + " " + TFX_FLAGS_TEXT + " sha256:e3b0c44298fc1c14";
  EXPECT_EQ(fp, expected.substr(0, sizeof g_fingerprint - 1));
}

TEST_F(FingerprintTest, DigestPrefixOfTheFile) {
  use_scratch();
  EXPECT_EQ(fingerprint_of("abc"), "cc-1 -O2 sha256:ba7816bf8f01cfea");
  EXPECT_EQ(fingerprint_of(""), "cc-1 -O2 sha256:e3b0c44298fc1c14");
  put_dir("/dir");
  char out[192];
  format_fingerprint("c", "f", (scratch_ + "/dir").c_str(), out, sizeof out);
  EXPECT_STREQ(out, "c f sha256:e3b0c44298fc1c14");
}

TEST_F(FingerprintTest, FileLongerThanOneChunkHashesWhole) {
  use_scratch();
  std::mt19937 rng(20240611);
  std::string bytes(65536 * 2 + 123, '\0');
  for (char& b : bytes) b = static_cast<char>(rng());

  Sha256Ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.data(), bytes.size());
  uint8_t digest[32];
  sha256_final(&ctx, digest);
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);

  std::string fp = fingerprint_of(bytes);
  EXPECT_EQ(fp, std::string("cc-1 -O2 sha256:") + hex);
  bytes[65536 + 7] ^= 1;
  EXPECT_NE(fingerprint_of(bytes), fp);
}

TEST_F(FingerprintTest, LongTextsAreCutTo191Characters) {
  use_scratch();
  put("/exe", "abc");
  std::string flags(300, 'f');
  char out[200];
  std::memset(out, '#', sizeof out);
  format_fingerprint("cc", flags.c_str(), (scratch_ + "/exe").c_str(), out, 192);
  EXPECT_EQ(std::strlen(out), 191u);
  EXPECT_EQ(out[192], '#');
  // Long flags are cut; the digest always survives.
  EXPECT_EQ(std::string(out).substr(191 - 24), " sha256:ba7816bf8f01cfea");
}

TEST_F(FingerprintTest, OwnExecutableIsStable) {
  compute_fingerprint();
  std::string first = g_fingerprint;
  compute_fingerprint();
  std::string second = g_fingerprint;
  EXPECT_EQ(first, second);
  std::size_t at = first.rfind(" sha256:");
  ASSERT_NE(at, std::string::npos);
  std::string digits = first.substr(at + 8);
  EXPECT_EQ(digits.size(), 16u);
  EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(digits, "e3b0c44298fc1c14");
}

}  // namespace
