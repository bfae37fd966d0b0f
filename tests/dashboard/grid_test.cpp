#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dashboard/grid.h"
#include "dashboard/outbuf.h"

namespace {

std::string glyph(int x, int y) {
  const Cell* c = grid_cell(x, y);
  return c ? c->glyph : "<outside>";
}

// The glyphs of cells x .. x+n-1 of row y.
std::string glyphs(int x, int y, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += glyph(x + i, y);
  return s;
}

class Grid : public ::testing::Test {
 protected:
  void SetUp() override {
    g_dash_theme = 0;
    ASSERT_TRUE(grid_begin_frame_sized(40, 6));
  }
  void TearDown() override { g_dash_theme = 0; }
};

TEST_F(Grid, UnknownSizesFallBackTo80By24) {
  const struct {
    int cols, rows, want_cols, want_rows;
  } cases[] = {{0, 0, 80, 24}, {120, 0, 80, 24}, {0, 40, 80, 24}, {-3, 10, 80, 24}, {120, 40, 120, 40}, {1, 1, 1, 1}};
  for (const auto& c : cases) {
    ASSERT_TRUE(grid_begin_frame_sized(c.cols, c.rows));
    EXPECT_EQ(g_grid.width, c.want_cols) << c.cols << "x" << c.rows;
    EXPECT_EQ(g_grid.height, c.want_rows) << c.cols << "x" << c.rows;
  }
}

TEST_F(Grid, BeginFrameClearsEveryCell) {
  grid_put_text(0, 0, 10, "abc", 3, 4, true);
  ASSERT_TRUE(grid_begin_frame_sized(40, 6));
  const Cell* c = grid_cell(1, 0);
  EXPECT_STREQ(c->glyph, " ");
  EXPECT_EQ(c->fg, -1);
  EXPECT_EQ(c->bg, -1);
  EXPECT_EQ(c->bold, 0);
}

TEST_F(Grid, PutTextPlacesOneCodePointPerCell) {
  const struct {
    const char* text;
    int max_cells;
    int cells;
    const char* first_glyphs;
  } cases[] = {
      {"é·x", 10, 3, "é·x"},
      {"é·x", 2, 2, "é·"},
      {"é·x", 0, 0, "  "},
      {"abc", -1, 0, "  "},
      {"", 5, 0, "  "},
      {"a\xE2\x82", 5, 3, "a??"},          // a character cut short: each byte a cell of its own
      {"\x80z", 5, 2, "?z"},             // a stray continuation byte is one cell
      {"\xF0\x9F\x98\x80!", 5, 2, "😀!"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(grid_begin_frame_sized(40, 6));
    EXPECT_EQ(grid_put_text(0, 0, c.max_cells, c.text, 1, 2, false), c.cells) << c.text;
    EXPECT_EQ(glyphs(0, 0, c.cells > 0 ? c.cells : 2), c.first_glyphs) << c.text;
  }
}

TEST_F(Grid, CellsOutsideTheGridAreDropped) {
  EXPECT_EQ(grid_put_text(38, 0, 10, "abcd", 1, -1, false), 4);
  EXPECT_EQ(glyphs(38, 0, 2), "ab");
  grid_put_cell(-1, 0, "x", 1, 1, false);
  grid_put_cell(0, 6, "x", 1, 1, false);
  EXPECT_EQ(grid_cell(0, 6), nullptr);
  EXPECT_EQ(glyph(0, 0), " ");
}

TEST_F(Grid, ControlCharactersAreStoredAsQuestionMarks) {
  grid_put_text(0, 0, 10, "a\x1b[2J\x7f\xC2\x9B\t\x9B", 1, -1, false);
  EXPECT_EQ(glyphs(0, 0, 9), "a?[2J????");
  const std::string_view out = grid_compose();
  EXPECT_EQ(out.find("\x1b[2J"), std::string_view::npos);
  EXPECT_EQ(out.find('\t'), std::string_view::npos);
}

// Only well-formed (RFC 3629), printable characters are drawn; every other byte becomes "?" in a
// cell of its own, so nothing that follows a bad lead byte can reach the terminal.
TEST_F(Grid, GlyphFilter) {
  const struct {
    const char* bytes;
    const char* cells;  // the glyphs grid_put_text stores, one per cell
  } cases[] = {
      {"\xE2\x1B\x5B", "??["},                    // a lead byte followed by ESC [
      {"\xED\xA0\x80", "???"},                    // a surrogate, U+D800
      {"\xE0\x80\x80", "???"},                    // overlong forms
      {"\xF0\x80\x80\x80", "????"},
      {"\xC0\xAF", "??"},
      {"\xF4\x90\x80\x80", "????"},              // above U+10FFFF
      {"\xF5\x80\x80\x80", "????"},
      {"\xC2\x9B", "?"},                          // C1 control (CSI), well-formed but not drawn
      {"\x1B[2J\x7F", "?[2J?"},
      {"\xC3\xA9", "\xC3\xA9"},                    // valid characters pass unchanged: é
      {"\xC2\xA0", "\xC2\xA0"},                    // U+00A0
      {"\xE2\x80\x94", "\xE2\x80\x94"},            // —
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},            // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", "\xEE\x80\x80"},            // U+E000, just above them
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},    // 😀
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},    // U+10FFFF
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(grid_begin_frame_sized(40, 6));
    const int n = grid_put_text(0, 0, 40, c.bytes, 1, -1, false);
    EXPECT_EQ(glyphs(0, 0, n), c.cells) << testing::PrintToString(c.bytes);
    EXPECT_EQ(grid_compose().find("\x1b[2J"), std::string_view::npos);
    // The same bytes given as one glyph: drawn only when they are one printable character.
    grid_put_cell(0, 1, c.bytes, 1, -1, false);
    EXPECT_EQ(glyph(0, 1), n == 1 ? c.cells : "?") << testing::PrintToString(c.bytes);
  }
  grid_put_cell(0, 0, "ab", 1, -1, false);  // two characters are not one glyph
  EXPECT_EQ(glyph(0, 0), "?");
}

