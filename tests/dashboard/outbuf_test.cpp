#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dashboard/outbuf.h"
#include "dashboard/frame_text.h"

namespace {

TEST(OutBufBar, FilledCellsRoundToNearest) {
  struct Case {
    int width;
    double fraction;
    int filled;
  };
  const Case cases[] = {{14, 0.5, 7}, {20, 0.02, 0}, {10, -1.0, 0}, {10, 2.0, 10}, {10, NAN, 0}, {46, 0.6, 28}};
  for (const Case& c : cases) {
    out_reset();
    out_bar(c.width, "\x1b[92m", c.fraction);
    const std::string want = "\x1b[92m" + repeat("█", c.filled) + "\x1b[37m" + repeat("░", c.width - c.filled) + "\x1b[0m";
    EXPECT_EQ(out_view(), want) << c.width << " × " << c.fraction;
  }
}

TEST(OutBufAppend, TextCrossingTheLimitIsDroppedWhole) {
  out_reset();
  const std::string big(131000, 'a');
  out_append(big);
  out_append(std::string(100, 'b'));  // would cross 131071
  EXPECT_EQ(g_out.len, 131000u);
  out_append(std::string(71, 'c'));   // ends exactly at 131071
  EXPECT_EQ(g_out.len, 131071u);
  out_append("d");
  EXPECT_EQ(g_out.len, 131071u);
  EXPECT_EQ(out_view().back(), 'c');
  out_reset();
  EXPECT_EQ(g_out.len, 0u);
}

TEST(OutBufPrintf, OutputIsCutToTheFormatBuffer) {
  out_reset();
  const std::string long_text(2000, 'x');
  out_printf("%s", long_text.c_str());
  EXPECT_EQ(g_out.len, OUT_FORMAT_BYTES - 1);
  out_reset();
  out_printf("%d;%.1f", 42, 2.5);
  EXPECT_EQ(out_view(), "42;2.5");
}

TEST(OutBufRule, RightCornerFallsInTheLastColumn) {
  struct Case {
    int columns;
    const char* title;
  };
  const Case cases[] = {{80, "SUBTESTS"}, {60, "CORE MAP — 64 cells · logical CPU · P bright / E dim"}, {200, "SCORE"}};
  for (const Case& c : cases) {
    out_reset();
    out_section_rule(7, c.columns, "├", "┤", c.title);
    const std::string_view v = out_view();
    ASSERT_EQ(v.rfind("\x1b[7;1H\x1b[K", 0), 0u);
    const std::string shown = plain(v);
    EXPECT_EQ(utf8_cells(shown), c.columns) << c.title;
    EXPECT_EQ(shown.rfind("├── ", 0), 0u);
    EXPECT_EQ(shown.substr(shown.size() - 3), "┤");
    EXPECT_NE(shown.find(std::string(" ") + c.title + " "), std::string::npos);
  }
  // A title wider than the screen gets no dashes, but keeps both corners.
  out_reset();
  out_section_rule(3, 60, "┌", "┐", std::string(70, 'T').c_str());
  EXPECT_EQ(plain(out_view()), "┌── " + std::string(70, 'T') + " ┐");
}

TEST(OutBufPrintable, ControlBytesBecomeQuestionMarks) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Cortex-A72 é·x", "Cortex-A72 é·x"},
      {"a\x1b]0;title\x07z", "a?]0;title?z"},
      {"tab\there\r\n\x7f", "tab?here???"},
      {"csi\xc2\x9b" "2J", "csi?2J"},  // U+009B, the CSI of 8-bit terminals
      {"lone\x9b" "2J\xff", "lone?2J?"},  // not UTF-8 at all
      {"cut\xe2\x96", "cut??"},
      {"ov\xe0\x80\x80" "s\xed\xa0\x80", "ov???s???"},  // an overlong form, a surrogate
  };
  for (const Case& c : cases) {
    char buf[64];
    copy_printable(buf, sizeof buf, c.in);
    EXPECT_STREQ(buf, c.out);
  }
  char small[5];
  copy_printable(small, sizeof small, "abcdefgh");
  EXPECT_STREQ(small, "abcd");
  copy_printable(small, sizeof small, "ab─");  // no room for the whole code point
  EXPECT_STREQ(small, "ab");
}

TEST(OutBufDuration, SecondsThenMinutes) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {{0, "0.0s"}, {12.34, "12.3s"}, {59.94, "59.9s"}, {59.96, "1m00s"}, {307.4, "5m07s"},
               {-3, "0.0s"}, {NAN, "0.0s"}, {1e12, "5999m59s"}};
  for (const auto& c : cases) {
    char buf[24];
    format_duration(buf, sizeof buf, c.seconds);
    EXPECT_STREQ(buf, c.text) << c.seconds;
  }
}

}  // namespace
