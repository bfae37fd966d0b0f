#include "dashboard/outbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "dashboard/bounded_write.h"
#include "events/utf8.h"
#include "run/control.h"

OutBuffer g_out;

namespace {

constexpr bool theme_complete(const TextTheme& t) {
  for (int i = 0; i < CELL_STATES; ++i)
    if (t.prefix[i] == nullptr || t.glyph[i] == nullptr) return false;
  return true;
}

// The longest bar out_bar draws; wider requests are cut to it.
constexpr int BAR_MAX_CELLS = 256;

}  // namespace

constexpr TextTheme TEXT_THEME_16 = {
    {"\x1b[90m", "\x1b[97;42m", "\x1b[32m", "\x1b[36m", "\x1b[34m", "\x1b[35m", "\x1b[97;44m",
     "\x1b[97;41m", "\x1b[30;43m", "\x1b[90m"},
    {"░", "█", "█", "▓", "▒", "▒", "S", "!", "~", "·"},
};
constexpr TextTheme TEXT_THEME_256 = {
    {"\x1b[38;5;238m", "\x1b[38;5;46m", "\x1b[38;5;34m", "\x1b[38;5;44m", "\x1b[38;5;33m",
     "\x1b[38;5;99m", "\x1b[38;5;231;48;5;25m", "\x1b[38;5;231;48;5;160m", "\x1b[38;5;16;48;5;214m",
     "\x1b[38;5;236m"},
    {"░", "█", "█", "█", "█", "█", "S", "!", "~", "·"},
};
static_assert(theme_complete(TEXT_THEME_16) && theme_complete(TEXT_THEME_256));

const TextTheme* g_text_theme = &TEXT_THEME_16;

void out_reset() { g_out.len = 0; }

void out_append(std::string_view text) {
  if (g_out.len + text.size() >= OUT_CAPACITY) return;
  std::memcpy(g_out.bytes + g_out.len, text.data(), text.size());
  g_out.len += text.size();
}

void out_printf(const char* fmt, ...) {
  char buf[OUT_FORMAT_BYTES];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  out_append(std::string_view(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                                              : sizeof buf - 1));
}

void out_bar(int width, const char* colour_prefix, double fraction) {
  constexpr std::string_view FULL = "█", EMPTY = "░", GREY = "\x1b[37m", RESET = "\x1b[0m";
  if (width < 0) width = 0;
  if (width > BAR_MAX_CELLS) width = BAR_MAX_CELLS;
  if (!(fraction > 0.0)) fraction = 0.0;  // NaN too
  if (fraction > 1.0) fraction = 1.0;
  const int filled = static_cast<int>(0.5 + width * fraction);
  // The bar goes in as one text, so a full buffer drops it whole.
  char buf[128 + BAR_MAX_CELLS * 3];
  const std::string_view prefix(colour_prefix);
  if (prefix.size() > 128 - GREY.size() - RESET.size()) return;
  std::size_t n = 0;
  auto put = [&](std::string_view s) {
    std::memcpy(buf + n, s.data(), s.size());
    n += s.size();
  };
  put(prefix);
  for (int i = 0; i < filled; ++i) put(FULL);
  put(GREY);
  for (int i = filled; i < width; ++i) put(EMPTY);
  put(RESET);
  out_append(std::string_view(buf, n));
}

void out_section_rule(int row, int columns, const char* left_corner, const char* right_corner,
                      const char* title) {
  out_printf("\x1b[%d;%dH\x1b[K\x1b[37m%s──\x1b[0m\x1b[1m %s \x1b[0m\x1b[37m", row, 1, left_corner, title);
  const int dashes = columns - 6 - utf8_cells(title);
  char buf[BAR_MAX_CELLS * 3];
  std::size_t n = 0;
  for (int i = 0; i < dashes && n + 3 <= sizeof buf; ++i) {
    std::memcpy(buf + n, "─", 3);
    n += 3;
  }
  out_append(std::string_view(buf, n));
  out_printf("%s\x1b[0m", right_corner);
}

int out_flush() {
  output_wait_begin();
  const bool whole = write_bounded(STDOUT_FILENO, g_out.bytes, g_out.len, -1) == g_out.len;
  output_wait_end();
  return whole ? 0 : -1;
}

std::string_view out_view() { return std::string_view(g_out.bytes, g_out.len); }

void format_duration(char* out, std::size_t size, double seconds) {
  if (!(seconds > 0.0)) seconds = 0.0;  // NaN too
  if (seconds > 359999.0) seconds = 359999.0;
  if (seconds < 59.95) {
    std::snprintf(out, size, "%.1fs", seconds);
    return;
  }
  const long whole = static_cast<long>(seconds + 0.5);
  std::snprintf(out, size, "%ldm%02lds", whole / 60, whole % 60);
}

int utf8_cells(std::string_view text) {
  int cells = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++cells;
  return cells;
}

