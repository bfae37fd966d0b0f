#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "dashboard/inprocess.h"
#include "dashboard/outbuf.h"
#include "dashboard/frame_text.h"
#include "dashboard/peers.h"
#include "engine/interference.h"
#include "engine/phase.h"
#include "engine/round_state.h"
#include "run/config.h"
#include "run/control.h"
#include "temp_tree.h"
#include "verdict/verdict.h"

namespace {

// A frame split at its cursor positionings: the bytes placed at column 1 of each row, and the
// rows whose last column holds the box edge.
struct Frame {
  std::string bytes;
  std::map<int, std::string> raw;  // row → escape sequences included
  std::map<int, bool> border;

  std::string text(int row) const {
    auto it = raw.find(row);
    return it == raw.end() ? std::string() : plain(it->second);
  }
  // First row whose shown text contains part, or 0.
  int row_of(std::string_view part) const {
    for (const auto& [row, seg] : raw)
      if (plain(seg).find(part) != std::string::npos) return row;
    return 0;
  }
};

Frame build_frame() {
  build_inprocess_frame();
  Frame f;
  f.bytes = std::string(out_view());
  const std::string& b = f.bytes;
  std::size_t at = 0;
  int row = 0, col = 0;
  std::size_t start = std::string::npos;
  auto close_segment = [&](std::size_t end) {
    if (start == std::string::npos) return;
    const std::string seg = b.substr(start, end - start);
    if (col == 1) f.raw[row] += seg;
    else if (col == g_dash.columns && plain(seg) == "│") f.border[row] = true;
  };
  while ((at = b.find("\x1b[", at)) != std::string::npos) {
    int r = 0, c = 0, used = 0;
    if (std::sscanf(b.c_str() + at, "\x1b[%d;%dH%n", &r, &c, &used) == 2 && used > 0) {
      close_segment(at);
      row = r;
      col = c;
      at += static_cast<std::size_t>(used);
      start = at;
    } else {
      at += 2;
    }
  }
  close_segment(b.size());
  return f;
}

const SubtestSpec kIntScalar = {"int_scalar", "base", "Mops", nullptr, 1.0, 1, 1};
const SubtestSpec kSha = {"sha256", "soft", "MB/s", nullptr, 1.0, 1, 1};

class InProcess : public testing::Test {
 protected:
  void SetUp() override {
    saved_machine_ = g_machine;
    g_machine = MachineInfo{};
    std::snprintf(g_machine.cpu_model, sizeof g_machine.cpu_model, "Test CPU 9000");
    set_cpus(8);
    reset_config();
    g_config.mode = MODE_FULL;
    reset_run_control();
    reset_round_state();
    reset_verdict();
    g_peer_count = 0;
    phase_workers.store(0);
    for (WorkerSlot& s : worker_slots) s.running.store(0);
    core_map_reset();
    g_dash.columns = DASH_START_COLUMNS;
    g_dash.rows = DASH_START_ROWS;
    dash_set_screen_size(1, 80, 40);
  }
  void TearDown() override {
    g_machine = saved_machine_;
    g_result_count = 0;
    g_peer_count = 0;
    phase_workers.store(0);
    for (WorkerSlot& s : worker_slots) s.running.store(0);
    core_map_reset();
    reset_run_control();
  }

  static void set_cpus(int n) {
    g_machine.ncpu = n;
    g_machine.ncores = n;
    for (int i = 0; i < n; ++i) {
      g_machine.cpu_ids[i] = i;
      g_machine.max_khz[i] = 3000000;
    }
  }
  static void run_workers(std::initializer_list<int> cpus) {
    phase_workers.store(static_cast<int>(cpus.size()));
    int i = 0;
    for (int cpu : cpus) {
      worker_slots[i].cpu.store(cpu);
      worker_slots[i++].running.store(1);
    }
  }
  static void add_result(const SubtestSpec* spec, double st, double mt, double scaling, double under_load) {
    SubtestResult& r = g_results[g_result_count++];
    r = SubtestResult{};
    r.spec = spec;
    r.st.rate = st;
    r.mt.rate = mt;
    r.mt_ran = mt > 0;
    r.scaling = scaling;
    r.st_under_load = under_load;
  }
  // The core-map cells of a map row, as drawn: (colour prefix, two glyphs) per cell.
  static std::vector<std::string> cells_of(const Frame& f, int row) {
    std::vector<std::string> cells;
    std::string s = f.raw.at(row);
    const std::string lead = "\x1b[K\x1b[37m│\x1b[0m ";
    s = s.substr(lead.size());
    for (std::size_t at; (at = s.find("\x1b[0m ")) != std::string::npos; s = s.substr(at + 5)) cells.push_back(s.substr(0, at));
    return cells;
  }

