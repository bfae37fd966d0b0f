#include "dashboard/grid.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dashboard/bounded_write.h"
#include "dashboard/outbuf.h"
#include "events/utf8.h"

CellGrid g_grid;
int g_dash_theme;

namespace {

struct PaletteEntry {
  int16_t c16;
  int16_t c256;
};

constexpr PaletteEntry kPalette[] = {
    {7, 252},   // text
    {7, 245},   // label
    {8, 240},   // faint
    {8, 239},   // border
    {15, 231},  // title
    {4, 24},    // title_bg
    {14, 45},   // accent
    {10, 41},   // good
    {11, 214},  // warn
    {9, 203},   // bad
    {13, 141},  // mt_value
    {12, 39},   // st_value
    {13, 141},  // spark
    {8, 237},   // bar_bg
    {0, 16},    // key_fg
    {7, 245},   // key_bg
    {8, 236},   // shade
};
static_assert(sizeof kPalette / sizeof kPalette[0] == ROLE_COUNT);

constexpr const char* kEighths[] = {"▏", "▎", "▍", "▌", "▋", "▊", "▉"};
static_assert(sizeof kEighths / sizeof kEighths[0] == 7);

// Escape bytes of one cell: an SGR of at most 24 bytes and a glyph of at most 7; rows add a
// cursor position.
constexpr std::size_t BYTES_PER_CELL = 40;
constexpr std::size_t FRAME_SLACK = 64;

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

Cell* cell_at(int x, int y) {
  if (g_grid.cells == nullptr || x < 0 || y < 0 || x >= g_grid.width || y >= g_grid.height) return nullptr;
  return &g_grid.cells[static_cast<std::size_t>(y) * g_grid.width + x];
}

void append(std::string_view s) {
  if (g_grid.out_len + s.size() > g_grid.out_cap) return;
  std::memcpy(g_grid.out + g_grid.out_len, s.data(), s.size());
  g_grid.out_len += s.size();
}

void append_sgr(const Cell& c) {
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "\x1b[0%s", c.bold ? ";1" : "");
  const bool c256 = g_dash_theme != 0;
  if (c.fg >= 0)
    n += c256 ? std::snprintf(buf + n, sizeof buf - n, ";38;5;%d", c.fg)
              : std::snprintf(buf + n, sizeof buf - n, ";%d", c.fg < 8 ? 30 + c.fg : 82 + c.fg);
  if (c.bg >= 0)
    n += c256 ? std::snprintf(buf + n, sizeof buf - n, ";48;5;%d", c.bg)
              : std::snprintf(buf + n, sizeof buf - n, ";%d", c.bg < 8 ? 40 + c.bg : 92 + c.bg);
  buf[n++] = 'm';
  append(std::string_view(buf, static_cast<std::size_t>(n)));
}

}  // namespace

int palette_colour(PaletteRole role) {
  if (role < 0 || role >= ROLE_COUNT) return -1;
  return g_dash_theme ? kPalette[role].c256 : kPalette[role].c16;
}

bool grid_begin_frame() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return grid_begin_frame_sized(0, 0);
  return grid_begin_frame_sized(ws.ws_col, ws.ws_row);
}

bool grid_begin_frame_sized(int columns, int rows) {
  if (columns <= 0 || rows <= 0) {
    columns = GRID_FALLBACK_COLUMNS;
    rows = GRID_FALLBACK_ROWS;
  }
  if (g_grid.cells == nullptr || g_grid.width != columns || g_grid.height != rows) {
    std::free(g_grid.cells);
    g_grid.cells = static_cast<Cell*>(std::calloc(static_cast<std::size_t>(columns) * rows, sizeof(Cell)));
    g_grid.width = g_grid.cells ? columns : 0;
    g_grid.height = g_grid.cells ? rows : 0;
    if (g_grid.cells == nullptr) return false;
  }
  const Cell blank = {" ", -1, -1, 0};
  const std::size_t n = static_cast<std::size_t>(g_grid.width) * g_grid.height;
  for (std::size_t i = 0; i < n; ++i) g_grid.cells[i] = blank;
  return true;
}

const Cell* grid_cell(int x, int y) { return cell_at(x, y); }

void grid_put_cell(int x, int y, const char* glyph, int fg, int bg, bool bold) {
  Cell* c = cell_at(x, y);
  if (c == nullptr) return;
  const unsigned char* g = reinterpret_cast<const unsigned char*>(glyph);
  const std::size_t n = g[0] == 0 ? 0 : utf8_char_length(g);
  if (g[0] == 0) {
    std::memcpy(c->glyph, " ", 2);
  } else if (n == 0 || g[n] != 0 || !utf8_printable(g, n)) {
    // Anything but one well-formed printable character: a control character, a lone or cut
    // sequence, or a lead byte followed by an escape would act on the terminal.
    std::memcpy(c->glyph, "?", 2);
  } else {
    std::memcpy(c->glyph, glyph, n + 1);
  }
  c->fg = static_cast<int16_t>(fg);
  c->bg = static_cast<int16_t>(bg);
  c->bold = bold ? 1 : 0;
}

int grid_put_text(int x, int y, int max_cells, const char* text, int fg, int bg, bool bold) {
  int cells = 0;
  const char* p = text;
  while (cells < max_cells && *p != '\0') {
    // A byte that does not start a well-formed character takes one cell (drawn as "?") alone,
    // so the bytes after it are read afresh.
    std::size_t n = utf8_char_length(reinterpret_cast<const unsigned char*>(p));
    if (n == 0) n = 1;
    char glyph[8];
    std::memcpy(glyph, p, n);
    glyph[n] = '\0';
    grid_put_cell(x + cells, y, glyph, fg, bg, bold);
    p += n;
    ++cells;
  }
  return cells;
}

