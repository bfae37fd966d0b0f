#include <gtest/gtest.h>

#include <vector>

#include "engine/stalls.h"

namespace {

// A worker's chunks as the engine records them: a short ramp of tiny chunks timed mostly by the
// clock, then 100 chunks of 8 ms at 10 ns per iteration with +-1 % of scatter.
std::vector<ChunkRecord> quiet_chunks() {
  std::vector<ChunkRecord> c = {{1, 40e-9}, {64, 1.2e-6}, {4096, 50e-6}, {262144, 2.7e-3}};
  for (int i = 0; i < 100; ++i) c.push_back({800000, 8e-3 * (1.0 + 0.01 * ((i * 37) % 21 - 10) / 10.0)});
  return c;
}

StallFigures stalls_of(const std::vector<ChunkRecord>& c) {
  std::vector<double> scratch(c.size());
  return find_stalls(c.data(), static_cast<uint32_t>(c.size()), scratch.data());
}

TEST(Stalls, QuietChunksHaveNone) {
  const StallFigures f = stalls_of(quiet_chunks());
  EXPECT_EQ(f.stall_seconds, 0.0);
  EXPECT_EQ(f.longest_seconds, 0.0);
  EXPECT_NEAR(f.typical_seconds, 10e-9, 0.1e-9);
}

TEST(Stalls, OneLongPauseIsItsExcess) {
  auto c = quiet_chunks();
  c[50].seconds += 0.050;  // real-time throttling's 50 ms
  const StallFigures f = stalls_of(c);
  EXPECT_NEAR(f.stall_seconds, 0.050, 0.0002);
  EXPECT_NEAR(f.longest_seconds, 0.050, 0.0002);
}

TEST(Stalls, ManyShortPausesAddUp) {
  auto c = quiet_chunks();
  for (size_t i = 6; i < c.size(); i += 4) c[i].seconds += 0.002;  // every fourth chunk
  const StallFigures f = stalls_of(c);
  EXPECT_NEAR(f.stall_seconds, 25 * 0.002, 0.001);
  EXPECT_NEAR(f.longest_seconds, 0.002, 0.0002);
}

TEST(Stalls, PausesWithinTheNoiseAreNot) {
  auto c = quiet_chunks();
  c[30].seconds += 0.0002;  // under 0.25 ms
  c[40].seconds *= 1.03;    // inside 5 %
  EXPECT_EQ(stalls_of(c).stall_seconds, 0.0);
}

TEST(Stalls, SlowRampAtTheStartIsNotAStall) {
  auto c = quiet_chunks();
  // The clock ramps up over the first 40 ms: every chunk in that time runs slower, less so later.
  double t = 0;
  for (auto& k : c) {
    const double slow = t < 0.040 ? 2.0 - t / 0.040 : 1.0;
    t += k.seconds;
    k.seconds *= slow;
  }
  EXPECT_EQ(stalls_of(c).stall_seconds, 0.0);
  // A pause inside the ramp still counts, against the pace reached before it.
  c[6].seconds += 0.030;
  const StallFigures f = stalls_of(c);
  EXPECT_GT(f.stall_seconds, 0.025);  // less the ramp's own step from chunk 5 to 6
  EXPECT_LE(f.stall_seconds, 0.030);
}

TEST(Stalls, EveryChunkSlowedAlikeIsPaceNotStall) {
  auto c = quiet_chunks();
  for (auto& k : c) k.seconds *= 2;  // a competing task halves the pace: run-queue wait, not stalls
  EXPECT_EQ(stalls_of(c).stall_seconds, 0.0);
}

TEST(Stalls, NoChunksNoFigures) {
  const StallFigures f = find_stalls(nullptr, 0, nullptr);
  EXPECT_EQ(f.stall_seconds, 0.0);
  EXPECT_EQ(f.typical_seconds, 0.0);
}

}  // namespace