  TempTree tree_;  // frequency and temperature come from here, never from the machine

 private:
  MachineInfo saved_machine_;
};

TEST_F(InProcess, ScreenSizeIsClamped) {
  struct Case {
    int ok, cols, rows, want_cols, want_rows;
  };
  const Case cases[] = {
      {1, 40, 24, 60, 24}, {1, 250, 50, 200, 50}, {1, 80, 10, 80, 14},
      {1, 100, 0, 100, 24},   // no row count: 24
      {0, 120, 30, 100, 24},  // failed query: the previous size stays
      {1, 0, 30, 100, 24},    // no column count: likewise
  };
  for (const Case& c : cases) {
    dash_set_screen_size(c.ok, c.cols, c.rows);
    EXPECT_EQ(g_dash.columns, c.want_cols) << c.cols << "x" << c.rows;
    EXPECT_EQ(g_dash.rows, c.want_rows) << c.cols << "x" << c.rows;
  }
  dash_set_screen_size(1, 40, 24);
  const Frame f = build_frame();
  EXPECT_TRUE(f.border.count(4));
  EXPECT_EQ(utf8_cells(f.text(f.row_of("SUBTESTS"))), 60);
}

TEST_F(InProcess, CoreMapLinesAndRows) {
  set_cpus(64);
  Frame f = build_frame();
  EXPECT_EQ(cells_of(f, 4).size(), 25u);
  EXPECT_EQ(cells_of(f, 5).size(), 25u);
  EXPECT_EQ(cells_of(f, 6).size(), 14u);
  EXPECT_TRUE(f.border[4] && f.border[5] && f.border[6]);
  EXPECT_EQ(f.row_of("SCORE"), 7);
  EXPECT_NE(f.text(3).find("CORE MAP — 64 cells · logical CPU ─"), std::string::npos);

  dash_set_screen_size(1, 80, 14);  // the map stops before row 14 − 8
  f = build_frame();
  EXPECT_EQ(cells_of(f, 5).size(), 25u);
  EXPECT_EQ(f.row_of("SCORE"), 6);
}

TEST_F(InProcess, CellsFollowWorkersMarksAndCoreKind) {
  g_machine.hybrid = 1;
  g_machine.p_cores = 4;
  g_machine.e_cores = 4;
  for (int i = 4; i < 8; ++i) g_machine.is_e[i] = 1;
  core_map_exclude(7);
  core_marks[1] = MARK_THROTTLED;
  core_marks[5] = MARK_CONTENDED;
  run_workers({0, 1, 4, 5});
  const TextTheme& t = TEXT_THEME_16;
  auto cell = [&](int state, const char* glyph) { return std::string(t.prefix[state]) + glyph + glyph; };

  Frame f = build_frame();
  EXPECT_NE(f.text(1).find("8C/8T [4P+4E cores] — full"), std::string::npos);
  EXPECT_NE(f.text(3).find("· P bright / E dim"), std::string::npos);
  std::vector<std::string> cells = cells_of(f, 4);
  ASSERT_EQ(cells.size(), 8u);
  EXPECT_EQ(cells[0], cell(CELL_RUNNING, "█"));
  EXPECT_EQ(cells[1], cell(CELL_THROTTLED, "!"));
  EXPECT_EQ(cells[2], cell(CELL_IDLE, "░"));
  EXPECT_EQ(cells[4], cell(CELL_RUNNING, "▒"));
  EXPECT_EQ(cells[5], cell(CELL_CONTENDED, "~"));
  EXPECT_EQ(cells[6], cell(CELL_IDLE, "▒"));
  EXPECT_EQ(cells[7], cell(CELL_OUTSIDE, "·"));

  // The phase ends: running cells take the done shade of the change counter.
  phase_workers.store(0);
  g_dash.changes = 3;
  cells = cells_of(build_frame(), 4);
  EXPECT_EQ(cells[0], cell(CELL_DONE + 3, "▒"));
  EXPECT_EQ(cells[4], cell(CELL_DONE + 3, "▒"));

  // A single-thread phase draws its one worker as S; the other shades stay.
  run_workers({2});
  g_dash.changes = 4;
  cells = cells_of(build_frame(), 4);
  EXPECT_EQ(cells[2], cell(CELL_SINGLE, "S"));
  EXPECT_EQ(cells[0], cell(CELL_DONE + 3, "▒"));
}

TEST_F(InProcess, ScoreBarsShareOneScale) {
  g_rounds.index_st = 400;
  g_rounds.index_mt = 900;
  g_rounds.index_n = 8;
  g_peers[0] = {1500, "peer-one"};
  g_peers[1] = {700, "peer-two-with-a-long-name"};
  g_peer_count = 2;
  const Frame f = build_frame();  // bars 80 − 34 = 46 cells wide
  const int head = f.row_of("TFX INDEX");
  ASSERT_GT(head, 0);
  EXPECT_NE(f.text(head).find("     900  TFX INDEX (8 subtests, ref v2)    ST 400     MT 900    "), std::string::npos);
  struct Bar {
    const char* label;
    int filled;
    const char* value;
  };
  const Bar bars[] = {{"this run   ", 28, "     900"},
                      {"peer-one   ", 46, "    1500"},
                      {"peer-two-wi", 21, "     700"},
                      {"reference  ", 31, "    1000"}};
  for (int i = 0; i < 4; ++i) {
    const std::string row = f.text(head + 1 + i);
    EXPECT_EQ(row.rfind(std::string("│ ") + bars[i].label + " ", 0), 0u) << row;
    EXPECT_EQ(count(row, "█"), bars[i].filled) << bars[i].label;
    EXPECT_EQ(count(row, "█") + count(row, "░"), 46) << bars[i].label;
    EXPECT_EQ(row.substr(row.size() - 8), bars[i].value);
    EXPECT_TRUE(f.border.count(head + 1 + i));
  }
  EXPECT_EQ(f.row_of("no peer results"), 0);
  EXPECT_EQ(f.row_of("SUBTESTS"), head + 5);
}

// Beside the index stands its precision: no number before four rounds, the newest spread while
// the rounds run, and once judged the range of the rounds the index is the median of.
TEST_F(InProcess, PrecisionBesideTheIndex) {
  g_rounds.index_st = 812;
  EXPECT_GT(build_frame().row_of("MT —       spread not known yet"), 0);
  g_rounds.spread_known = 1;
  g_rounds.spread = 0.0234;
  EXPECT_GT(build_frame().row_of("MT —       spread 2.3%"), 0);
  g_dash.judged = 1;
  g_rounds.range_known = 1;
  g_rounds.range = 0.0417;
  EXPECT_GT(build_frame().row_of("MT —       range 4.2%"), 0);
}

TEST_F(InProcess, HeadlineAndProbeNote) {
  g_rounds.index_st = 812;
  Frame f = build_frame();
  EXPECT_GT(f.row_of("     812  TFX INDEX"), 0);
  EXPECT_EQ(f.text(f.row_of("this run")).substr(f.text(f.row_of("this run")).size() - 8), "     812");
  const int none = f.row_of("no peer results on this unit (other units' indexes, from tallyfox-peers.tsv)");
  EXPECT_EQ(none, f.row_of("reference") + 1);

  // Without an index: a full run says when it comes, or that it never came; a probe has none.
  g_rounds.index_st = 0;
  f = build_frame();
  int note = f.row_of("│  the index comes after round 1 — rounds repeat until it settles");
  EXPECT_EQ(note, f.row_of("SCORE") + 1);
  EXPECT_EQ(f.row_of("SUBTESTS"), note + 1);
  EXPECT_EQ(f.row_of("this run") + f.row_of("reference") + f.row_of("TFX INDEX") + f.row_of("probe"), 0);
  dashboard_clear_current();
  EXPECT_EQ(build_frame().row_of("│  no index — the run ended before round 1 did"), note);
  g_rounds.rounds = 3;  // rounds without an index: only subtests without a reference value ran
  EXPECT_EQ(build_frame().row_of("│  no index — no selected subtest has a reference value"), note);
  g_config.mode = MODE_PROBE;
  f = build_frame();
  note = f.row_of("no index in probe mode");
  EXPECT_EQ(note, f.row_of("SCORE") + 1);
  // Whole on a 100-column screen, and no figure this run did not measure.
  EXPECT_NE(f.text(note).find("no index in probe mode — too short for a comparable number; --full measures one"),
            std::string::npos);
}

TEST_F(InProcess, SubtestRowsAndStatusLines) {
  add_result(&kIntScalar, 2.5e6, 20e6, 0.9, 0.55);
  add_result(&kSha, 223.6e6, 0, 0, 0);
  g_verdict.verdict = VERDICT_UNTRUSTED;
  std::snprintf(g_verdict.verdict_why, sizeof g_verdict.verdict_why, "runqueue wait 31.00%%");
  g_dash.current = &kSha;
  std::snprintf(g_dash.phase_label, sizeof g_dash.phase_label, "single");
  g_dash.percent = 50;
  // Two rounds of 30 s: at that pace 32 rounds would outlast the rounds' 5 minutes, which bound
  // the time left (the watchdog's later deadline is no time anybody waits).
  g_rounds.rounds = 2;
  g_rounds.roundtime_history[0] = g_rounds.roundtime_history[1] = 30.0;
  g_run.launch_time = now_seconds() - 75;
  g_run.rounds_epoch = g_run.launch_time;
  g_run.deadline = now_seconds() + 400;
  Frame f = build_frame();
  int head = f.row_of("subtest     isa");
  // Before the verdict exists the line says what is happening, in no colour of judgement.
  const std::string measuring = f.text(head + 6);
  EXPECT_EQ(measuring.rfind(" measuring · round 3 · 1m15s elapsed · at most 3m4", 0), 0u) << measuring;
  EXPECT_EQ(measuring.substr(measuring.size() - 5), " left");
  EXPECT_EQ(f.raw.at(head + 6).find("\x1b[9"), std::string::npos);
  EXPECT_EQ(f.bytes.find("verdict"), std::string::npos);
  // Stalls far beyond any threshold while measuring: shown, but in no colour of judgement.
  g_results[0].st.stall_seconds = 0.5;
  g_results[0].st.worker_seconds = 1.0;
  f = build_frame();
  const int stalls = f.row_of("hidden stalls 50.0%");
  ASSERT_GT(stalls, 0);
  EXPECT_EQ(f.raw.at(stalls).find("\x1b[91m"), std::string::npos);
  EXPECT_EQ(f.raw.at(stalls).find("\x1b[93m"), std::string::npos);
  EXPECT_EQ(f.raw.at(stalls).find("\x1b[92m"), std::string::npos);
  g_results[0].st.stall_seconds = 0;
  g_results[0].st.worker_seconds = 0;
  f = build_frame();

  g_dash.judged = true;
  f = build_frame();
  head = f.row_of("subtest     isa");
  EXPECT_EQ(f.text(head), "│ subtest     isa           single  all-core  mult  scaling");
  EXPECT_EQ(f.text(head + 1).rfind("│ int_scalar  base             2.5      20.0  8.0x ", 0), 0u);
  EXPECT_EQ(f.raw.at(head + 1).find("\x1b[92m" + std::string("█")) != std::string::npos, true);
  EXPECT_EQ(f.text(head + 1).substr(f.text(head + 1).size() - 4), " 90%");
  EXPECT_EQ(f.text(head + 2), "│ sha256      soft           223.6       —   —       single-thread only");
  EXPECT_EQ(f.text(head + 3), "└" + repeat("─", 78) + "┘");
  EXPECT_EQ(f.text(head + 4).rfind(" ▸ sha256/soft single ██████████░", 0), 0u);
  EXPECT_EQ(f.text(head + 4).substr(f.text(head + 4).size() - 5), "  50%");
  EXPECT_EQ(f.text(head + 5), " 1 thread under full load: 55% of its solo rate (worst subtest)");
  EXPECT_NE(f.raw.at(head + 5).find("\x1b[93m55%"), std::string::npos);
  EXPECT_EQ(f.text(head + 6),
            " hidden stalls 0.0% of phase time (longest 0 ms), paused without run-queue wait or steal");
  EXPECT_EQ(f.text(head + 7), " verdict UNTRUSTED · runqueue wait 31.00%");
  // A reason longer than the line ends in a mark, never silently.
  std::snprintf(g_verdict.verdict_why, sizeof g_verdict.verdict_why, "%s",
                (std::string("runqueue wait 31.00% — a LOWER BOUND, not a measurement ") + std::string(80, 'x')).c_str());
  const std::string cut = build_frame().text(head + 7);
  ASSERT_GT(cut.size(), 30u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "…") << cut;
  EXPECT_EQ(std::string(g_verdict.verdict_why).rfind(cut.substr(22, cut.size() - 25), 0), 0u) << cut;
  std::snprintf(g_verdict.verdict_why, sizeof g_verdict.verdict_why, "runqueue wait 31.00%%");
  EXPECT_NE(f.raw.at(head + 7).find("\x1b[91mUNTRUSTED"), std::string::npos);
  EXPECT_EQ(f.text(head + 8), " [l]egend  [t]heme  [q]uit");
  EXPECT_EQ(f.bytes.rfind("\x1b[?2026h\x1b[?25l\x1b[H\x1b[1;1H", 0), 0u);
  EXPECT_EQ(f.bytes.substr(f.bytes.size() - 11), "\x1b[J\x1b[?2026l");
}

TEST_F(InProcess, SubtestRowsStopAboveTheStatusLines) {
  for (int i = 0; i < 9; ++i) add_result(&kIntScalar, 1e6, 2e6, 1.0, 0);
  set_cpus(64);
  dash_set_screen_size(1, 80, 14);
  const Frame f = build_frame();
  EXPECT_EQ(count(f.bytes, "int_scalar"), 1);  // only row 10 is below 14 − 3
  EXPECT_EQ(f.row_of("int_scalar"), 10);
}

TEST_F(InProcess, OutsideTextCannotReachTheTerminal) {
  std::snprintf(g_machine.cpu_model, sizeof g_machine.cpu_model, "Evil\x1b]0;owned\x07 CPU");
  std::snprintf(g_machine.isolcpus, sizeof g_machine.isolcpus, "2-3\x1b[2J");
  g_rounds.index_mt = 900;
  g_peers[0] = {1200, "peer\x1b[31m\x9b"};
  g_peer_count = 1;
  const Frame f = build_frame();
  EXPECT_EQ(f.bytes.find("\x1b]"), std::string::npos);
  EXPECT_EQ(f.bytes.find("\x07"), std::string::npos);
  EXPECT_EQ(f.bytes.find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(f.bytes.find("\x1b[31m"), std::string::npos);
  EXPECT_NE(f.text(1).find("Evil?]0;owned? CPU"), std::string::npos);
  EXPECT_NE(f.text(2).find("isolcpus 2-3?[2J"), std::string::npos);
  EXPECT_GT(f.row_of("peer?[31m?"), 0);
}

TEST_F(InProcess, HeaderAndClockLine) {
  tree_.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "2399999\n");
  tree_.write("/sys/class/thermal/thermal_zone0/temp", "61500\n");
  g_config.mode = MODE_PROBE;
  g_config.quiesce = QUIESCE_RT;
  g_run.deadline = now_seconds() + 2.0;
  const Frame f = build_frame();
  EXPECT_EQ(f.text(1), " tallyfox v0.1.1 — Test CPU 9000 — 8C/8T — probe — quiesce:rt ");
  EXPECT_EQ(f.raw.at(1).rfind("\x1b[K\x1b[44m\x1b[97m", 0), 0u);
  EXPECT_EQ(f.text(2), " freq 2399 MHz/3000 base   temp 61.5°C");
  EXPECT_EQ(f.text(f.row_of("measuring")).rfind(" measuring · 0.0s elapsed · at most 2.0s left", 0), 0u);

  // What cannot be read is said so, not drawn as a zero; without a deadline no time left is given.
  g_run.deadline = -1;
  std::filesystem::remove(tree_.root() + "/sys/class/thermal/thermal_zone0/temp");
  tree_.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "");
  const Frame bare = build_frame();
  EXPECT_EQ(bare.text(2), " clock not readable   no temperature sensor");
  EXPECT_EQ(bare.bytes.find("left"), std::string::npos);
}

