#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "dashboard/grid.h"
#include "dashboard/screen.h"
#include "run/control.h"

namespace {

std::string glyphs(int x, int y, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    const Cell* c = grid_cell(x + i, y);
    s += c ? c->glyph : "";
  }
  return s;
}

std::string row(int y) { return glyphs(0, y, g_grid.width); }

// Column of the first cell of text in row y, or -1.
int column_of(int y, const std::string& text) {
  for (int x = 0; x < g_grid.width; ++x) {
    std::string s;
    for (int k = x; k < g_grid.width && s.size() < text.size(); ++k) s += glyphs(k, y, 1);
    if (s == text) return x;
  }
  return -1;
}

std::string repeat(const char* s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

const Cell& at(int x, int y) { return *grid_cell(x, y); }

void add_row(DashModel& m, const char* name, const char* isa, double st, double mt, double scaling, double wait = 0.5) {
  DashSubtestRow& r = m.rows[m.row_count++];
  r = DashSubtestRow{};
  std::snprintf(r.name, sizeof r.name, "%s", name);
  std::snprintf(r.isa, sizeof r.isa, "%s", isa);
  std::snprintf(r.unit, sizeof r.unit, "Mops");
  r.st = st;
  r.mt = mt;
  r.scaling = scaling;
  r.st_wait_pct = wait;
  r.st_min = r.st_max = st;
  r.st_events = 1;
}

class Screen : public ::testing::Test {
 protected:
  void SetUp() override {
    g_dash_theme = 0;
    m = DashModel{};
    std::snprintf(m.cpu_model, sizeof m.cpu_model, "Test CPU 9000");
    std::snprintf(m.mode, sizeof m.mode, "full");
    m.ncpu = 8;
    m.ncores = 4;
    m.max_mhz = 3600;
    m.isa[0] = m.isa[1] = m.isa[2] = m.isa[3] = 1;  // sse2, sse4.2, avx, avx2
    m.start_time = 100.0;
  }
  void TearDown() override { g_dash_theme = 0; }
  void compose(int cols, int rows, double now = 110.0, int blink = 0) {
    ASSERT_TRUE(grid_begin_frame_sized(cols, rows));
    compose_dashboard_screen(m, blink, now);
  }
  DashModel m;
};

TEST_F(Screen, LayoutFollowsTheWidth) {
  add_row(m, "int_scalar", "base", 400, 800, 1.0);
  add_row(m, "fp_scalar", "base", 300, 0, 0);
  const struct {
    int cols;
    int left_width;  // 0: no left boxes
    int subtests_column;
    bool wide;
    const char* no_mt_text;
  } cases[] = {
      {160, 40, 41, true, "single-thread only"}, {120, 40, 41, false, "single-thread only"},
      {110, 40, 41, false, "ST only"}, {109, 34, 35, false, "single-thread only"},
      {100, 34, 35, false, "ST only"}, {90, 34, 35, false, "ST only"}, {89, 0, 0, true, "single-thread only"},
      {80, 0, 0, false, "single-thread only"},
  };
  for (const auto& c : cases) {
    compose(c.cols, 30);
    const std::string top = row(1);
    if (c.left_width > 0) {
      EXPECT_EQ(glyphs(0, 1, 10), "╭ Machine ") << c.cols;
      EXPECT_EQ(glyphs(c.left_width - 1, 1, 1), "╮") << c.cols;
      EXPECT_EQ(glyphs(c.left_width - 1, 9, 1), "╮") << c.cols;
    } else {
      EXPECT_EQ(top.find("Machine"), std::string::npos) << c.cols;
      EXPECT_EQ(row(10).find("single-thread"), std::string::npos) << c.cols;
    }
    EXPECT_EQ(glyphs(c.subtests_column, 1, 11), "╭ Subtests ") << c.cols;
    EXPECT_EQ(glyphs(c.cols - 1, 1, 1), "╮") << c.cols;
    EXPECT_EQ(glyphs(c.cols - 1, 27, 1), "╯") << c.cols;
    const std::string header = row(2);
    EXPECT_EQ(header.find("UNIT") != std::string::npos, c.wide) << c.cols;
    EXPECT_EQ(header.find("ST rng") != std::string::npos, c.wide) << c.cols;
    EXPECT_EQ(column_of(2, "SUBTEST"), c.subtests_column + 4) << c.cols;
    EXPECT_EQ(column_of(3, "int_scalar"), c.subtests_column + 4) << c.cols;
    const int scaling_column = c.subtests_column + 2 + (c.wide ? 51 : 44);
    EXPECT_EQ(column_of(2, "SCALING"), scaling_column) << c.cols;
    EXPECT_EQ(column_of(4, c.no_mt_text), scaling_column) << c.cols;
  }
}

TEST_F(Screen, ScalingBarsFillTheirShareOfB) {
  add_row(m, "full", "base", 100, 125, 1.25);
  add_row(m, "half", "base", 100, 50, 0.5);
  add_row(m, "mid", "base", 100, 70, 0.7);
  compose(160, 30);  // wide table: B = 119 - 76 = 43, bar from column 41 + 2 + 51
  const int x = 94;
  EXPECT_EQ(glyphs(x, 3, 43), repeat("█", 43));
  EXPECT_EQ(at(x, 3).fg, palette_colour(ROLE_GOOD));
  EXPECT_EQ(glyphs(x + 43, 3, 6), "  125%");
  // 0.5 / 1.25 of 43 cells is 17.2: 17 full cells and one eighth.
  EXPECT_EQ(glyphs(x + 16, 4, 3), "█▏ ");
  EXPECT_EQ(at(x, 4).fg, palette_colour(ROLE_BAD));
  EXPECT_EQ(at(x, 5).fg, palette_colour(ROLE_WARN));
}

TEST_F(Screen, WaitColoursHaveStrictThresholds) {
  const struct {
    double wait;
    PaletteRole role;
  } cases[] = {{5.0, ROLE_WARN}, {5.01, ROLE_BAD}, {1.0, ROLE_LABEL}, {1.01, ROLE_WARN}, {0.0, ROLE_LABEL}};
  for (const auto& c : cases) add_row(m, "w", std::to_string(m.row_count).c_str(), 10, 20, 1.0, c.wait);
  m.rows[0].mt_wait_agg = 0.5;  // the larger of the two figures counts
  m.rows[4].mt_wait_agg = 7.0;
  compose(100, 30);  // narrow table: wait field at 35 + 2 + 44 + 6 + 6
  const int x = 93;
  EXPECT_EQ(glyphs(x, 3, 6), "  5.0%");
  EXPECT_EQ(glyphs(x, 7, 6), "  7.0%");
  const PaletteRole want[] = {ROLE_WARN, ROLE_BAD, ROLE_LABEL, ROLE_WARN, ROLE_BAD};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(at(x + 2, 3 + i).fg, palette_colour(want[i])) << cases[i].wait;
}

TEST_F(Screen, StSpreadShowsInTheWideTableAfterTwoEvents) {
  add_row(m, "a", "base", 100, 0, 0);
  add_row(m, "b", "base", 100, 0, 0);
  add_row(m, "c", "base", 100, 0, 0);
  m.rows[1].st_events = 2;
  m.rows[1].st_min = 90;
  m.rows[1].st_max = 100;
  m.rows[2].st_events = 2;
  m.rows[2].st_min = 99;
  m.rows[2].st_max = 100;
  compose(160, 30);
  const int x = 94 + 43 + 12;
  EXPECT_EQ(glyphs(x, 3, 7), "       ");
  EXPECT_EQ(glyphs(x, 4, 7), "  10.0%");
  EXPECT_EQ(at(x + 3, 4).fg, palette_colour(ROLE_WARN));
  EXPECT_EQ(glyphs(x, 5, 7), "   1.0%");
  EXPECT_EQ(at(x + 3, 5).fg, palette_colour(ROLE_LABEL));
}

TEST_F(Screen, TrustBoxNeedsTwentyFourRows) {
  compose(120, 23);
  EXPECT_EQ(row(18).find("Trust"), std::string::npos);
  EXPECT_EQ(glyphs(0, 17, 1), "╰");
  compose(120, 24);
  EXPECT_EQ(glyphs(0, 18, 8), "╭ Trust ");
  EXPECT_EQ(glyphs(0, 21, 1), "╰");
  EXPECT_EQ(glyphs(2, 19, 5), "Every");
  EXPECT_EQ(glyphs(2, 20, 3), "the");  // two lines fit
}

TEST_F(Screen, RoundHistoryShowsTheNewestRoundsThatFit) {
  for (int i = 0; i < 50; ++i) {
    m.rounds[i] = {0.0, i < 14 ? 0.0 : 100.0 + i, 0.02};
    ++m.round_count;
  }
  m.round_target = 0.015;
  compose(120, 30);
  // Rounds 15..50: the oldest shown is the lowest, so the 14 rounds of 0 are not among them.
  EXPECT_EQ(glyphs(2, 13, 1), "▁");
  EXPECT_EQ(glyphs(37, 13, 1), "█");
  EXPECT_EQ(glyphs(38, 13, 1), " ");
  EXPECT_EQ(at(37, 13).fg, palette_colour(ROLE_ACCENT));
  EXPECT_EQ(at(36, 13).fg, palette_colour(ROLE_SPARK));
  EXPECT_NE(row(14).find("Rounds"), std::string::npos);
  EXPECT_EQ(glyphs(36, 14, 2), "50");
  EXPECT_NE(row(15).find("Spread"), std::string::npos);
  EXPECT_NE(row(15).find("2.0% (target 1.5%)"), std::string::npos);
  EXPECT_NE(row(16).find("not yet"), std::string::npos);
  EXPECT_EQ(glyphs(2, 11, 1), "—");  // the newest round's indexes: ST 0, MT 149
  EXPECT_EQ(glyphs(21, 11, 4), "149 ");

  m.round_count = 2;
  m.rounds[0] = m.rounds[1] = {500, 700, -1};
  compose(120, 30);
  EXPECT_EQ(glyphs(2, 13, 3), "▅▅ ");
  // Before four rounds there is no spread, and no number stands in for it.
  EXPECT_NE(row(15).find("not known, needs 4 rounds"), std::string::npos) << "[" << row(15) << "]";
  m.result_received = true;
  m.range = -1;
  compose(120, 30);
  EXPECT_NE(row(15).find("Precision"), std::string::npos);
  EXPECT_NE(row(15).find("not known, needs 4 rounds"), std::string::npos) << "[" << row(15) << "]";
}

TEST_F(Screen, IndexBoxWithoutRounds) {
  compose(120, 30);
  EXPECT_EQ(glyphs(2, 11, 1), "—");
  EXPECT_EQ(at(2, 11).fg, palette_colour(ROLE_FAINT));
  EXPECT_EQ(glyphs(21, 11, 1), "—");
  EXPECT_NE(row(13).find("The index comes after round 1."), std::string::npos);
  m.result_received = true;  // stopped before the first round ended
  compose(120, 30);
  EXPECT_NE(row(13).find("The run ended before round 1 did."), std::string::npos);
  m.result_received = false;
  std::snprintf(m.mode, sizeof m.mode, "probe");
  compose(120, 30);
  EXPECT_NE(row(13).find("A probe has no index rounds."), std::string::npos);
  EXPECT_EQ(row(14).find("Rounds"), std::string::npos);
}

TEST_F(Screen, ResultShowsVerdictPrecisionAndStatus) {
  for (int i = 0; i < 9; ++i) add_row(m, ("t" + std::to_string(i)).c_str(), "base", 10, 20, 1.0);
  m.rounds[0] = {600, 1400, 0.3};
  m.round_count = 1;
  m.round_target = 0.015;
  m.round_converged = 1;
  m.result_received = true;
  m.child_done = true;
  std::snprintf(m.verdict, sizeof m.verdict, "untrusted");
  std::snprintf(m.verdict_why, sizeof m.verdict_why, "runqueue wait 12.0%% of on-cpu time");
  m.index_st = 612.4;
  m.index_mt = 1398.6;
  m.precision = 0.0123;
  m.range = 0.0123;
  m.range_first = 4;
  m.range_last = 7;
  m.result_rounds = 7;
  m.duration = 74.2;
  m.end_time = 174.2;
  m.peak_c = 81.0;
  m.clock_ratio = 0.87;
  m.limited = 1;
  m.stall_pct = 7.5;
  m.stall_longest_ms = 21.0;
  compose(120, 30, 500.0);
  EXPECT_EQ(glyphs(1, 28, 32), "UNTRUSTED · 9 subtests in 74.2 s");
  EXPECT_EQ(at(1, 28).fg, palette_colour(ROLE_BAD));
  EXPECT_EQ(at(1, 28).bold, 1);
  EXPECT_EQ(glyphs(2, 19, 11), "◆ UNTRUSTED");
  EXPECT_EQ(at(2, 19).fg, palette_colour(ROLE_BAD));
  EXPECT_NE(row(20).find("81 °C, clock x0.87 (limited)"), std::string::npos);
  EXPECT_EQ(at(37, 20).fg, palette_colour(ROLE_WARN));
  EXPECT_NE(row(21).find("Stalls"), std::string::npos);
  EXPECT_NE(row(21).find("7.5 %, longest 21 ms"), std::string::npos);
  EXPECT_EQ(glyphs(2, 22, 13), "runqueue wait");
  EXPECT_EQ(glyphs(2, 11, 3), "612");
  EXPECT_EQ(glyphs(21, 11, 4), "1399");
  EXPECT_NE(row(14).find(" 7 "), std::string::npos);
  EXPECT_NE(row(15).find("Precision"), std::string::npos);
  EXPECT_NE(row(15).find("range 1.2%, rounds 4-7"), std::string::npos) << row(15);
  EXPECT_EQ(at(37, 15).fg, palette_colour(ROLE_GOOD));
  EXPECT_NE(row(16).find("yes"), std::string::npos);
  EXPECT_EQ(glyphs(1, 29, 8), " q  quit");
  EXPECT_EQ(glyphs(110, 0, 9), "00:01:14 ");  // frozen at the end time

  m.round_converged = 0;
  std::snprintf(m.verdict, sizeof m.verdict, "weird");
  m.duration = 0;
  m.peak_c = 0;
  compose(120, 30, 500.0);
  EXPECT_EQ(glyphs(1, 28, 28), "weird · 9 subtests in 74.2 s");
  EXPECT_EQ(at(1, 28).fg, palette_colour(ROLE_TEXT));
  EXPECT_EQ(glyphs(2, 21, 13), "runqueue wait");
  EXPECT_NE(row(16).find("plateau"), std::string::npos);

  // Why the all-core columns stayed empty, wrapped below the rows inside the Subtests box.
  std::snprintf(m.all_core_note, sizeof m.all_core_note, "%s", missing_all_core_note(true, 2, 1));
  compose(120, 30, 500.0);
  EXPECT_NE(row(13).find("│   no all-core phase: it needs two bench CPUs"), std::string::npos) << row(13);
  EXPECT_NE(row(14).find("│   one CPU is left free when 2 to 4 CPUs are selected; --quiesce none        │"),
            std::string::npos) << row(14);
  EXPECT_NE(row(15).find("│   measures all cores"), std::string::npos) << row(15);
}

TEST_F(Screen, ElapsedClockSitsAtTheRightEdge) {
  m.start_time = 0;
  m.end_time = 3725;
  compose(120, 30, 99999.0);
  EXPECT_EQ(glyphs(110, 0, 10), "01:02:05  ");
  EXPECT_EQ(at(111, 0).bold, 1);
  EXPECT_EQ(at(119, 0).bg, palette_colour(ROLE_TITLE_BG));
  m.end_time = 0;
  m.start_time = 10;
  compose(80, 24, 75.9);
  EXPECT_EQ(glyphs(70, 0, 8), "00:01:05");
}

TEST_F(Screen, TitleBarNamesTheMachineAndMode) {
  m.hybrid = true;
  m.p_cores = 6;
  m.e_cores = 2;
  compose(120, 30);
  EXPECT_EQ(glyphs(1, 0, 28), " ◆ TALLYFOX · CPU BENCHMARK ");
  EXPECT_EQ(glyphs(29, 0, 37), " Test CPU 9000 · 4C/8T hybrid · FULL ");
  EXPECT_EQ(at(29, 0).bold, 0);
  EXPECT_EQ(at(5, 0).bold, 1);
  EXPECT_EQ(at(0, 0).bg, palette_colour(ROLE_TITLE_BG));
  EXPECT_NE(row(3).find("6P+2E cores, 8 threads"), std::string::npos);
  // The facts are cut to cols - 28 - 13 cells.
  compose(80, 24);
  EXPECT_EQ(glyphs(29, 0, 39), " Test CPU 9000 · 4C/8T hybrid · FULL   ");
  compose(60, 24);
  EXPECT_EQ(glyphs(29, 0, 20), " Test CPU 9000 · 4C ");
}

TEST_F(Screen, MachineBoxChips) {
  m.isa[5] = 1;  // sha_ni
  compose(120, 30);
  EXPECT_EQ(glyphs(2, 2, 13), "Test CPU 9000");
  EXPECT_NE(row(3).find("4 cores, 8 threads"), std::string::npos);
  EXPECT_NE(row(4).find("3600 MHz max"), std::string::npos);
  EXPECT_EQ(glyphs(2, 5, 32), " SSE4.2   AVX   AVX2   AVX-512  ");
  EXPECT_EQ(glyphs(2, 6, 18), " SHA-NI   AES-NI  ");
  for (int y = 1; y < 9; ++y) EXPECT_EQ(row(y).find("SSE2"), std::string::npos);
  EXPECT_EQ(at(3, 5).fg, palette_colour(ROLE_KEY_FG));
  EXPECT_EQ(at(3, 5).bg, palette_colour(ROLE_GOOD));
  EXPECT_EQ(at(3, 5).bold, 1);
  EXPECT_EQ(at(25, 5).fg, palette_colour(ROLE_FAINT));  // AVX-512 absent
  EXPECT_EQ(at(25, 5).bg, palette_colour(ROLE_BAR_BG));
  EXPECT_EQ(at(10, 5).bg, -1);                          // the gap between chips

  // A long model takes two lines and pushes the chips down; the last chips no longer fit.
  std::snprintf(m.cpu_model, sizeof m.cpu_model, "Very Long Processor Name With Many Words And More");
  m.max_mhz = 0;
  compose(100, 30);
  EXPECT_EQ(glyphs(2, 2, 30), "Very Long Processor Name With ");
  EXPECT_EQ(glyphs(2, 3, 4), "Many");
  EXPECT_NE(row(5).find("not reported"), std::string::npos);
  EXPECT_EQ(glyphs(2, 6, 20), " SSE4.2   AVX   AVX2");
  EXPECT_EQ(glyphs(2, 7, 18), " AVX-512   SHA-NI ");
  EXPECT_EQ(row(8).find("AES-NI"), std::string::npos);

  m = DashModel{};
  m.arm_family = true;
  m.isa[7] = 1;
  compose(120, 30);
  EXPECT_EQ(glyphs(2, 2, 1), "-");
  EXPECT_EQ(glyphs(2, 5, 33), " NEON   CRC32   SHA2   AES   SVE ");
  EXPECT_EQ(at(3, 5).bg, palette_colour(ROLE_GOOD));
  EXPECT_EQ(at(10, 5).bg, palette_colour(ROLE_BAR_BG));
}

TEST_F(Screen, BeforeTheStartEvent) {
  m = DashModel{};
  compose(120, 30);
  EXPECT_NE(row(0).find("PROBE 3 s"), std::string::npos);
  EXPECT_EQ(glyphs(45, 3, 46), "Detecting the CPU and its instruction sets... ");
  EXPECT_EQ(glyphs(3, 28, 8), "Starting");
  EXPECT_EQ(glyphs(1, 29, 40), " q  stop (the result is still reported) ");
  EXPECT_EQ(glyphs(42, 29, 16), " t  256 colours ");
  g_dash_theme = 1;
  compose(120, 30);
  EXPECT_EQ(glyphs(42, 29, 15), " t  16 colours ");
  EXPECT_EQ(at(1, 29).fg, 16);
  EXPECT_EQ(at(1, 29).bg, 245);
}

TEST_F(Screen, MeasuringHighlightsTheCurrentRow) {
  std::snprintf(m.mode, sizeof m.mode, "probe");
  add_row(m, "int_scalar", "base", 400, 0, 0);
  add_row(m, "sha256", "sha_ni", 900, 0, 0);
  add_row(m, "sha256", "soft", 300, 0, 0);
  std::snprintf(m.progress_name, sizeof m.progress_name, "sha256");
  std::snprintf(m.progress_isa, sizeof m.progress_isa, "sha_ni");
  std::snprintf(m.progress_phase, sizeof m.progress_phase, "single");
  m.progress_pct = 50;
  compose(120, 30, 110.0, 1);
  const int shade = palette_colour(ROLE_SHADE);
  EXPECT_EQ(glyphs(43, 4, 1), "▶");
  EXPECT_EQ(at(43, 4).fg, palette_colour(ROLE_ACCENT));
  for (int x = 42; x <= 118; ++x) ASSERT_EQ(at(x, 4).bg, shade) << x;
  EXPECT_EQ(at(42, 3).bg, -1);
  EXPECT_EQ(at(42, 5).bg, -1);
  EXPECT_EQ(glyphs(43, 5, 1), " ");

  EXPECT_EQ(glyphs(3, 28, 35), "measuring · sha256 sha_ni · single ");  // no judgement before the verdict
  const int p = 35;
  EXPECT_EQ(glyphs(p + 3, 28, 11), "██████████ ");
  EXPECT_EQ(at(p + 3, 28).fg, palette_colour(ROLE_ACCENT));
  EXPECT_EQ(glyphs(p + 24, 28, 4), " 50%");
  EXPECT_EQ(row(28).find(" left"), std::string::npos);  // no time limit known: nothing claimed
  // The most time left is the run's own limit; a full run also names its round.
  m.start_time = 109.0;
  m.time_limit = 3.0;
  compose(120, 30, 110.0, 1);
  EXPECT_EQ(glyphs(102, 28, 17), "at most 2.0s left");
  std::snprintf(m.mode, sizeof m.mode, "full");
  // A full run's time left is its rounds' 5 minutes, not the watchdog's deadline (time_limit)...
  m.round_count = 1;
  m.time_limit = 366.8;
  compose(120, 30, 110.0, 1);
  EXPECT_EQ(glyphs(91, 28, 28), "round 2 · at most 4m59s left");
  // ...or less, when 32 rounds at the pace seen so far end sooner: one round of 2 s, 31 to go.
  m.last_round_time = 111.0;
  compose(120, 30, 112.0, 1);
  EXPECT_EQ(row(28).substr(row(28).find("round 2"), 30), "round 2 · at most 1m01s left ");
  m.last_round_time = 0;
  compose(120, 30, 110.0, 0);
  EXPECT_EQ(at(p + 3, 28).fg, palette_colour(ROLE_ST_VALUE));
  // Too narrow for the bar and the time: the time stays, after the percentage.
  compose(80, 30, 110.0, 0);
  EXPECT_EQ(glyphs(p + 3, 28, 34), " 50%  round 2 · at most 4m59s left");

  // The spinner advances every tenth of a second.
  compose(120, 30, 110.0);
  const std::string a = glyphs(1, 28, 1);
  compose(120, 30, 110.1);
  EXPECT_NE(glyphs(1, 28, 1), a);
  EXPECT_EQ(at(1, 28).fg, palette_colour(ROLE_ACCENT));

  m.child_done = true;  // no row is current after the end
  compose(120, 30);
  EXPECT_EQ(at(50, 4).bg, -1);
}

TEST_F(Screen, StopRequestedAndEndedWithoutAResult) {
  m.stop_sent = true;
  std::snprintf(m.progress_name, sizeof m.progress_name, "lz4");
  compose(120, 30);
  EXPECT_EQ(glyphs(3, 28, 57), "Stopping at the next chunk; the result is still reported.");
  EXPECT_EQ(at(3, 28).fg, palette_colour(ROLE_WARN));
  EXPECT_EQ(glyphs(1, 29, 15), " q  leave now  ");

  m.child_done = true;
  m.child_exit = 128;
  compose(120, 30);
  EXPECT_EQ(glyphs(1, 28, 42), "The run ended without a result (exit 128) ");
  EXPECT_EQ(at(1, 28).fg, palette_colour(ROLE_BAD));
  std::snprintf(m.messages[0], sizeof m.messages[0], "old");
  std::snprintf(m.messages[1], sizeof m.messages[1], "tallyfox: \x1b[31mboom");
  m.message_count = 2;
  compose(120, 30);
  EXPECT_EQ(glyphs(1, 28, 63), "The run ended without a result (exit 128): tallyfox: ?[31mboom ");
  EXPECT_EQ(glyphs(1, 29, 10), " q  quit  ");
}

TEST_F(Screen, TableStopsAtTheBoxBottom) {
  for (int i = 0; i < 30; ++i) add_row(m, ("t" + std::to_string(i)).c_str(), "base", 1, 0, 0);
  compose(100, 24);
  EXPECT_EQ(glyphs(39, 20, 3), "t17");  // the last table row is rows - 4
  EXPECT_EQ(glyphs(35, 21, 1), "╰");
  EXPECT_EQ(row(21).find("t18"), std::string::npos);
  compose(100, 6);  // a box of height 3 shows no rows
  EXPECT_EQ(row(3).find("t0"), std::string::npos);
}

TEST_F(Screen, OutsideTextCannotReachTheTerminal) {
  std::snprintf(m.cpu_model, sizeof m.cpu_model, "evil\x1b]0;title\x07\x1b[2J");
  std::snprintf(m.verdict_why, sizeof m.verdict_why, "why\r\n\x7f");
  std::snprintf(m.verdict, sizeof m.verdict, "clean");
  m.result_received = true;
  add_row(m, "n\x1b[1m", "i\x9b", 1, 0, 0);
  compose(160, 40);
  const std::string_view out = grid_compose();
  // Every escape in the frame is one of the renderer's own: a cursor position or an SGR.
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c == 0x1b) {
      ASSERT_LT(i + 1, out.size());
      ASSERT_EQ(out[i + 1], '[');
      std::size_t j = i + 2;
      while (j < out.size() && ((out[j] >= '0' && out[j] <= '9') || out[j] == ';')) ++j;
      ASSERT_LT(j, out.size());
      EXPECT_TRUE(out[j] == 'm' || out[j] == 'H') << "at " << i;
      i = j;
    } else {
      EXPECT_TRUE(c >= 0x20 && c != 0x7f) << "byte " << int(c) << " at " << i;
    }
  }
}

}  // namespace
