#pragma once
// The string renderer of the in-process dashboard: a frame is appended as escape-sequence text to
// one static buffer and written to standard output in one write. Nothing here allocates.
#include <cstddef>
#include <string_view>

#include "events/utf8.h"  // copy_printable

constexpr std::size_t OUT_CAPACITY = 131072;
constexpr std::size_t OUT_FORMAT_BYTES = 768;

struct OutBuffer {
  char bytes[OUT_CAPACITY];
  std::size_t len;   // always below OUT_CAPACITY
};

extern OutBuffer g_out;

// Core-map cell states; they index the text themes.
enum CellState : unsigned char {
  CELL_IDLE = 0,
  CELL_RUNNING = 1,   // one worker of an all-core phase
  CELL_DONE = 2,      // 2..5: four shades of finished work
  CELL_SINGLE = 6,    // the only worker of a single-thread phase
  CELL_THROTTLED = 7,
  CELL_CONTENDED = 8,
  CELL_OUTSIDE = 9,   // not in the bench set
  CELL_STATES = 10,
};

// Per cell state a complete SGR colour prefix and the glyph the cell is drawn with.
struct TextTheme {
  const char* prefix[CELL_STATES];
  const char* glyph[CELL_STATES];
};

extern const TextTheme TEXT_THEME_16;
extern const TextTheme TEXT_THEME_256;
// Starts at the 16-colour theme.
extern const TextTheme* g_text_theme;

void out_reset();
// Appends the text only when the buffer keeps room for it; a text that does not fit is dropped
// whole, never cut.
void out_append(std::string_view text);
// Formats into a 768-byte buffer (longer output is cut) and appends the result.
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A bar of width cells: round(width × fraction) cells of "█" in colour_prefix, the rest "░" in
// grey. The fraction is clamped to 0..1.
void out_bar(int width, const char* colour_prefix, double fraction);
// A box rule across a screen of `columns` cells at row (1-based), with a bold title, ending with
// right_corner in the last column.
void out_section_rule(int row, int columns, const char* left_corner, const char* right_corner,
                      const char* title);
// Writes the buffer to standard output; returns 0, or -1 when the write failed.
int out_flush();
std::string_view out_view();

// A duration as a person reads it: "12.3s" below a minute, "5m07s" from one minute on.
void format_duration(char* out, std::size_t size, double seconds);
// Terminal cells a UTF-8 text takes: one per byte that is not a continuation byte.
int utf8_cells(std::string_view text);