TEST_F(InProcess, NoteOnMissingAllCoreFigures) {
  add_result(&kIntScalar, 2.5e6, 0, 0, 0);
  all_core_note = missing_all_core_note(true, 2, 1);
  const Frame f = build_frame();
  // Word-wrapped inside the box, between the rows and the box's bottom edge.
  const int first = f.row_of("│ no all-core phase: it needs two bench CPUs,");
  ASSERT_EQ(first, f.row_of("int_scalar") + 1);
  std::string joined;
  for (int row = first; row < f.row_of("└"); ++row) {
    EXPECT_TRUE(f.border.count(row) && f.border.at(row)) << row;
    joined += (joined.empty() ? "" : " ") + f.text(row).substr(std::string("│ ").size());
  }
  EXPECT_EQ(joined, all_core_note);
}

TEST_F(InProcess, KeysLegendThemeAndStop) {
  EXPECT_EQ(build_frame().row_of("running"), 0);
  dash_handle_key('l');
  Frame f = build_frame();
  EXPECT_EQ(f.row_of("██ running  ██ done  S single-thread  ! throttled  ~ contended"), 5);
  EXPECT_EQ(f.row_of("SCORE"), 6);

  dash_handle_key('t');
  EXPECT_EQ(g_text_theme, &TEXT_THEME_256);
  EXPECT_NE(build_frame().raw.at(4).find("\x1b[38;5;238m░░"), std::string::npos);
  dash_handle_key('T');
  EXPECT_EQ(g_text_theme, &TEXT_THEME_16);

  dash_handle_key('x');
  EXPECT_EQ(g_run.stop_requested.load(), 0);
  dash_handle_key('Q');
  EXPECT_EQ(g_run.stop_requested.load(), 1);
}