int grid_put_textf(int x, int y, int max_cells, int fg, int bg, bool bold, const char* fmt, ...) {
  char buf[GRID_FORMAT_BYTES];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return 0;
  return grid_put_text(x, y, max_cells, buf, fg, bg, bold);
}

void grid_draw_bar(int x, int y, int width, int fg, double fraction) {
  if (!(fraction > 0.0)) fraction = 0.0;  // NaN too
  if (fraction > 1.0) fraction = 1.0;
  const double filled = width * fraction;
  const int full = static_cast<int>(filled);
  const int eighths = static_cast<int>((filled - full) * 8);
  const int bg = palette_colour(ROLE_BAR_BG);
  for (int i = 0; i < width; ++i) {
    if (i < full)
      grid_put_cell(x + i, y, "█", fg, bg, false);
    else if (i == full && eighths >= 1 && eighths <= 7)
      grid_put_cell(x + i, y, kEighths[eighths - 1], fg, bg, false);
    else
      grid_put_cell(x + i, y, " ", -1, bg, false);
  }
}

void grid_draw_box(int x, int y, int w, int h, const char* title) {
  const int border = palette_colour(ROLE_BORDER);
  grid_put_cell(x, y, "╭", border, -1, false);
  grid_put_cell(x + w - 1, y, "╮", border, -1, false);
  grid_put_cell(x, y + h - 1, "╰", border, -1, false);
  grid_put_cell(x + w - 1, y + h - 1, "╯", border, -1, false);
  for (int i = 1; i < w - 1; ++i) {
    grid_put_cell(x + i, y, "─", border, -1, false);
    grid_put_cell(x + i, y + h - 1, "─", border, -1, false);
  }
  for (int j = 1; j < h - 1; ++j) {
    grid_put_cell(x, y + j, "│", border, -1, false);
    grid_put_cell(x + w - 1, y + j, "│", border, -1, false);
  }
  if (title == nullptr || title[0] == '\0' || w < 7) return;
  grid_put_cell(x + 1, y, " ", -1, -1, false);
  const int n = grid_put_text(x + 2, y, w - 5, title, palette_colour(ROLE_LABEL), -1, true);
  grid_put_cell(x + 2 + n, y, " ", -1, -1, false);
}

int grid_wrap_text(int y, int width, int max_lines, const char* text, int fg) {
  return grid_wrap_text_at(2, y, width, max_lines, text, fg);
}

int grid_wrap_text_at(int x, int y, int width, int max_lines, const char* text, int fg) {
  if (width < 1) return 0;
  int lines = 0;
  const char* p = text;
  while (lines < max_lines) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    const char* q = p;
    const char* space = nullptr;
    int cells = 0;
    while (*q != '\0' && cells < width) {
      if (*q == ' ') space = q;
      if (!is_continuation(static_cast<unsigned char>(*q))) ++cells;
      ++q;
    }
    while (is_continuation(static_cast<unsigned char>(*q))) ++q;
    const char* end = q;
    if (*q != '\0' && space != nullptr && space > p) end = space;
    char line[512];
    std::size_t n = static_cast<std::size_t>(end - p);
    if (n > sizeof line - 1) n = sizeof line - 1;
    std::memcpy(line, p, n);
    line[n] = '\0';
    grid_put_text(x, y + lines, width, line, fg, -1, false);
    ++lines;
    p = end;
  }
  return lines;
}

void grid_label_value(int y, int width, const char* label, const char* value, int fg) {
  const int n = grid_put_text(2, y, width, label, palette_colour(ROLE_LABEL), -1, false);
  const int room = width - n - 1;
  if (room <= 0) return;
  const int cells = utf8_cells(value);
  if (cells <= room)
    grid_put_text(width + 2 - cells, y, cells, value, fg, -1, true);
  else
    grid_put_text(n + 3, y, room, value, fg, -1, true);
}

std::string_view grid_compose() {
  g_grid.out_len = 0;
  if (g_grid.cells == nullptr) return {};
  const std::size_t need = static_cast<std::size_t>(g_grid.width) * g_grid.height * BYTES_PER_CELL + FRAME_SLACK;
  if (g_grid.out_cap < need) {
    std::free(g_grid.out);
    g_grid.out = static_cast<char*>(std::malloc(need));
    g_grid.out_cap = g_grid.out ? need : 0;
    if (g_grid.out == nullptr) return {};
  }
  for (int r = 0; r < g_grid.height; ++r) {
    char pos[24];
    const int n = std::snprintf(pos, sizeof pos, "\x1b[%d;1H", r + 1);
    append(std::string_view(pos, static_cast<std::size_t>(n)));
    int fg = -2, bg = -2, bold = -1;
    const Cell* row = &g_grid.cells[static_cast<std::size_t>(r) * g_grid.width];
    for (int x = 0; x < g_grid.width; ++x) {
      const Cell& c = row[x];
      if (c.fg != fg || c.bg != bg || c.bold != bold) {
        append_sgr(c);
        fg = c.fg;
        bg = c.bg;
        bold = c.bold;
      }
      append(c.glyph);
    }
  }
  append("\x1b[0m");
  return std::string_view(g_grid.out, g_grid.out_len);
}

void grid_flush() {
  const std::string_view frame = grid_compose();
  write_bounded(STDOUT_FILENO, frame.data(), frame.size(), -1);
}
