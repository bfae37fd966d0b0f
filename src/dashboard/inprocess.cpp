#include "dashboard/inprocess.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dashboard/bounded_write.h"
#include "dashboard/outbuf.h"
#include "dashboard/peers.h"
#include "engine/interference.h"
#include "engine/phase.h"
#include "engine/round_state.h"
#include "events/utf8.h"
#include "machine/sensors.h"
#include "run/config.h"
#include "run/control.h"
#include "run/seatbelts.h"
#include "run/summary.h"
#include "verdict/verdict.h"

DashState g_dash = {DASH_START_COLUMNS, DASH_START_ROWS, {}, 0, nullptr, {}, 0.0, false, false, {0}, {}};

namespace {

constexpr char ENTER_BYTES[] = "\x1b[?25l\x1b[2J";
constexpr char LEAVE_BYTES[] = "\x1b[?25h\x1b[0m\n";
static_assert(sizeof ENTER_BYTES - 1 == 10 && sizeof LEAVE_BYTES - 1 == 11);

constexpr const char* GREY = "\x1b[37m";
constexpr const char* GREEN = "\x1b[92m";
constexpr const char* YELLOW = "\x1b[93m";
constexpr const char* RED = "\x1b[91m";
constexpr double REFERENCE_INDEX = 1000.0;

// Starts a line at row (1-based), column 1, erasing what was there.
void line_at(int row) { out_printf("\x1b[%d;%dH\x1b[K", row, 1); }

// The right edge of the box at row.
void border_at(int row) { out_printf("\x1b[%d;%dH\x1b[K\x1b[37m│\x1b[0m", row, g_dash.columns); }

// The cell state shown at position i: an interference mark overrides what the CPU did.
int shown_state(int i) {
  const int mark = core_marks[i];
  const int state = mark != 0 ? mark : g_dash.cells[i];
  return state < CELL_STATES ? state : CELL_IDLE;
}

void update_cells() {
  const uint8_t done = static_cast<uint8_t>(CELL_DONE + (g_dash.changes % 4 + 4) % 4);
  for (uint8_t& c : g_dash.cells)
    if (c == CELL_RUNNING || c == CELL_SINGLE) c = done;
  const int workers = phase_workers.load(std::memory_order_relaxed);
  if (workers <= 0) return;
  const uint8_t running = workers == 1 ? CELL_SINGLE : CELL_RUNNING;
  for (int i = 0; i < workers && i < MAX_CPUS; ++i) {
    if (!worker_slots[i].running.load(std::memory_order_relaxed)) continue;
    const int pos = cpu_position(worker_slots[i].cpu.load(std::memory_order_relaxed));
    if (pos >= 0) g_dash.cells[pos] = running;
  }
}

void draw_header() {
  char model[sizeof g_machine.cpu_model];
  copy_printable(model, sizeof model, g_machine.cpu_model);
  line_at(1);
  out_printf("\x1b[44m\x1b[97m %s v%s — %.*s — %dC/%dT", TOOL_NAME, TOOL_VERSION, utf8_fit(model, 40), model,
             g_machine.ncores != 0 ? g_machine.ncores : g_machine.ncpu, g_machine.ncpu);
  if (g_machine.hybrid) out_printf(" [%dP+%dE cores]", g_machine.p_cores, g_machine.e_cores);
  out_printf(" — %s", mode_name(g_config.mode));
  if (g_config.quiesce == QUIESCE_RT) out_append(" — quiesce:rt");
  out_append(" \x1b[0m");
}

// Clock and temperature as read now; what cannot be read is said, not shown as a zero.
void draw_clock_line() {
  const bool any = g_machine.ncpu > 0;
  const long cur_mhz = any ? read_cur_khz(g_machine.cpu_ids[0]) / 1000 : 0;
  const long base_mhz = any ? g_machine.max_khz[0] / 1000 : 0;
  const int32_t mc = read_temperature();
  line_at(2);
  if (cur_mhz > 0)
    out_printf("\x1b[37m freq\x1b[0m \x1b[1;36m%ld MHz\x1b[0m\x1b[37m/%ld base\x1b[0m", cur_mhz, base_mhz);
  else
    out_append("\x1b[37m clock not readable\x1b[0m");
  if (mc >= 0)
    out_printf("   \x1b[37mtemp\x1b[0m \x1b[1;36m%.1f°C\x1b[0m", mc / 1000.0);
  else
    out_append("   \x1b[37mno temperature sensor\x1b[0m");
  if (g_machine.isolcpus[0] != '\0') {
    char isol[sizeof g_machine.isolcpus];
    copy_printable(isol, sizeof isol, g_machine.isolcpus);
    out_printf("   \x1b[93misolcpus %.*s\x1b[0m", utf8_fit(isol, 20), isol);
  }
}

// Returns the first row after the map.
int draw_core_map() {
  char title[80];
  std::snprintf(title, sizeof title, "CORE MAP — %d cells · logical CPU%s", g_machine.ncpu,
                g_machine.hybrid ? " · P bright / E dim" : "");
  out_section_rule(3, g_dash.columns, "┌", "┐", title);
  const int per_line = g_dash.columns > 6 ? (g_dash.columns - 4) / 3 : 1;
  const int ncpu = g_machine.ncpu < MAX_CPUS ? g_machine.ncpu : MAX_CPUS;
  const TextTheme& theme = *g_text_theme;
  int row = 4;
  for (int first = 0; first < ncpu && row < g_dash.rows - 8; first += per_line, ++row) {
    line_at(row);
    out_append("\x1b[37m│\x1b[0m ");
    for (int i = first; i < first + per_line && i < ncpu; ++i) {
      const int state = shown_state(i);
      const char* glyph = g_machine.is_e[i] && state <= CELL_DONE + 3 ? "▒" : theme.glyph[state];
      out_printf("%s%s%s\x1b[0m ", theme.prefix[state], glyph, glyph);
    }
    border_at(row);
  }
  return row;
}

int draw_legend(int row) {
  const TextTheme& t = *g_text_theme;
  line_at(row);
  out_printf("\x1b[37m│\x1b[0m %s██\x1b[0m running  %s██\x1b[0m done  %sS\x1b[0m single-thread  %s!\x1b[0m "
             "throttled  %s~\x1b[0m contended",
             t.prefix[CELL_RUNNING], t.prefix[CELL_DONE], t.prefix[CELL_SINGLE], t.prefix[CELL_THROTTLED],
             t.prefix[CELL_CONTENDED]);
  border_at(row);
  return row + 1;
}

void draw_bar_row(int row, const char* name, const char* colour, double value, double scale) {
  line_at(row);
  out_printf("\x1b[37m│\x1b[0m %-11.*s ", utf8_fit(name, 11), name);
  int width = g_dash.columns - 34;
  if (width < 10) width = 10;
  out_bar(width, colour, value / scale);
}

// Returns the first row after the block.
int draw_score(int row) {
  out_section_rule(row, g_dash.columns, "├", "┤", "SCORE — tallyfox index (geometric, portable subtests)");
  const double st = g_rounds.index_st, mt = g_rounds.index_mt;
  const double headline = mt > 0 ? mt : st;
  ++row;
  if (headline <= 0) {
    line_at(row);
    if (g_config.mode == MODE_PROBE)
      out_append("\x1b[37m│\x1b[0m  \x1b[93mno index in probe mode\x1b[0m\x1b[37m — too short for a comparable "
                 "number; --full measures one\x1b[0m");
    else if (g_rounds.rounds > 0)
      out_append("\x1b[37m│\x1b[0m  \x1b[93mno index\x1b[0m\x1b[37m — no selected subtest has a reference "
                 "value\x1b[0m");
    else if (!g_dash.judged)
      out_append("\x1b[37m│\x1b[0m  \x1b[93mthe index comes after round 1\x1b[0m\x1b[37m — rounds repeat until "
                 "it settles\x1b[0m");
    else
      out_append("\x1b[37m│\x1b[0m  \x1b[93mno index\x1b[0m\x1b[37m — the run ended before round 1 did\x1b[0m");
    border_at(row);
    return row + 1;
  }
  double scale = REFERENCE_INDEX;
  if (headline > scale) scale = headline;
  for (int i = 0; i < g_peer_count; ++i)
    if (g_peers[i].value > scale) scale = g_peers[i].value;

  // Beside the index, how precise it is: once judged the range of the rounds it is the median
  // of, while the rounds run the newest spread, and before four rounds that none exists yet.
  char precision[48];
  if (g_dash.judged && g_rounds.range_known)
    std::snprintf(precision, sizeof precision, "range %.1f%%", g_rounds.range * 100);
  else if (!g_dash.judged && g_rounds.spread_known)
    std::snprintf(precision, sizeof precision, "spread %.1f%%", g_rounds.spread * 100);
  else
    std::snprintf(precision, sizeof precision, "spread not known yet");
  char mt_text[16];
  figure_or_dash(mt_text, sizeof mt_text, mt);
  const int mt_pad = 7 - (mt > 0 ? static_cast<int>(std::strlen(mt_text)) : 1);  // "—" takes one cell
  line_at(row);
  out_printf("\x1b[37m│\x1b[0m  \x1b[1m\x1b[1;97m%8.0f\x1b[0m  TFX INDEX\x1b[37m (%d subtests, ref v%d)\x1b[0m    "
             "ST %-7.0f MT %s%*s \x1b[37m%s\x1b[0m",
             headline, g_rounds.index_n, REF_VERSION, st, mt_text, mt_pad > 0 ? mt_pad : 0, "", precision);
  border_at(row++);
  draw_bar_row(row, "this run", GREEN, headline, scale);
  out_printf(" %7.0f", headline);
  border_at(row++);
  for (int i = 0; i < g_peer_count && row < g_dash.rows - 5; ++i) {
    char name[PEER_NAME_BYTES];
    copy_printable(name, sizeof name, g_peers[i].name);
    draw_bar_row(row, name, "\x1b[36m", g_peers[i].value, scale);
    out_printf(" %7.0f", g_peers[i].value);
    border_at(row++);
  }
  draw_bar_row(row, "reference", "\x1b[90m", REFERENCE_INDEX, scale);
  out_printf(" %7d", static_cast<int>(REFERENCE_INDEX));
  border_at(row++);
  if (g_peer_count == 0) {
    line_at(row);
    out_append("\x1b[37m│   no peer results on this unit (other units' indexes, from tallyfox-peers.tsv)\x1b[0m");
    border_at(row++);
  }
  return row;
}

const char* band_colour(double v, double good, double fair) { return v >= good ? GREEN : v >= fair ? YELLOW : RED; }

int draw_subtests(int row) {
  out_section_rule(row++, g_dash.columns, "├", "┤", "SUBTESTS");
  line_at(row);
  out_printf("\x1b[37m│\x1b[0m\x1b[1m %-11s %-8s %11s %9s %5s  %-6s\x1b[0m", "subtest", "isa", "single", "all-core",
             "mult", "scaling");
  border_at(row++);
  for (int i = 0; i < g_result_count && i < MAX_RESULTS && row < g_dash.rows - 3; ++i) {
    const SubtestResult& r = g_results[i];
    const double st = r.st.rate / 1e6;
    line_at(row);
    if (r.mt_ran) {
      const double mt = r.mt.rate / 1e6;
      out_printf("\x1b[37m│\x1b[0m %-11s %-8s %11.1f %9.1f %4.1fx ", r.spec->name, r.spec->isa, st, mt,
                 r.st.rate > 0 ? r.mt.rate / r.st.rate : 0.0);
      out_bar(14, band_colour(r.scaling, 0.85, 0.6), r.scaling);
      out_printf(" %3.0f%%", r.scaling * 100);
    } else {
      out_printf("\x1b[37m│\x1b[0m %-11s %-8s %11.1f %9s %5s ", r.spec->name, r.spec->isa, st, "—", "—");
      out_append("\x1b[37m      single-thread only\x1b[0m");
    }
    border_at(row++);
  }
  // Why the all-core columns stay empty, word-wrapped inside the box (the note is ASCII).
  const char* note = all_core_note;
  const int width = g_dash.columns - 4;
  while (*note != '\0' && row < g_dash.rows - 3) {
    int n = static_cast<int>(std::strlen(note));
    if (n > width) {
      n = width;
      while (n > 0 && note[n] != ' ') --n;
      if (n == 0) n = width;
    }
    line_at(row);
    out_printf("\x1b[37m│ %.*s\x1b[0m", n, note);
    border_at(row++);
    note += n;
    while (*note == ' ') ++note;
  }
  line_at(row++);
  out_append(GREY);
  out_append("└");
  for (int i = 0; i < g_dash.columns - 2; ++i) out_append("─");
  out_append("┘\x1b[0m");
  return row;
}

// While measuring, in place of the verdict: the round, the time spent and the most time left:
// of a full run, until its rounds end (their 5-minute limit, or sooner at their pace); of a
// probe, its 3 seconds.
void draw_time_line() {
  const double now = now_seconds();
  char spent[24];
  format_duration(spent, sizeof spent, now - g_run.launch_time);
  out_append(" measuring");
  if (g_config.mode == MODE_FULL) out_printf(" · round %d", g_rounds.rounds + 1);
  out_printf(" · %s elapsed", spent);
  double end = g_run.deadline;
  if (g_config.mode == MODE_FULL) {
    double done = 0;
    for (int i = 0; i < g_rounds.rounds; ++i) done += g_rounds.roundtime_history[i];
    end = rounds_end_estimate(g_run.rounds_epoch, done, g_rounds.rounds);
  }
  if (end > 0) {
    char left[24];
    format_duration(left, sizeof left, end > now ? end - now : 0.0);
    out_printf(" · at most %s left", left);
  }
}

int draw_status(int row) {
  if (g_dash.current != nullptr) {
    line_at(row++);
    out_printf("\x1b[93m ▸ %s/%s %s \x1b[0m", g_dash.current->name, g_dash.current->isa, g_dash.phase_label);
    out_bar(20, YELLOW, g_dash.percent / 100);
    out_printf(" %3.0f%%", g_dash.percent);
  }
  double worst = 0;
  for (int i = 0; i < g_result_count && i < MAX_RESULTS; ++i) {
    const SubtestResult& r = g_results[i];
    if (r.mt_ran && r.st_under_load > 0 && (worst == 0 || r.st_under_load < worst)) worst = r.st_under_load;
  }
  if (worst > 0) {
    line_at(row++);
    out_printf("\x1b[37m 1 thread under full load:\x1b[0m %s%.0f%%\x1b[0m\x1b[37m of its solo rate (worst "
               "subtest)\x1b[0m",
               band_colour(worst, 0.7, 0.4), worst * 100);
  }
  // Hidden stalls so far: the measured phases' paused time over their measuring time; once judged,
  // the figure the verdict used.
  double stall_time = 0, work_time = 0;
  table_stall_time(&stall_time, &work_time);
  const double stalls = g_dash.judged ? g_verdict.stall_pct : work_time > 0 ? stall_time * 100 / work_time : 0.0;
  if (work_time > 0 || g_dash.judged) {
    line_at(row++);
    // Judged colours only once the verdict has judged them; plain while measuring.
    const char* look = !g_dash.judged ? "\x1b[97m"
                       : stalls > wait_threshold(g_config.quiesce, g_machine.rt_runtime_us) ? RED
                       : stalls > 1                                                         ? YELLOW
                                                                                            : GREEN;
    out_printf("\x1b[37m hidden stalls\x1b[0m %s%.1f%%\x1b[0m\x1b[37m of phase time (longest %.0f ms), paused "
               "without run-queue wait or steal\x1b[0m",
               look, stalls, g_verdict.run_stall_max_ms);
  }
  line_at(row++);
  if (g_dash.judged) {
    // A reason longer than the line is cut with a mark; the summary after the screen has it whole.
    const int v = g_verdict.verdict;
    const char* why = g_verdict.verdict_why;
    const int room = g_dash.columns - 22;
    const bool cut = utf8_fit(why, room) < static_cast<int>(std::strlen(why));
    out_printf(" verdict %s%s\x1b[0m\x1b[37m · %.*s%s\x1b[0m",
               v == VERDICT_CLEAN ? GREEN : v == VERDICT_UNTRUSTED ? RED : YELLOW, verdict_display_name(v),
               utf8_fit(why, cut ? room - 3 : room), why, cut ? "…" : "");
  } else {
    draw_time_line();
  }
  line_at(row++);
  out_append("\x1b[37m [l]egend  [t]heme  [q]uit\x1b[0m");
  return row;
}

void read_keys() {
  unsigned char byte;
  while (g_dash.keys.load(std::memory_order_relaxed) && ::read(STDIN_FILENO, &byte, 1) == 1) dash_handle_key(byte);
}

}  // namespace

