#pragma once
// The dashboard the measuring process draws itself when no supervisor runs it: a line-oriented
// screen redrawn from the progress hook while a phase runs, and once more at the end.
#include <atomic>
#include <cstdint>
#include <termios.h>

#include "machine/topology.h"
#include "subtests/registry.h"

constexpr int DASH_START_COLUMNS = 78;
constexpr int DASH_START_ROWS = 24;
constexpr int DASH_MIN_COLUMNS = 60;
constexpr int DASH_MAX_COLUMNS = 200;
constexpr int DASH_MIN_ROWS = 14;

struct DashState {
  int32_t columns;                 // clamped to 60..200 at every frame
  int32_t rows;                    // at least 14
  uint8_t cells[MAX_CPUS];         // CellState per position in g_machine.cpu_ids
  int32_t changes;                 // changes of the running subtest; picks the done shade
  const SubtestSpec* current;      // subtest of the last progress call, or none
  char phase_label[16];            // "single" or "all-core"; empty at start
  double percent;                  // of the running phase
  bool legend;
  bool judged;                     // the verdict is decided: the final frame shows it
  std::atomic<int> keys;           // raw keys active; read by the cleanup from signal handlers
  termios saved;                   // terminal attributes of standard input before raw keys
};

extern DashState g_dash;

// Back to the state of launch: cells and core_marks zeroed, 16-colour theme, no subtest, no legend,
// no verdict shown.
void core_map_reset();
// Marks a CPU position of the core map as outside the bench set.
void core_map_exclude(int position);
void dashboard_use_256_colours(int on);
// Raw keys when standard input is a terminal; hides the cursor and clears the screen.
void dash_terminal_enter();
// Async-signal-safe: the cleanup calls it from signal handlers too, with a bound on how long it
// waits for a reader that has stopped reading (max_wait_ms; < 0 waits as long as it takes).
void dash_terminal_leave(int max_wait_ms = -1);
// Asks the terminal for its size, builds one frame and writes it.
void draw_inprocess_dashboard();
void dashboard_progress_hook(const SubtestSpec* spec, const char* label, double percent);
// Before the final frame: no subtest runs any more and the verdict is decided, so the frame shows
// it (until then the screen says the run is measuring).
void dashboard_clear_current();

// The screen size from a size query (query_ok 0 keeps the previous size), then clamped.
void dash_set_screen_size(int query_ok, int columns, int rows);
// Builds one frame into g_out without writing it (the cell states advance as on screen).
void build_inprocess_frame();
// One key byte: l legend, q stop the run, t theme; others are ignored.
void dash_handle_key(int byte);
