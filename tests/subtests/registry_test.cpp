#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/passes.h"
#include "engine/round_state.h"
#include "run/config.h"
#include "run/control.h"
#include "subtests/registry.h"

namespace {

const SubtestSpec* spec(const char* name) {
  register_subtests();
  for (int i = 0; i < g_registry_count; ++i)
    if (std::strcmp(g_registry[i].name, name) == 0) return &g_registry[i];
  return nullptr;
}

void add_row(const char* name, double st_mrate, double mt_mrate) {
  SubtestResult& r = g_results[g_result_count++];
  r = SubtestResult{};
  r.spec = spec(name);
  r.st.rate = st_mrate * 1e6;
  r.mt.rate = mt_mrate * 1e6;
  r.mt_ran = mt_mrate > 0 ? 1 : 0;
}

class Index : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_round_state();
    g_result_count = 0;
  }
};

TEST(Registry, NineRowsInOrder) {
  register_subtests();
  register_subtests();  // a second call adds nothing
  ASSERT_EQ(g_registry_count, 9);
  const char* names[] = {"int_scalar", "fp_scalar", "branch", "ptr_chase", "sha256",
                         "crc32c",     "lz4",       "aes128ctr", "vec_f32"};
  for (int i = 0; i < 9; ++i) EXPECT_STREQ(g_registry[i].name, names[i]);
  EXPECT_EQ(spec("vec_f32")->ops_per_iter, 16384);
  EXPECT_STREQ(spec("ptr_chase")->unit, "Mderef");
  EXPECT_STREQ(spec("crc32c")->isa, "soft");
}

TEST(Registry, ProbeAndFilterSelection) {
  register_subtests();
  reset_config();
  g_config.mode = MODE_PROBE;
  int n = 0;
  for (int i = 0; i < 9; ++i) n += subtest_selected(g_registry[i]) ? 1 : 0;
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(subtest_selected(*spec("sha256")));
  EXPECT_FALSE(subtest_selected(*spec("lz4")));
  g_config.mode = MODE_FULL;
  std::strcpy(g_config.subtest_filter, "sha256,lz4");
  EXPECT_TRUE(subtest_selected(*spec("lz4")));
  EXPECT_FALSE(subtest_selected(*spec("int_scalar")));
}

TEST_F(Index, AtReferenceIsThousandAndTwiceIsTwoThousand) {
  add_row("int_scalar", 600.0, 1200.0);
  add_row("sha256", 300.0, 600.0);
  compute_index();
  EXPECT_NEAR(g_rounds.index_st, 1000.0, 1e-9);
  EXPECT_NEAR(g_rounds.index_mt, 2000.0, 1e-9);
  EXPECT_EQ(g_rounds.index_n, 2);
}

TEST_F(Index, GeometricMean) {
  add_row("int_scalar", 1200.0, 0);  // 2x
  add_row("crc32c", 400.0, 0);       // 0.5x
  add_row("vec_f32", 6000.0, 0);     // 4x
  compute_index();
  EXPECT_NEAR(g_rounds.index_st, 1000.0 * std::cbrt(4.0), 1e-6);
  EXPECT_DOUBLE_EQ(g_rounds.index_mt, 0.0);
}

TEST_F(Index, RowsOutsideTheIndex) {
  add_row("aes128ctr", 500.0, 900.0);  // no reference row
  compute_index();
  EXPECT_EQ(g_rounds.index_st, 0.0);
  EXPECT_EQ(g_rounds.index_mt, 0.0);
  EXPECT_EQ(g_rounds.index_n, 0);

  g_result_count = 0;
  add_row("lz4", 0.0, 800.0);  // zero single-thread rate counts in neither index
  add_row("branch", 800.0, 1600.0);
  compute_index();
  EXPECT_NEAR(g_rounds.index_st, 2000.0, 1e-9);
  EXPECT_NEAR(g_rounds.index_mt, 4000.0, 1e-9);
  EXPECT_EQ(g_rounds.index_n, 1);
}

TEST_F(Index, ProbeHasNoIndex) {
  add_row("int_scalar", 600.0, 0);
  g_config.mode = MODE_PROBE;
  compute_index();
  EXPECT_EQ(g_rounds.index_st, 0.0);
  EXPECT_EQ(g_rounds.index_n, 0);
}

}  // namespace
