#include "dashboard/screen.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "dashboard/grid.h"
#include "dashboard/outbuf.h"
#include "engine/round_state.h"
#include "machine/isa.h"
#include "run/control.h"
#include "verdict/verdict.h"

namespace {

// Geometry of the left boxes and the Subtests box by terminal width.
struct Layout {
  int min_columns;
  int left_width;    // 0: no left boxes
  int inner_width;
  int second_column;
  int value_width;
  int subtests_column;
};
constexpr Layout kLayouts[] = {
    {110, 40, 36, 21, 18, 41},
    {90, 34, 30, 18, 15, 35},
    {0, 0, 0, 0, 0, 0},
};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == 3);

// Colours of the verdicts, in the order of kVerdictNames.
constexpr PaletteRole kVerdictRoles[] = {ROLE_GOOD, ROLE_WARN, ROLE_WARN, ROLE_BAD, ROLE_TEXT};
static_assert(sizeof kVerdictRoles / sizeof kVerdictRoles[0] == sizeof kVerdictNames / sizeof kVerdictNames[0]);

constexpr const char* kSpark[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
static_assert(sizeof kSpark / sizeof kSpark[0] == 8);
constexpr const char* kSpinner[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧"};
static_assert(sizeof kSpinner / sizeof kSpinner[0] == 8);

constexpr IsaFlag kX86Chips[] = {ISA_SSE42, ISA_AVX, ISA_AVX2, ISA_AVX512F, ISA_SHA_NI, ISA_AES_NI};
constexpr IsaFlag kArmChips[] = {ISA_NEON, ISA_ARM_CRC, ISA_ARM_SHA2, ISA_ARM_AES, ISA_SVE};

constexpr const char* TITLE = " ◆ TALLYFOX · CPU BENCHMARK ";
constexpr const char* TRUST_INTRO =
    "Every number ships with how much the run was interfered with: run-queue wait, clock sag, heat, steal.";
constexpr int STATUS_BAR_CELLS = 20;

int colour(PaletteRole role) { return palette_colour(role); }

const Layout& layout_for(int columns) {
  for (const Layout& l : kLayouts)
    if (columns >= l.min_columns) return l;
  return kLayouts[2];
}

bool is_probe(const DashModel& m) { return m.mode[0] == '\0' || std::strcmp(m.mode, "probe") == 0; }

struct VerdictLook {
  const char* name;
  int fg;
};

VerdictLook verdict_look(const DashModel& m) {
  for (std::size_t i = 0; i < sizeof kVerdictNames / sizeof kVerdictNames[0]; ++i)
    if (std::strcmp(m.verdict, kVerdictNames[i].stored) == 0) return {kVerdictNames[i].display, colour(kVerdictRoles[i])};
  return {m.verdict, colour(ROLE_TEXT)};
}

// Integer part of a non-negative count, clamped so that huge or negative values cannot overflow.
long whole(double s) {
  if (!(s > 0.0)) return 0;
  if (s > 3.6e8) return 360000000L;
  return static_cast<long>(s);
}

void draw_title_bar(const DashModel& m, const int cols, double now) {
  const int fg = colour(ROLE_TITLE), bg = colour(ROLE_TITLE_BG);
  for (int x = 0; x < cols; ++x) grid_put_cell(x, 0, " ", fg, bg, false);
  const int n = grid_put_text(1, 0, cols, TITLE, fg, bg, true);
  char facts[200];
  std::snprintf(facts, sizeof facts, " %s · %dC/%dT%s · %s ", m.cpu_model, m.ncores, m.ncpu,
                m.hybrid ? " hybrid" : "", is_probe(m) ? "PROBE 3 s" : "FULL");
  grid_put_text(n + 1, 0, cols - n - 13, facts, fg, bg, false);
  const long t = whole((m.end_time > 0 ? m.end_time : now) - m.start_time);
  char clock[32];
  const int len = std::snprintf(clock, sizeof clock, "%02ld:%02ld:%02ld ", t / 3600, t / 60 % 60, t % 60);
  grid_put_text(cols - 1 - len, 0, 12, clock, fg, bg, true);
}

void draw_machine_box(const DashModel& m, const Layout& l) {
  grid_draw_box(0, 1, l.left_width, 8, "Machine");
  const int k = grid_wrap_text(2, l.inner_width, 2, m.cpu_model[0] ? m.cpu_model : "-", colour(ROLE_TEXT));
  char value[96];
  if (m.hybrid)
    std::snprintf(value, sizeof value, "%dP+%dE cores, %d threads", m.p_cores, m.e_cores, m.ncpu);
  else
    std::snprintf(value, sizeof value, "%d cores, %d threads", m.ncores, m.ncpu);
  grid_label_value(k + 2, l.inner_width, "Cores", value, colour(ROLE_TEXT));
  if (m.max_mhz >= 1) {
    std::snprintf(value, sizeof value, "%d MHz max", m.max_mhz);
    grid_label_value(k + 3, l.inner_width, "Clock", value, colour(ROLE_TEXT));
  } else {
    grid_label_value(k + 3, l.inner_width, "Clock", "not reported", colour(ROLE_LABEL));
  }

  const IsaFlag* chips = m.arm_family ? kArmChips : kX86Chips;
  const int count = m.arm_family ? static_cast<int>(std::size(kArmChips)) : static_cast<int>(std::size(kX86Chips));
  int row = k + 4;
  int x = 2;
  for (int i = 0; i < count && row <= 7; ++i) {
    const char* name = kIsaFlags[chips[i]].display;
    const int w = utf8_cells(name) + 2;
    if (x + w >= l.left_width - 1) {
      ++row;
      x = 2;
      if (row > 7) break;
    }
    const bool present = m.isa[chips[i]] != 0;
    grid_put_textf(x, row, w, present ? colour(ROLE_KEY_FG) : colour(ROLE_FAINT),
                   present ? colour(ROLE_GOOD) : colour(ROLE_BAR_BG), present, " %s ", name);
    x += w + 1;
  }
}

void draw_round_history(const DashModel& m, const Layout& l) {
  const int n = m.round_count < l.inner_width ? m.round_count : l.inner_width;
  const int first = m.round_count - n;
  auto value = [&](int i) { return m.rounds[i].index_mt > 0 ? m.rounds[i].index_mt : m.rounds[i].index_st; };
  double lo = value(first), hi = lo;
  for (int i = first; i < m.round_count; ++i) {
    lo = std::fmin(lo, value(i));
    hi = std::fmax(hi, value(i));
  }
  for (int i = first; i < m.round_count; ++i) {
    int g = 4;
    if (hi > lo) {
      const double pos = 0.5 + 7 * (value(i) - lo) / (hi - lo);
      g = pos >= 0.0 && pos < 8.0 ? static_cast<int>(pos) : 0;
    }
    const bool newest = i == m.round_count - 1;
    grid_put_cell(2 + i - first, 13, kSpark[g], colour(newest ? ROLE_ACCENT : ROLE_SPARK), -1, false);
  }
}

void draw_index_box(const DashModel& m, const Layout& l) {
  grid_draw_box(0, 9, l.left_width, 9, "TFX index");
  grid_put_text(2, 10, 14, "single-thread", colour(ROLE_LABEL), -1, false);
  grid_put_text(l.second_column, 10, 14, "all cores", colour(ROLE_LABEL), -1, false);
  double st = 0, mt = 0;
  const DashRound* newest = m.round_count > 0 ? &m.rounds[m.round_count - 1] : nullptr;
  if (m.result_received) {
    st = m.index_st;
    mt = m.index_mt;
  } else if (newest) {
    st = newest->index_st;
    mt = newest->index_mt;
  }
  const struct {
    int x;
    double v;
    PaletteRole role;
  } shown[] = {{2, st, ROLE_ST_VALUE}, {l.second_column, mt, ROLE_MT_VALUE}};
  for (const auto& s : shown) {
    if (s.v > 0)
      grid_put_textf(s.x, 11, l.value_width, colour(s.role), -1, true, "%.0f", s.v);
    else
      grid_put_text(s.x, 11, l.value_width, "—", colour(ROLE_FAINT), -1, true);
  }

  if (newest == nullptr) {
    const char* why = is_probe(m)         ? "A probe has no index rounds."
                      : m.result_received ? "The run ended before round 1 did."
                                          : "The index comes after round 1.";
    grid_put_text(2, 13, l.inner_width, why, colour(ROLE_LABEL), -1, false);
    return;
  }
  draw_round_history(m, l);
  char value[96];
  std::snprintf(value, sizeof value, "%d", m.result_received ? m.result_rounds : m.round_count);
  grid_label_value(14, l.inner_width, "Rounds", value, colour(ROLE_TEXT));
  // After the result: the spread of the rounds the index is the median of. While the rounds run:
  // the newest spread. Neither exists before four rounds, and then it says so.
  if (m.result_received && m.range >= 0)
    std::snprintf(value, sizeof value, "range %.1f%%, rounds %d-%d", m.range * 100, m.range_first,
                  m.range_last);
  else if (!m.result_received && newest->spread >= 0)
    std::snprintf(value, sizeof value, "%.1f%% (target %.1f%%)", newest->spread * 100, m.round_target * 100);
  else
    std::snprintf(value, sizeof value, "not known, needs %d rounds", ROUND_WINDOW);
  grid_label_value(15, l.inner_width, m.result_received ? "Precision" : "Spread", value,
                   colour(m.round_converged ? ROLE_GOOD : ROLE_TEXT));
  if (m.round_converged)
    grid_label_value(16, l.inner_width, "Converged", "yes", colour(ROLE_GOOD));
  else
    grid_label_value(16, l.inner_width, "Converged", m.result_received ? "plateau" : "not yet", colour(ROLE_LABEL));
}

void draw_trust_box(const DashModel& m, const Layout& l, int rows) {
  if (rows - 20 <= 3) return;
  grid_draw_box(0, 18, l.left_width, rows - 20, "Trust");
  if (!m.result_received) {
    grid_wrap_text(19, l.inner_width, rows - 22, TRUST_INTRO, colour(ROLE_LABEL));
    return;
  }
  const VerdictLook v = verdict_look(m);
  grid_put_textf(2, 19, l.inner_width, v.fg, -1, true, "◆ %s", v.name);
  int why_row = 20;
  if (m.peak_c > 0) {
    char value[96];
    std::snprintf(value, sizeof value, "%.0f °C, clock x%.2f%s", m.peak_c, m.clock_ratio, m.limited ? " (limited)" : "");
    grid_label_value(20, l.inner_width, "Thermal", value, colour(m.limited ? ROLE_WARN : ROLE_TEXT));
    why_row = 21;
  }
  if (!is_probe(m)) {
    char value[96];
    std::snprintf(value, sizeof value, "%.1f %%, longest %.0f ms", m.stall_pct, m.stall_longest_ms);
    grid_label_value(why_row, l.inner_width, "Stalls", value, colour(m.stall_pct > 5 ? ROLE_WARN : ROLE_TEXT));
    ++why_row;
  }
  grid_wrap_text(why_row, l.inner_width, rows - 3 - why_row, m.verdict_why, colour(ROLE_LABEL));
}

int scaling_colour(double scaling) {
  if (scaling >= 0.85) return colour(ROLE_GOOD);
  if (scaling >= 0.6) return colour(ROLE_WARN);
  return colour(ROLE_BAD);
}

struct Table {
  int s, w, t;  // box column and width; first table column
  int bar;      // cells of the scaling bar
  bool wide;    // with the UNIT and ±ST columns
};

void draw_table_row(const DashModel& m, const DashSubtestRow& r, const Table& tb, int y) {
  const bool current = !m.child_done && std::strcmp(r.name, m.progress_name) == 0 && std::strcmp(r.isa, m.progress_isa) == 0;
  const int g = current ? colour(ROLE_SHADE) : -1;
  if (current) {
    for (int x = tb.s + 1; x <= tb.s + tb.w - 2; ++x) grid_put_cell(x, y, " ", -1, g, false);
    grid_put_cell(tb.t, y, "▶", colour(ROLE_ACCENT), g, true);
  } else {
    grid_put_cell(tb.t, y, " ", -1, -1, false);
  }
  int x = tb.t + 2;
  x += grid_put_textf(x, y, 11, colour(ROLE_TEXT), g, true, "%-11s", r.name);
  x += grid_put_textf(x, y, 8, colour(ROLE_LABEL), g, false, "%-8s", r.isa);
  if (tb.wide) x += grid_put_textf(x, y, 7, colour(ROLE_LABEL), g, false, "%-7s", r.unit);
  x += grid_put_textf(x, y, 11, colour(ROLE_ST_VALUE), g, true, "%11.1f", r.st);
  if (r.mt > 0)
    grid_put_textf(x, y, 11, colour(ROLE_MT_VALUE), g, true, "%11.1f", r.mt);
  else
    grid_put_text(x + 10, y, 1, "–", colour(ROLE_FAINT), g, false);  // right-aligned under the figures
  x += 12;  // and one blank column

  if (r.mt > 0) {
    grid_draw_bar(x, y, tb.bar, scaling_colour(r.scaling), r.scaling / 1.25);
    grid_put_textf(x + tb.bar, y, 6, colour(ROLE_TEXT), g, false, "%5.0f%%", r.scaling * 100);
  } else {
    const bool cramped = (tb.wide ? tb.w - 74 : tb.w - 60) <= 13;
    grid_put_text(x, y, tb.bar + 6, cramped ? "ST only" : "single-thread only", colour(ROLE_FAINT), g, false);
  }
  x += tb.bar + 6;

  const double wait = std::fmax(r.st_wait_pct, r.mt_wait_agg);
  const PaletteRole wait_role = wait > 5 ? ROLE_BAD : wait > 1 ? ROLE_WARN : ROLE_LABEL;
  grid_put_textf(x, y, 6, colour(wait_role), g, false, "%5.1f%%", wait);
  x += 6;

  if (tb.wide && r.st_events > 1) {
    const double jitter = r.st_max > 0 ? (r.st_max - r.st_min) / r.st_max * 100 : 0.0;
    grid_put_textf(x, y, 7, colour(jitter > 5 ? ROLE_WARN : ROLE_LABEL), g, false, "%6.1f%%", jitter);
  }
}

void draw_subtests_box(const DashModel& m, const Layout& l, int cols, int rows) {
  Table tb;
  tb.s = l.subtests_column;
  tb.w = cols - tb.s;
  tb.t = tb.s + 2;
  const int h = rows - 3;
  const int inner = tb.w - 4;
  tb.wide = inner > 79;
  tb.bar = tb.wide ? tb.w - 76 : (tb.w - 62 > 6 ? tb.w - 62 : 6);
  if (h > 1 && tb.w > 1) {
    grid_draw_box(tb.s, 1, tb.w, h, "Subtests");
    if (tb.wide)
      grid_put_textf(tb.t, 2, inner, colour(ROLE_LABEL), -1, true, "  %-11s%-8s%-7s%11s%11s %-*s%6s%7s", "SUBTEST", "ISA",
                     "UNIT", "ST", "MT", tb.bar + 6, "SCALING", "WAIT", "ST rng");
    else
      grid_put_textf(tb.t, 2, inner, colour(ROLE_LABEL), -1, true, "  %-11s%-8s%11s%11s %-*s%6s", "SUBTEST", "ISA", "ST",
                     "MT", tb.bar + 6, "SCALING", "WAIT");
  }
  if (m.row_count == 0) {
    grid_put_text(tb.s + 4, 3, tb.w - 6, "Detecting the CPU and its instruction sets...", colour(ROLE_LABEL), -1, false);
    return;
  }
  if (h < 4) return;
  int y = 3;
  for (int i = 0; i < m.row_count && y <= rows - 4; ++i) draw_table_row(m, m.rows[i], tb, y++);
  // Why the MT columns stayed empty, below the rows.
  if (m.result_received && m.all_core_note[0] != '\0' && y + 1 <= rows - 4)
    grid_wrap_text_at(tb.t + 2, y + 1, inner - 2, rows - 4 - y, m.all_core_note, colour(ROLE_LABEL));
}

// The round of a full run and the most time left: until its rounds end (their limit, or sooner at
// the pace of the rounds seen so far), or a probe's 3 seconds; returns its cells.
int time_text(const DashModel& m, double now, char* out, std::size_t cap) {
  char left[24] = "";
  if (m.time_limit > 0) {
    const double end = is_probe(m) ? m.start_time + m.time_limit
                                   : rounds_end_estimate(m.start_time, m.last_round_time > m.start_time
                                                                           ? m.last_round_time - m.start_time
                                                                           : 0.0,
                                                         m.round_count);
    const double rest = end - now;
    format_duration(left, sizeof left, rest > 0 ? rest : 0.0);
  }
  int n;
  if (is_probe(m))
    n = std::snprintf(out, cap, "%s%s%s", left[0] ? "at most " : "", left, left[0] ? " left" : "");
  else
    n = std::snprintf(out, cap, "round %d%s%s%s", m.round_count + 1, left[0] ? " · at most " : "", left,
                      left[0] ? " left" : "");
  return n > 0 ? utf8_cells(out) : 0;
}

void draw_status_line(const DashModel& m, int blink, double now, int cols, int rows) {
  const int y = rows - 2;
  if (m.child_done && m.result_received) {
    const VerdictLook v = verdict_look(m);
    grid_put_textf(1, y, cols - 2, v.fg, -1, true, "%s · %d subtests in %.1f s", v.name, m.row_count,
                   m.duration > 0 ? m.duration : m.end_time - m.start_time);
    return;
  }
  if (m.child_done) {
    const char* msg = m.message_count > 0 ? m.messages[m.message_count - 1] : nullptr;
    grid_put_textf(1, y, cols - 2, colour(ROLE_BAD), -1, true, "The run ended without a result (exit %d)%s%s", m.child_exit,
                   msg ? ": " : "", msg ? msg : "");
    return;
  }
  const long tenths = whole(now * 10);
  grid_put_cell(1, y, kSpinner[tenths % 8], colour(ROLE_ACCENT), -1, true);
  if (m.stop_sent) {
    grid_put_text(3, y, cols - 4, "Stopping at the next chunk; the result is still reported.", colour(ROLE_WARN), -1, true);
  } else if (m.progress_name[0] != '\0') {
    // Until the verdict exists the line says what is happening, as the in-process screen does.
    const int p = grid_put_textf(3, y, cols / 2, colour(ROLE_TEXT), -1, true, "measuring · %s %s · %s ",
                                 m.progress_name, m.progress_isa, m.progress_phase);
    char time[64];
    const int len = time_text(m, now, time, sizeof time);
    if (cols - 1 - len >= p + 31) {
      grid_draw_bar(p + 3, y, STATUS_BAR_CELLS, colour(blink ? ROLE_ACCENT : ROLE_ST_VALUE), m.progress_pct / 100);
      grid_put_textf(p + 24, y, 6, colour(ROLE_LABEL), -1, false, "%3.0f%%", m.progress_pct);
      grid_put_text(cols - 1 - len, y, len, time, colour(ROLE_LABEL), -1, false);
    } else {
      // Too narrow for the bar and the time: the round and the time left matter more than the bar.
      grid_put_textf(p + 3, y, 6, colour(ROLE_LABEL), -1, false, "%3.0f%%", m.progress_pct);
      if (p + 9 + len <= cols - 1) grid_put_text(p + 9, y, len, time, colour(ROLE_LABEL), -1, false);
    }
  } else {
    grid_put_text(3, y, cols - 4, "Starting", colour(ROLE_TEXT), -1, true);
  }
}

void draw_legend(const DashModel& m, int cols, int rows) {
  const int y = rows - 1;
  const int cap_fg = colour(ROLE_KEY_FG), cap_bg = colour(ROLE_KEY_BG), label = colour(ROLE_LABEL);
  int x = 1;
  x += grid_put_text(x, y, cols, " q ", cap_fg, cap_bg, true);
  const char* stop = m.child_done ? " quit  " : m.stop_sent ? " leave now  " : " stop (the result is still reported)  ";
  x += grid_put_text(x, y, cols, stop, label, -1, false);
  x += grid_put_text(x, y, cols, " t ", cap_fg, cap_bg, true);
  grid_put_text(x, y, cols, g_dash_theme ? " 16 colours" : " 256 colours", label, -1, false);
}

}  // namespace

void compose_dashboard_screen(const DashModel& m, int blink, double now) {
  const int cols = g_grid.width, rows = g_grid.height;
  draw_title_bar(m, cols, now);
  const Layout& l = layout_for(cols);
  if (l.left_width > 0) {
    draw_machine_box(m, l);
    draw_index_box(m, l);
    draw_trust_box(m, l, rows);
  }
  draw_subtests_box(m, l, cols, rows);
  draw_status_line(m, blink, now, cols, rows);
  draw_legend(m, cols, rows);
}

void draw_dashboard_screen(int blink) {
  if (!grid_begin_frame()) return;
  compose_dashboard_screen(g_dash_model, blink, now_seconds());
  grid_flush();
}