TEST_F(Grid, BarDrawsEighthsOnTheBarBackground) {
  const struct {
    double fraction;
    const char* cells;
  } cases[] = {
      {0.55, "█████▌    "},  // 4 eighths: the half block
      {0.54, "█████▍    "},
      {-1.0, "          "},
      {2.0, "██████████"},
      {NAN, "          "},
      {0.1, "█         "},
      {0.0125, "▏         "},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(grid_begin_frame_sized(40, 6));
    grid_draw_bar(3, 1, 10, 11, c.fraction);
    EXPECT_EQ(glyphs(3, 1, 10), c.cells) << c.fraction;
    for (int i = 0; i < 10; ++i) {
      const Cell* cell = grid_cell(3 + i, 1);
      EXPECT_EQ(cell->bg, palette_colour(ROLE_BAR_BG));
      EXPECT_EQ(cell->bold, 0);
      EXPECT_EQ(cell->fg, std::string(cell->glyph) == " " ? -1 : 11) << c.fraction << " cell " << i;
    }
    EXPECT_EQ(glyph(13, 1), " ");
    EXPECT_EQ(grid_cell(13, 1)->bg, -1);
  }
}

TEST_F(Grid, BoxShowsItsTitleFromWidthSeven) {
  grid_draw_box(0, 0, 6, 3, "Machine");
  EXPECT_EQ(glyphs(0, 0, 6), "╭────╮");
  EXPECT_EQ(glyphs(0, 1, 6), "│    │");
  EXPECT_EQ(glyphs(0, 2, 6), "╰────╯");
  EXPECT_EQ(grid_cell(1, 0)->fg, palette_colour(ROLE_BORDER));

  grid_draw_box(10, 0, 7, 3, "Machine");
  EXPECT_EQ(glyphs(10, 0, 7), "╭ Ma ─╮");
  const Cell* title = grid_cell(12, 0);
  EXPECT_EQ(title->fg, palette_colour(ROLE_LABEL));
  EXPECT_EQ(title->bold, 1);
  EXPECT_EQ(grid_cell(11, 0)->fg, -1);
  EXPECT_EQ(grid_cell(14, 0)->fg, -1);

  grid_draw_box(20, 0, 12, 3, "");
  EXPECT_EQ(glyphs(20, 0, 12), "╭──────────╮");
}

TEST_F(Grid, BoxOfHeightTwoHasNoSides) {
  grid_draw_box(0, 0, 4, 2, nullptr);
  EXPECT_EQ(glyphs(0, 0, 4), "╭──╮");
  EXPECT_EQ(glyphs(0, 1, 4), "╰──╯");
  EXPECT_EQ(glyph(0, 2), " ");
}