void core_map_reset() {
  std::memset(g_dash.cells, 0, sizeof g_dash.cells);
  std::memset(core_marks, 0, sizeof core_marks);
  g_dash.changes = 0;
  g_dash.current = nullptr;
  g_dash.phase_label[0] = '\0';
  g_dash.percent = 0.0;
  g_dash.legend = false;
  g_dash.judged = false;
  g_text_theme = &TEXT_THEME_16;
}

void core_map_exclude(int position) {
  if (position >= 0 && position < MAX_CPUS) g_dash.cells[position] = CELL_OUTSIDE;
}

void dashboard_use_256_colours(int on) { g_text_theme = on ? &TEXT_THEME_256 : &TEXT_THEME_16; }

void dash_terminal_enter() {
  termios t{};
  if (tcgetattr(STDIN_FILENO, &t) == 0) {
    g_dash.saved = t;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_dash.keys.store(1);
  }
  // Held from here on, so a cleanup that comes while the screen bytes wait for a reader still
  // gives the keyboard back.
  g_run.dash_terminal.store(1);
  std::fflush(stdout);
  write_bounded(STDOUT_FILENO, ENTER_BYTES, sizeof ENTER_BYTES - 1, -1);
}

void dash_terminal_leave(int max_wait_ms) {
  if (g_dash.keys.exchange(0) != 0) tcsetattr(STDIN_FILENO, TCSANOW, &g_dash.saved);
  write_bounded(STDOUT_FILENO, LEAVE_BYTES, sizeof LEAVE_BYTES - 1, max_wait_ms);
}

