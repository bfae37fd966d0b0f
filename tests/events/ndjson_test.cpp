#include <gtest/gtest.h>

#include <string>

#include "engine/round_state.h"
#include "events/ndjson.h"
#include "run/config.h"
#include "run/control.h"
#include "verdict/verdict.h"

namespace {

std::string escape(const std::string& s, std::size_t cap) {
  std::string out(cap + 8, '\x7f');
  json_escape(s.c_str(), out.data(), cap);
  EXPECT_EQ(out[cap + 1], '\x7f');  // nothing written past cap
  return out.c_str();
}

TEST(JsonEscape, Characters) {
  EXPECT_EQ(escape("ACME \"X\" \\ 3\tGHz\nend\r\x1b", 256), "ACME \\\"X\\\" \\\\ 3GHz\\nend");
  EXPECT_EQ(escape("caf\xc3\xa9 \xe2\x80\x94", 256), "caf\xc3\xa9 \xe2\x80\x94");
  EXPECT_EQ(escape("", 256), "");
  EXPECT_EQ(escape("abc", 2), "");
  EXPECT_EQ(escape("abc", 3), "a");
}

TEST(JsonEscape, Bounds) {
  const std::string out = escape(std::string(200, '"'), 256);
  EXPECT_EQ(out.size(), 254u);
  EXPECT_EQ(out, [] {
    std::string s;
    for (int i = 0; i < 127; ++i) s += "\\\"";
    return s;
  }());
  const std::string plain(253, 'a');
  EXPECT_EQ(escape(plain, 256), plain);
  EXPECT_EQ(escape(std::string(300, 'a'), 256).size(), 254u);
}

// Only well-formed UTF-8 (RFC 3629) is written: every byte that does not start a well-formed
// character is dropped, and valid characters pass unchanged.
TEST(JsonEscape, MalformedUtf8IsDropped) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\x80" "b\xc3(c\xff" "d\xe2\x82", "ab(cd"},  // stray continuation, lone lead, invalid lead
      {"a\xE2\x1B\x5B" "b", "a[b"},                  // a lead byte followed by ESC [
      {"a\xED\xA0\x80" "b", "ab"},                   // a surrogate, U+D800
      {"a\xE0\x80\x80" "b", "ab"},                   // overlong forms
      {"a\xF0\x80\x80\x80" "b", "ab"},
      {"a\xC0\xAF" "b", "ab"},
      {"a\xF4\x90\x80\x80" "b", "ab"},              // above U+10FFFF
      {"\xED\x9F\xBF\xEE\x80\x80", "\xED\x9F\xBF\xEE\x80\x80"},  // U+D7FF and U+E000 around the surrogates
      {"\xF0\x9F\x98\x80 ok", "\xF0\x9F\x98\x80 ok"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},    // U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(escape(c.in, 256), c.out) << testing::PrintToString(c.in);
}

TEST(JsonEscape, NeverCutsACharacterInHalf) {
  // 'ab' then three-byte characters: a cap that ends inside one drops it whole.
  const std::string text = "ab\xe2\x80\x94\xe2\x80\x94";
  for (std::size_t cap = 3; cap <= 12; ++cap) {
    const std::string out = escape(text, cap);
    EXPECT_TRUE(out == "a" || out == "ab" || out == "ab\xe2\x80\x94" || out == text) << cap << ": " << out;
  }
}

std::string capture(void (*fn)()) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

TEST(Events, ResultWithoutSubtestsClosesTheArray) {
  reset_config();
  reset_round_state();
  reset_verdict();
  g_result_count = 0;
  g_config.mode = MODE_PROBE;
  g_config.ui = UI_JSON;
  const std::string line = capture(emit_result);
  // Keys added after the first release come last, all_core_note among them.
  EXPECT_NE(line.find("\"cpus_used\":0,\"fingerprint\":"), std::string::npos);
  EXPECT_NE(line.find("\"subtests\":[],\"stalls\":{\"pct\":0.00,\"longest_ms\":0.0,\"threshold_pct\":5.00},"
                      "\"all_core_note\":\"\",\"index_range\":{\"pct\":null,\"lo\":null,\"hi\":null,\"first_round\":null,"
                      "\"last_round\":null},\"drift\":{\"checked\":0,\"detected\":0,\"pct\":null,\"round\":null,"
                      "\"p\":null,\"before\":null,\"after\":null,\"explained\":{\"wait\":0,\"steal\":0,\"stalls\":0,"
                      "\"clock\":0}}}\n"),
            std::string::npos)
      << line;
  // A probe has no rounds: no spread and no precision were measured.
  EXPECT_NE(line.find("\"convergence\":{\"rounds\":0,\"spread\":null,\"precision\":null,\"target\":0.0150,"
                      "\"converged\":0}"),
            std::string::npos);
  EXPECT_NE(line.find("\"index\":{\"st\":0.0,\"mt\":0.0,\"n\":0,\"ref_version\":2,\"unit\":1000,"
                      "\"st_undisturbed\":0.0,\"mt_undisturbed\":0.0,\"converge\":\"delivered\"}"),
            std::string::npos);
  EXPECT_EQ(line.rfind("{\"event\":\"result\",\"tool\":\"tallyfox\",\"tool_version\":\"0.1.1\",\"mode\":\"probe\"", 0), 0u);
}

TEST(Events, RoundFormat) {
  reset_config();
  g_config.ui = UI_JSON;
  testing::internal::CaptureStdout();
  emit_round(3, 0, 1234.56, 0.0, 1.0, 1250.04, 0.0);
  const std::string line = testing::internal::GetCapturedStdout();
  EXPECT_EQ(line.rfind("{\"event\":\"round\",\"round\":3,\"index_st\":1234.6,\"index_mt\":0.0,\"spread\":1.0000,"
                       "\"target\":0.0150,\"converged\":0,\"elapsed\":",
                       0),
            0u);
  EXPECT_NE(line.find(",\"index_st_undisturbed\":1250.0,\"index_mt_undisturbed\":0.0}\n"), std::string::npos);
}

TEST(Events, ProgressIsRateLimited) {
  reset_json_progress();
  EXPECT_TRUE(json_progress_due(100.0));   // the first call always writes
  EXPECT_FALSE(json_progress_due(100.3));  // 0.3 s later: dropped
  EXPECT_TRUE(json_progress_due(100.6));
  EXPECT_FALSE(json_progress_due(101.09));
  EXPECT_TRUE(json_progress_due(101.1));
}

}  // namespace

#include "events/utf8.h"

namespace {

TEST(Utf8, FitNeverCutsACharacter) {
  const char* text = "ab—c";  // the dash is three bytes, at 2..4
  const struct {
    int max;
    int want;
  } cases[] = {{0, 0}, {2, 2}, {3, 2}, {4, 2}, {5, 5}, {6, 6}, {99, 6}};
  for (const auto& c : cases) EXPECT_EQ(utf8_fit(text, c.max), c.want) << c.max;
  EXPECT_EQ(utf8_fit("\xE2\x1B[0m", 2), 2);  // a lone lead byte counts as one byte
}

}  // namespace