TEST_F(Grid, WrapBreaksAtTheLastSpaceOrHard) {
  const struct {
    const char* text;
    int width, max_lines;
    std::vector<std::string> lines;
  } cases[] = {
      {"the quick brown fox", 10, 5, {"the quick", "brown fox"}},
      {"   lead and  double", 10, 5, {"lead and", "double"}},
      {"abcdefghijkl", 5, 5, {"abcde", "fghij", "kl"}},
      {"aaaa bbbb cccc", 9, 5, {"aaaa", "bbbb cccc"}},
      {"ééé ééé", 3, 5, {"ééé", "ééé"}},
      {"one two three four", 5, 2, {"one", "two"}},
      {"fits", 4, 1, {"fits"}},
      {"   ", 10, 3, {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(grid_begin_frame_sized(40, 6));
    EXPECT_EQ(grid_wrap_text(1, c.width, c.max_lines, c.text, 5), static_cast<int>(c.lines.size())) << c.text;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      const int y = 1 + static_cast<int>(i);
      const std::string want = c.lines[i] + std::string(static_cast<std::size_t>(c.width - utf8_cells(c.lines[i])), ' ');
      EXPECT_EQ(glyphs(2, y, c.width), want) << c.text << " line " << i;
      EXPECT_EQ(grid_cell(2, y)->fg, 5);
    }
  }
  ASSERT_TRUE(grid_begin_frame_sized(40, 6));
  EXPECT_EQ(grid_wrap_text(0, 0, 3, "text", 5), 0);
}

TEST_F(Grid, LabelValueAlignsTheValueRight) {
  grid_label_value(0, 20, "Cores", "2 cores", 9);
  EXPECT_EQ(glyphs(2, 0, 5), "Cores");
  EXPECT_EQ(glyphs(15, 0, 7), "2 cores");  // last cell at column width + 1
  EXPECT_EQ(grid_cell(2, 0)->fg, palette_colour(ROLE_LABEL));
  EXPECT_EQ(grid_cell(21, 0)->fg, 9);
  EXPECT_EQ(grid_cell(21, 0)->bold, 1);

  // Too long: starts after the label and is cut to the room left.
  grid_label_value(1, 12, "Clock", "1234567890", 9);
  EXPECT_EQ(glyphs(2, 1, 12), "Clock 123456");
  EXPECT_EQ(glyph(14, 1), " ");

  // No room: no value.
  grid_label_value(2, 6, "Thermal", "hot", 9);
  EXPECT_EQ(glyphs(2, 2, 8), "Therma  ");
}

TEST_F(Grid, SixteenColourSgr) {
  ASSERT_TRUE(grid_begin_frame_sized(4, 2));
  grid_put_text(0, 0, 2, "ab", 9, 4, false);
  grid_put_text(2, 0, 1, "c", 7, 12, true);
  const std::string out(grid_compose());
  EXPECT_EQ(out, "\x1b[1;1H\x1b[0;91;44mab\x1b[0;1;37;104mc\x1b[0m "
                 "\x1b[2;1H\x1b[0m    \x1b[0m");
}

TEST_F(Grid, TwoHundredFiftySixColourSgr) {
  g_dash_theme = 1;
  ASSERT_TRUE(grid_begin_frame_sized(3, 2));
  grid_put_text(0, 0, 1, "x", 45, -1, true);
  grid_put_text(0, 1, 3, "yyy", 252, 236, false);
  const std::string out(grid_compose());
  EXPECT_EQ(out, "\x1b[1;1H\x1b[0;1;38;5;45mx\x1b[0m  "
                 "\x1b[2;1H\x1b[0;38;5;252;48;5;236myyy\x1b[0m");
}

TEST_F(Grid, EveryRowStartsWithItsOwnSequence) {
  ASSERT_TRUE(grid_begin_frame_sized(5, 3));
  for (int y = 0; y < 3; ++y) grid_put_text(0, y, 5, "aaaaa", 2, -1, false);
  const std::string out(grid_compose());
  EXPECT_EQ(out, "\x1b[1;1H\x1b[0;32maaaaa\x1b[2;1H\x1b[0;32maaaaa\x1b[3;1H\x1b[0;32maaaaa\x1b[0m");
}

TEST_F(Grid, PaletteFollowsTheTheme) {
  const struct {
    PaletteRole role;
    int c16, c256;
  } cases[] = {{ROLE_TEXT, 7, 252}, {ROLE_TITLE_BG, 4, 24}, {ROLE_ACCENT, 14, 45}, {ROLE_BAD, 9, 203}, {ROLE_KEY_FG, 0, 16}, {ROLE_SHADE, 8, 236}};
  for (const auto& c : cases) {
    g_dash_theme = 0;
    EXPECT_EQ(palette_colour(c.role), c.c16) << c.role;
    g_dash_theme = 1;
    EXPECT_EQ(palette_colour(c.role), c.c256) << c.role;
  }
}

}  // namespace