void dash_set_screen_size(int query_ok, int columns, int rows) {
  if (query_ok && columns > 0) {
    g_dash.columns = columns;
    g_dash.rows = rows > 0 ? rows : DASH_START_ROWS;
  }
  if (g_dash.columns < DASH_MIN_COLUMNS) g_dash.columns = DASH_MIN_COLUMNS;
  if (g_dash.columns > DASH_MAX_COLUMNS) g_dash.columns = DASH_MAX_COLUMNS;
  if (g_dash.rows < DASH_MIN_ROWS) g_dash.rows = DASH_MIN_ROWS;
}

void build_inprocess_frame() {
  update_cells();
  out_reset();
  out_append("\x1b[?2026h\x1b[?25l\x1b[H");
  draw_header();
  draw_clock_line();
  int row = draw_core_map();
  if (g_dash.legend) row = draw_legend(row);
  row = draw_score(row);
  row = draw_subtests(row);
  draw_status(row);
  out_append("\x1b[J\x1b[?2026l");
}

void draw_inprocess_dashboard() {
  winsize ws{};
  const int ok = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0;
  dash_set_screen_size(ok, ws.ws_col, ws.ws_row);
  build_inprocess_frame();
  out_flush();
}

void dashboard_progress_hook(const SubtestSpec* spec, const char* label, double percent) {
  if (spec != nullptr && spec != g_dash.current) ++g_dash.changes;
  g_dash.current = spec;
  std::snprintf(g_dash.phase_label, sizeof g_dash.phase_label, "%s", label ? label : "");
  g_dash.percent = percent;
  // A stop waits until the frame is out and the keys are read: half a frame would land on the
  // shell's screen, and a read interrupted by it would go on in line mode. On this thread the
  // stop signals wait; on another, the stop's handler leaves the stop to this one.
  sigset_t stops, old;
  job_stop_signals(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  g_run.frame_writing.store(1);
  if (g_run.dash_terminal.load()) {  // given back at a stop: neither drawn on nor read
    draw_inprocess_dashboard();
    read_keys();
  }
  g_run.frame_writing.store(0);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (const int sig = g_run.stop_deferred.exchange(0)) raise(sig);
}

void dashboard_clear_current() {
  g_dash.current = nullptr;
  g_dash.judged = true;
}

void dash_handle_key(int byte) {
  switch (byte) {
    case 'l':
    case 'L':
      g_dash.legend = !g_dash.legend;
      break;
    case 'q':
    case 'Q':
      g_run.stop_requested.store(1);
      break;
    case 't':
    case 'T':
      g_text_theme = g_text_theme == &TEXT_THEME_256 ? &TEXT_THEME_16 : &TEXT_THEME_256;
      break;
    default:
      break;
  }
}
