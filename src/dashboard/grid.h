#pragma once
// The cell-grid renderer of the supervisor's dashboard: a frame is composed into a grid of
// character cells, each with its own colours, then written as one block that repaints every row.
// x is the column and y the row, both 0-based.
#include <cstddef>
#include <cstdint>
#include <string_view>

struct Cell {
  char glyph[8];  // one UTF-8 code point (at most 7 bytes) and a NUL
  int16_t fg;     // colour number, -1 = terminal default
  int16_t bg;
  uint8_t bold;
};

struct CellGrid {
  Cell* cells;     // row-major, width × height; null before the first frame
  int width;
  int height;
  char* out;       // escape-sequence stream of the last composed frame
  std::size_t out_cap;
  std::size_t out_len;
};

extern CellGrid g_grid;

// 0 = 16-colour theme, 1 = 256-colour theme.
extern int g_dash_theme;

enum PaletteRole : int {
  ROLE_TEXT, ROLE_LABEL, ROLE_FAINT, ROLE_BORDER, ROLE_TITLE, ROLE_TITLE_BG, ROLE_ACCENT, ROLE_GOOD,
  ROLE_WARN, ROLE_BAD, ROLE_MT_VALUE, ROLE_ST_VALUE, ROLE_SPARK, ROLE_BAR_BG, ROLE_KEY_FG, ROLE_KEY_BG,
  ROLE_SHADE, ROLE_COUNT,
};

// Colour number of a role in the current theme.
int palette_colour(PaletteRole role);

constexpr int GRID_FALLBACK_COLUMNS = 80;
constexpr int GRID_FALLBACK_ROWS = 24;
constexpr int GRID_FORMAT_BYTES = 512;

// Sizes the grid from the terminal on standard output and clears it; false when the grid cannot
// be allocated (the caller skips the frame).
bool grid_begin_frame();
// The same for a given size; a zero column or row count means 80 × 24.
bool grid_begin_frame_sized(int columns, int rows);

// Positions outside the grid are ignored. A glyph that is not exactly one well-formed (RFC 3629),
// printable UTF-8 character is stored as "?", so text from outside cannot act on the terminal.
void grid_put_cell(int x, int y, const char* glyph, int fg, int bg, bool bold);
// One character per cell from x rightwards, at most max_cells; a byte that does not start a
// well-formed character fills a cell of its own. Returns the cells filled.
int grid_put_text(int x, int y, int max_cells, const char* text, int fg, int bg, bool bold);
int grid_put_textf(int x, int y, int max_cells, int fg, int bg, bool bold, const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));
// A bar of exactly width cells with eighth-block resolution, on the bar_bg role.
void grid_draw_bar(int x, int y, int width, int fg, double fraction);
// A rounded outline; the title shows from a width of 7.
void grid_draw_box(int x, int y, int w, int h, const char* title);
// Word-wraps text at column 2 from row y, lines of width cells; returns the lines drawn.
int grid_wrap_text(int y, int width, int max_lines, const char* text, int fg);
// The same from column x.
int grid_wrap_text_at(int x, int y, int width, int max_lines, const char* text, int fg);
// Label at column 2, value bold and right-aligned so that its last cell is at column width + 1.
void grid_label_value(int y, int width, const char* label, const char* value, int fg);

const Cell* grid_cell(int x, int y);  // null outside the grid

// Builds the escape-sequence stream of the grid; returns it (empty when no buffer is available).
std::string_view grid_compose();
// Composes and writes the frame to standard output in one write.
void grid_flush();