TEST_F(InProcess, ProgressHookCountsSubtestChanges) {
  testing::internal::CaptureStdout();
  g_run.dash_terminal.store(1);  // the screen is held: every report draws a frame
  dashboard_progress_hook(&kIntScalar, "single", 10);
  dashboard_progress_hook(&kIntScalar, "all-core", 20);
  g_run.dash_terminal.store(0);  // given back at a stop: counted, never drawn
  dashboard_progress_hook(&kSha, "single", 30);
  g_run.dash_terminal.store(1);
  dashboard_progress_hook(&kIntScalar, "single", 40);
  g_run.dash_terminal.store(0);
  const std::string written = testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_dash.changes, 3);
  EXPECT_EQ(count(written, "\x1b[?2026h"), 3);
  EXPECT_NE(written.find("▸ int_scalar/base single"), std::string::npos);
  dashboard_clear_current();
  EXPECT_EQ(build_frame().row_of("▸"), 0);
}

// A pseudo-terminal on standard input stands in for the user's keyboard.
TEST_F(InProcess, RawKeysOnATerminalAndRestoreOnLeave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  const int saved_stdin = dup(STDIN_FILENO);
  dup2(slave, STDIN_FILENO);

  testing::internal::CaptureStdout();
  dash_terminal_enter();
  termios raw{};
  tcgetattr(slave, &raw);
  ASSERT_EQ(write(master, "lq", 2), 2);
  usleep(20000);
  dashboard_progress_hook(&kIntScalar, "single", 5);
  dash_terminal_leave();
  const std::string written = testing::internal::GetCapturedStdout();
  termios after{};
  tcgetattr(slave, &after);

  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  close(slave);
  close(master);

  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(raw.c_cc[VMIN], 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(g_dash.keys.load(), 0);
  EXPECT_TRUE(g_dash.legend);
  EXPECT_EQ(g_run.stop_requested.load(), 1);
  EXPECT_EQ(g_run.dash_terminal.load(), 1);
  EXPECT_EQ(written.substr(0, 10), "\x1b[?25l\x1b[2J");
  EXPECT_EQ(written.substr(written.size() - 11), "\x1b[?25h\x1b[0m\n");
}

TEST_F(InProcess, NoKeysWithoutATerminal) {
  const int saved_stdin = dup(STDIN_FILENO);
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, STDIN_FILENO);
  testing::internal::CaptureStdout();
  dash_terminal_enter();
  const int keys = g_dash.keys.load();
  dash_terminal_leave();
  const std::string written = testing::internal::GetCapturedStdout();
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  close(null);
  EXPECT_EQ(keys, 0);
  EXPECT_EQ(written, std::string("\x1b[?25l\x1b[2J") + "\x1b[?25h\x1b[0m\n");
}

}  // namespace
