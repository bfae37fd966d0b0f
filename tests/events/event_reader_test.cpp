#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "events/event_reader.h"

namespace {

const char* const START =
    R"({"event":"start","tool":"tallyfox","tool_version":"0.1.1","mode":"full","cpu_model":"AMD \"EPYC\" 7\u00e9","ncpu":16,"ncores":8,"p_cores":6,"e_cores":2,"p_threads":12,"e_threads":4,"hybrid":true,"isa":{"sse2":1,"sse42":1,"avx":1,"avx2":1,"avx512f":0,"sha_ni":1,"aes_ni":1,"neon":0,"arm_crc":0,"arm_sha2":0,"arm_aes":0,"sve":0},"isolcpus":"2-3","rt_runtime_us":950000,"cur_mhz":0,"max_mhz":3600,"thermal_c":-0.0,"fingerprint":"GNU"})";
const char* const SUBTEST =
    R"({"event":"subtest","name":"int_scalar","isa":"base","unit":"Mops","st":219.7,"mt":863.5,"scaling":1.965,"st_wait_pct":2.02,"mt_wait_pct":106.73,"mt_wait_agg":38.98,"nivcsw":24,"khz_lo":0,"khz_hi":0})";
const char* const ROUND =
    R"({"event":"round","round":1,"index_st":366.1,"index_mt":1439.2,"spread":1.0000,"target":0.0150,"converged":0,"elapsed":0.25})";
const char* const RESULT =
    R"({"event":"result","tool":"tallyfox","tool_version":"0.1.1","mode":"full","verdict":"contended","verdict_why":"runqueue wait 77.0%","machine":{"cpu_model":"AMD EPYC","ncpu":2,"max_mhz":0},"index":{"st":626.6,"mt":1398.3,"n":1,"ref_version":1,"unit":1000},"convergence":{"rounds":24,"spread":0.7079,"precision":0.0408,"target":0.0150,"converged":0},"thermal":{"peak_c":71.5,"clock_ratio":0.870,"limited":1},"quiesce":"none","isolcpus":"","profile":"standard","cpus_used":2,"fingerprint":"x","duration":2.83,"subtests":[{"name":"int_scalar","isa":"base","unit":"Mops","st":439.5,"mt":629.8,"scaling":0.717,"st_under_load":0.651},{"name":"crc32c","isa":"sse42","unit":"MB/s","st":9000.5,"mt":0.0,"scaling":0.000,"st_under_load":0.000}]})";

class EventReader : public ::testing::Test {
 protected:
  void SetUp() override { m = DashModel{}; }
  void feed(std::string_view text, double now = 5.0) { line_feed(lines, m, text.data(), text.size(), now); }
  void line(std::string_view text, double now = 5.0) {
    feed(text, now);
    feed("\n", now);
  }
  std::string subtest(const char* name, const char* isa, double st) {
    char buf[256];
    std::snprintf(buf, sizeof buf, R"({"event":"subtest","name":"%s","isa":"%s","unit":"Mops","st":%.1f,"mt":0.0})", name, isa, st);
    return buf;
  }
  DashModel m;
  LineAssembler lines{};
};

TEST(EventReaderJson, MemberLookupStaysInItsObject) {
  const struct {
    const char* object;
    const char* key;
    bool found;
    const char* value;
  } cases[] = {
      {R"({"a":1,"b":"x"})", "b", true, R"("x")"},
      {R"(  { "a" : [1,{"b":2}] , "b" : 3 } )", "b", true, "3"},
      {R"({"a":{"b":1}})", "b", false, ""},
      {R"({"a":"}{,\"b\":9","b":4})", "b", true, "4"},
      {R"({"ab":1,"a":2})", "a", true, "2"},
      {R"({"a\"b":1,"a":2})", "a", true, "2"},
      {R"({"a":1 "b":2})", "b", false, ""},
      {R"({"a":})", "a", true, ""},
      {R"([{"a":1}])", "a", false, ""},
      {R"({"a":1)", "b", false, ""},
      {R"({"a":[1,2,{"x":"]"}],"b":true})", "b", true, "true"},
      {"", "a", false, ""},
      {R"({"a":"unterminated)", "a", true, R"("unterminated)"},
  };
  for (const auto& c : cases) {
    std::string_view v;
    EXPECT_EQ(json_member(c.object, c.key, &v), c.found) << c.object;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.object;
    }
  }
}

TEST(EventReaderJson, StringsDecodeEscapes) {
  const struct {
    const char* object;
    std::size_t cap;
    const char* want;
  } cases[] = {
      {R"({"s":"caf\u00e9"})", 16, "café"},
      {R"({"s":"\u20ac\u0041\u00"})", 16, "€Au00"},
      {R"({"s":"a\nb\tc\"d\\e\/f\rg"})", 32, "a b c\"d\\e/frg"},
      {R"({"s":"abcdef"})", 4, "abc"},
      {R"({"s":"ab\u00e9"})", 4, "ab"},   // a code point is added only whole
      {R"({"s":"ab\u00e9c"})", 5, "abé"},
      {R"({"s":12})", 16, ""},
      {R"({"t":"x"})", 16, ""},
      {R"({"s":"open)", 16, "open"},
  };
  for (const auto& c : cases) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    json_string(c.object, "s", out, c.cap);
    EXPECT_STREQ(out, c.want) << c.object;
  }
}

TEST(EventReaderJson, NumbersNeedADigitOrMinus) {
  const struct {
    const char* object;
    bool numeric;
    double value;
    int32_t as_int;
  } cases[] = {
      {R"({"n":-1.5})", true, -1.5, -1},
      {R"({"n": 2.7e3 })", true, 2700, 2700},
      {R"({"n":-0.0})", true, 0.0, 0},
      {R"({"n":"12"})", false, 0, 0},
      {R"({"n":true})", false, 0, 0},
      {R"({"n":.5})", false, 0, 0},
      {R"({"m":1})", false, 0, 0},
      {R"({"n":1e300})", true, 1e300, INT32_MAX},
      {R"({"n":-1e300})", true, -1e300, INT32_MIN},
  };
  for (const auto& c : cases) {
    double d = 42;
    EXPECT_EQ(json_numeric(c.object, "n", &d), c.numeric) << c.object;
    EXPECT_DOUBLE_EQ(json_number(c.object, "n"), c.value) << c.object;
    EXPECT_EQ(json_int(c.object, "n"), c.as_int) << c.object;
  }
  EXPECT_EQ(json_int(R"({"n":-nan})", "n"), 0);
}

TEST_F(EventReader, StartFillsTheMachineFacts) {
  line(START);
  EXPECT_STREQ(m.cpu_model, "AMD \"EPYC\" 7é");
  EXPECT_STREQ(m.mode, "full");
  EXPECT_STREQ(m.isolcpus, "2-3");
  EXPECT_EQ(m.ncpu, 16);
  EXPECT_EQ(m.ncores, 8);
  EXPECT_EQ(m.p_cores, 6);
  EXPECT_EQ(m.e_cores, 2);
  EXPECT_EQ(m.p_threads, 12);
  EXPECT_EQ(m.e_threads, 4);
  EXPECT_TRUE(m.hybrid);
  EXPECT_EQ(m.max_mhz, 3600);
  EXPECT_EQ(m.isa[0], 1);
  EXPECT_EQ(m.isa[4], 0);
  EXPECT_EQ(m.isa[5], 1);
  EXPECT_FALSE(m.arm_family);
}

TEST_F(EventReader, ArmFamilyFromTheFlags) {
  const struct {
    const char* isa;
    bool arm;
  } cases[] = {
      {R"({"sse2":1,"sse42":1})", false},
      {R"({"sse2":1,"neon":1})", true},
      {R"({"sse2":1,"arm_crc":1})", true},
      {R"({"sse2":1,"sve":1})", true},
      {R"({"sse2":0,"sse42":0})", true},
      {R"({"sse2":0,"sse42":1})", false},
      {R"({})", true},
  };
  for (const auto& c : cases) {
    line(std::string(R"({"event":"start","isa":)") + c.isa + "}");
    EXPECT_EQ(m.arm_family, c.arm) << c.isa;
  }
  line(R"({"event":"start","hybrid":"true"})");
  EXPECT_FALSE(m.hybrid);
  line(R"({"event":"start","hybrid":trueish})");
  EXPECT_TRUE(m.hybrid);
}

TEST_F(EventReader, SubtestRowsAreKeyedByNameAndIsa) {
  line(subtest("crc32c", "sse42", 10));
  line(subtest("crc32c", "base", 20));
  line(subtest("crc32c", "sse42", 5));
  line(subtest("crc32c", "sse42", 7));
  ASSERT_EQ(m.row_count, 2);
  EXPECT_STREQ(m.rows[1].isa, "base");
  const DashSubtestRow& r = m.rows[0];
  EXPECT_EQ(r.st_events, 3);
  EXPECT_EQ(r.st, 7);
  EXPECT_EQ(r.st_min, 5);
  EXPECT_EQ(r.st_max, 10);

  line(SUBTEST);
  const DashSubtestRow& full = m.rows[2];
  EXPECT_STREQ(full.unit, "Mops");
  EXPECT_DOUBLE_EQ(full.mt, 863.5);
  EXPECT_DOUBLE_EQ(full.scaling, 1.965);
  EXPECT_DOUBLE_EQ(full.st_wait_pct, 2.02);
  EXPECT_DOUBLE_EQ(full.mt_wait_agg, 38.98);

  line(R"({"event":"subtest","name":"int_scalar","isa":"base","st":"fast","mt":null})");
  EXPECT_EQ(full.st, 0);
  EXPECT_EQ(full.mt, 0);
  EXPECT_STREQ(full.unit, "");
}

TEST_F(EventReader, SamplesKeepTheRoundTheyBelongTo) {
  line(subtest("sha256", "soft", 10));
  line(R"({"event":"round","round":1,"index_st":1000})");
  line(subtest("sha256", "soft", 11));
  line(R"({"event":"round","round":2,"index_st":1001})");
  line(subtest("sha256", "soft", 12));  // a cut third round
  const DashSubtestRow& r = m.rows[0];
  ASSERT_EQ(r.sample_count, 3);
  EXPECT_EQ(r.st_samples[1], 11);
  EXPECT_EQ(r.sample_round[0], 0);
  EXPECT_EQ(r.sample_round[2], 2);
  for (int i = 0; i < 40; ++i) line(subtest("sha256", "soft", 1));
  EXPECT_EQ(r.sample_count, DASH_MAX_SAMPLES);
}

TEST(EventReaderJson, StrictObjectValidation) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {R"({"event":"round","round":1,"a":[1,-2.5e3,true,false,null,{"b":"\u00e9\n"}]})", true},
      {R"(  {}  )", true},
      {R"({"s":"é ─"})", true},
      {R"({"event":"subtest","name":)", false},  // cut
      {R"({"a":1,})", false},
      {R"({"a" 1})", false},
      {R"({a:1})", false},
      {R"({"a":01})", false},
      {R"({"a":1.})", false},
      {R"({"a":-})", false},
      {R"({"a":"\x"})", false},
      {R"({"a":"\u12"})", false},
      {"{\"a\":\"tab\there\"}", false},  // a raw control byte in a string
      {R"({"a":tru})", false},
      {R"({"a":1} {"b":2})", false},
      {R"([1,2])", false},
      {"", false},
      {"tallyfox probe verdict=clean", false},
  };
  for (const auto& c : cases) EXPECT_EQ(json_object_valid(c.text), c.valid) << c.text;
  std::string deep(40, '[');
  EXPECT_FALSE(json_object_valid("{\"a\":" + deep + std::string(40, ']') + "}"));
  std::string ok(20, '[');
  EXPECT_TRUE(json_object_valid("{\"a\":" + ok + std::string(20, ']') + "}"));
}

TEST_F(EventReader, TheFortyFirstRowIsDropped) {
  for (int i = 0; i < 41; ++i) line(subtest(("t" + std::to_string(i)).c_str(), "base", i));
  EXPECT_EQ(m.row_count, DASH_MAX_ROWS);
  EXPECT_STREQ(m.rows[39].name, "t39");
  line(subtest("t0", "base", 99));  // an existing row is still updated
  EXPECT_EQ(m.rows[0].st, 99);
  EXPECT_EQ(m.row_count, DASH_MAX_ROWS);
}

TEST_F(EventReader, RoundsStopAtSixtyFourButTargetAndConvergedFollow) {
  for (int i = 0; i < 64; ++i) line(ROUND);
  line(R"({"event":"round","round":65,"index_st":1,"index_mt":2,"spread":0.001,"target":0.02,"converged":1})");
  EXPECT_EQ(m.round_count, DASH_MAX_ROUNDS);
  EXPECT_DOUBLE_EQ(m.rounds[63].index_mt, 1439.2);
  EXPECT_DOUBLE_EQ(m.round_target, 0.02);
  EXPECT_EQ(m.round_converged, 1);
}

TEST_F(EventReader, ProgressReplacesTheProgressFields) {
  line(R"({"event":"progress","name":"sha256","isa":"sha_ni_long_label","phase":"all-core","pct":42,"elapsed":1.5})");
  EXPECT_STREQ(m.progress_name, "sha256");
  EXPECT_STREQ(m.progress_isa, "sha_ni_lo");
  EXPECT_STREQ(m.progress_phase, "all-core");
  EXPECT_EQ(m.progress_pct, 42);
}

TEST_F(EventReader, ResultFillsTheVerdictAndUpdatesRows) {
  line(SUBTEST);
  m.rows[0].st_events = 3;
  line(RESULT, 12.5);
  EXPECT_TRUE(m.result_received);
  EXPECT_STREQ(m.verdict, "contended");
  EXPECT_STREQ(m.verdict_why, "runqueue wait 77.0%");
  EXPECT_DOUBLE_EQ(m.index_st, 626.6);
  EXPECT_DOUBLE_EQ(m.index_mt, 1398.3);
  EXPECT_DOUBLE_EQ(m.precision, 0.0408);
  EXPECT_EQ(m.result_rounds, 24);
  EXPECT_DOUBLE_EQ(m.peak_c, 71.5);
  EXPECT_DOUBLE_EQ(m.clock_ratio, 0.87);
  EXPECT_EQ(m.limited, 1);
  EXPECT_DOUBLE_EQ(m.duration, 2.83);
  EXPECT_EQ(m.cpus_used, 2);
  EXPECT_EQ(m.end_time, 12.5);
  ASSERT_EQ(m.row_count, 2);
  EXPECT_DOUBLE_EQ(m.rows[0].st, 439.5);
  EXPECT_DOUBLE_EQ(m.rows[0].scaling, 0.717);
  EXPECT_EQ(m.rows[0].st_events, 3);
  EXPECT_DOUBLE_EQ(m.rows[0].st_wait_pct, 2.02);
  EXPECT_STREQ(m.rows[1].name, "crc32c");
  EXPECT_STREQ(m.rows[1].unit, "MB/s");
  EXPECT_DOUBLE_EQ(m.rows[1].st, 9000.5);
  EXPECT_EQ(m.rows[1].st_events, 0);

  // Values that are missing or not numbers keep the earlier ones.
  line(R"({"event":"result","subtests":[{"name":"int_scalar","isa":"base","st":"n/a","scaling":null}, 7, {"name":"x"}]})");
  EXPECT_DOUBLE_EQ(m.rows[0].st, 439.5);
  EXPECT_DOUBLE_EQ(m.rows[0].mt, 629.8);
  EXPECT_DOUBLE_EQ(m.rows[0].scaling, 0.717);
  EXPECT_STREQ(m.rows[0].unit, "");
  EXPECT_EQ(m.row_count, 4);  // 7 is an element without a name: the row ("", "")
}

TEST_F(EventReader, VerdictWhyIsCutTo599Bytes) {
  const std::string why(700, 'w');
  line(R"({"event":"result","verdict":"clean","verdict_why":")" + why + "\"}");
  EXPECT_EQ(std::strlen(m.verdict_why), 599u);
  line(R"({"event":"result","verdict_why":"caf\u00e9 \u00e9t\u00e9"})");
  EXPECT_STREQ(m.verdict_why, "café été");
}

TEST_F(EventReader, MessagesAreLinesThatDoNotStartWithABrace) {
  line("   hello");
  line("");
  line(" \t\r ");
  ASSERT_EQ(m.message_count, 1);
  EXPECT_STREQ(m.messages[0], "hello");
  for (int i = 2; i <= 5; ++i) line("message " + std::to_string(i));
  ASSERT_EQ(m.message_count, DASH_MAX_MESSAGES);
  EXPECT_STREQ(m.messages[0], "message 2");
  EXPECT_STREQ(m.messages[3], "message 5");
  line(std::string(300, 'm'));
  EXPECT_EQ(std::strlen(m.messages[3]), 139u);
  line("\t {\"event\":\"progress\",\"name\":\"lz4\"}");
  EXPECT_STREQ(m.progress_name, "lz4");
  EXPECT_EQ(m.message_count, DASH_MAX_MESSAGES);
}

TEST_F(EventReader, UnknownEventsAreIgnored) {
  line(R"({"event":"startx","cpu_model":"no"})");
  line(R"({"event":"result_and_more_than_fifteen","verdict":"no"})");
  line(R"({"cpu_model":"no"})");
  line(R"({"event":5})");
  EXPECT_STREQ(m.cpu_model, "");
  EXPECT_FALSE(m.result_received);
  EXPECT_EQ(m.message_count, 0);
}

TEST_F(EventReader, AnOverlongLineKeepsItsFirst65535Bytes) {
  // The cut falls inside the number, after "0.1234".
  std::string text = R"({"event":"round","pad":")";
  const std::string tail = R"(","target":0.12345678})";
  text += std::string(LINE_CAPACITY - 1 - text.size() - (tail.size() - 5), 'x');
  text += tail;
  text += std::string(100000 - text.size(), ' ');
  line(text);
  EXPECT_DOUBLE_EQ(m.round_target, 0.1234);
  EXPECT_EQ(m.round_count, 1);
  line(R"({"event":"round","target":0.5})");
  EXPECT_DOUBLE_EQ(m.round_target, 0.5);
}

TEST_F(EventReader, LinesSplitAnywhereGiveTheSameModel) {
  const std::string stream = std::string(START) + "\n" + SUBTEST + "\ntallyfox: note\n" + ROUND + "\n" + RESULT + "\n";
  line_feed(lines, m, stream.data(), stream.size(), 1.0);
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  for (int trial = 0; trial < 20; ++trial) {
    DashModel split{};
    LineAssembler a{};
    for (std::size_t i = 0; i < stream.size();) {
      const std::size_t n = std::min<std::size_t>(stream.size() - i, 1 + rng() % 64);
      line_feed(a, split, stream.data() + i, n, 1.0);
      i += n;
    }
    EXPECT_STREQ(split.cpu_model, m.cpu_model) << "seed " << seed;
    EXPECT_EQ(split.row_count, m.row_count) << "seed " << seed;
    EXPECT_EQ(split.rows[1].st, m.rows[1].st) << "seed " << seed;
    EXPECT_EQ(split.round_count, m.round_count) << "seed " << seed;
    EXPECT_STREQ(split.verdict, m.verdict) << "seed " << seed;
    EXPECT_STREQ(split.messages[0], "tallyfox: note") << "seed " << seed;
  }
}

TEST_F(EventReader, MalformedLinesNeverBreakTheReader) {
  // Every prefix of every event, and random damage to them; the model must stay within bounds.
  const char* const events[] = {START, SUBTEST, ROUND, RESULT};
  static constexpr char kDamage[] = "{}[]\",:\\u0 x\x01\xff";
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  for (const char* e : events) {
    const std::string full(e);
    for (std::size_t n = 0; n <= full.size(); ++n) line(full.substr(0, n));
    for (int k = 0; k < 300; ++k) {
      std::string broken = full;
      for (int d = 0; d < 4; ++d) broken[rng() % broken.size()] = kDamage[rng() % (sizeof kDamage - 1)];
      line(broken);
    }
  }
  EXPECT_LE(m.row_count, DASH_MAX_ROWS) << "seed " << seed;
  EXPECT_LE(m.round_count, DASH_MAX_ROUNDS) << "seed " << seed;
  EXPECT_LE(m.message_count, DASH_MAX_MESSAGES) << "seed " << seed;
  EXPECT_LT(std::strlen(m.verdict_why), sizeof m.verdict_why);
}

// The reader against a real JSON parser: each member below, read from each line by the reader,
// must equal what jq finds. Surrogate pairs, escaped keys and repeated keys are left out on
// purpose: the reader keeps \u escapes as one to three bytes and matches keys by their raw bytes.
std::string run_command(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == sep) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string base64_decode(const std::string& in) {
  std::string out;
  int bits = 0, acc = 0;
  for (char c : in) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(alphabet, c);
    if (c == '=' || c == '\0' || at == nullptr) break;
    acc = (acc << 6) | static_cast<int>(at - alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

struct Query {
  const char* outer;  // member object, or null for a top-level member
  const char* key;
  char kind;          // s string, n number, b the hybrid boolean
};

constexpr Query kQueries[] = {
    {nullptr, "event", 's'}, {nullptr, "name", 's'}, {nullptr, "isa", 's'}, {nullptr, "phase", 's'},
    {nullptr, "unit", 's'}, {nullptr, "mode", 's'}, {nullptr, "cpu_model", 's'}, {nullptr, "verdict", 's'},
    {nullptr, "verdict_why", 's'}, {nullptr, "fingerprint", 's'}, {"machine", "cpu_model", 's'},
    {nullptr, "st", 'n'}, {nullptr, "mt", 'n'}, {nullptr, "scaling", 'n'}, {nullptr, "pct", 'n'},
    {nullptr, "ncpu", 'n'}, {nullptr, "max_mhz", 'n'}, {nullptr, "thermal_c", 'n'}, {nullptr, "index_st", 'n'},
    {nullptr, "spread", 'n'}, {nullptr, "target", 'n'}, {nullptr, "converged", 'n'}, {nullptr, "duration", 'n'},
    {"index", "st", 'n'}, {"index", "mt", 'n'}, {"convergence", "precision", 'n'}, {"convergence", "rounds", 'n'},
    {"thermal", "peak_c", 'n'}, {"isa", "avx2", 'n'}, {"isa", "sse2", 'n'}, {nullptr, "hybrid", 'b'},
};

std::string jq_program() {
  std::string prog = "[";
  for (const Query& q : kQueries) {
    const std::string path = q.outer ? std::string(".") + q.outer + "." + q.key : std::string(".") + q.key;
    const std::string value = "(try (" + path + ") catch null)";
    prog += "(";
    if (q.kind == 's')
      prog += value + " | if type == \"string\" then gsub(\"[\\n\\t]\"; \" \") | @base64 else \"\" end";
    else if (q.kind == 'n')
      prog += value + " | if type == \"number\" then tostring else \"0\" end";
    else
      prog += value + " | if . == true then \"1\" else \"0\" end";
    prog += "), ";
  }
  // For result events: the subtest names in order and the sum of their st.
  prog += "(if .event == \"result\" then ([.subtests[]? | .name] | join(\",\") | @base64) else \"\" end), ";
  prog += "(if .event == \"result\" then ([.subtests[]? | .st] | add // 0 | tostring) else \"0\" end)";
  return prog + "] | join(\"\\t\")";
}

bool same_number(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fmax(1.0, std::fabs(a)); }

TEST(EventReaderJq, MembersAgreeWithJq) {
  if (std::system("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "jq is not installed";
  std::vector<std::string> lines = {
      START, SUBTEST, ROUND, RESULT,
      R"({"event":"start","cpu_model":"Caf\u00e9 \"quoted\" back\\slash\ttab\nnl \/ \u20ac","ncpu":4,"hybrid":true,"isa":{"avx2":1,"sse2":0}})",
      R"({ "event" : "subtest" , "name" : "x\/y" , "st" : 1.5e2 , "mt" : -3 , "nested" : {"st": 99, "arr": [1, {"st": 5}, "]}"]} })",
      R"({"event":"subtest","nested":{"name":"inner"},"name":"outer","st":"12","mt":null,"scaling":[0.5]})",
      R"({"event":"round","spread":1e-5,"target":0.0150,"converged":1,"index_st":-0.0})",
      R"({"event":"result","verdict":"clean","verdict_why":"\u00e9\u00e8 \u20ac {\"x\":[1]}","index":{"st":1,"mt":2},"convergence":[1,2],"thermal":"hot","subtests":[{"name":"a","st":1.25},{"name":"b","st":2}]})",
      R"({"event":"progress","pct":100,"name":"","isa":"avx512"})",
      R"({"event":"start"})",
      R"({"name":"no event","st":5,"index":{"st":{"deep":1}},"machine":{"cpu_model":7}})",
      R"({"a":"\\","b":"\"}{","st":6,"max_mhz":123456789012,"thermal_c":-12.5e-1})",
      R"({"event":"result","subtests":[],"index":{"mt":{"st":3},"st":4},"duration":1E2})",
      R"({"isa":{"avx2":true,"sse2":"1"},"hybrid":false,"event":"start"})",
  };
  const bool can_run = geteuid() == 0 && std::system("unshare --mount --propagation private true 2>/dev/null") == 0;
  if (can_run) {
    // The program's own events, from a probe and a short full run in a private mount namespace.
    // It runs by a path relative to its directory, which stays reachable even when the build
    // lives under the /tmp that the namespace replaces.
    const std::string out = run_command(
        "cd \"$(dirname " TFX_BINARY ")\" && unshare --mount --propagation private sh -c "
        "'mount -t tmpfs tmpfs /tmp || exit 1; ./tallyfox --probe --json </dev/null 2>/dev/null; "
        "TFX_CLI_CONSENT=1 ./tallyfox --full --json --seconds 0.02 --quiesce none --subtests int_scalar "
        "</dev/null 2>/dev/null'");
    int own = 0;
    for (const std::string& l : split(out, '\n'))
      if (!l.empty()) {
        lines.push_back(l);
        ++own;
      }
    EXPECT_GT(own, 10) << "the program wrote too few events";
  } else {
    std::printf("note: not root or no mount namespaces; only hand-made lines are compared\n");
    const char* required = std::getenv("TFX_E2E_REQUIRED");
    if (required != nullptr && std::strcmp(required, "1") == 0)
      ADD_FAILURE() << "the program's own events could not be read: needs root and mount namespaces";
  }

  char path[] = "/tmp/tfx_jq_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* f = fdopen(fd, "w");
  for (const std::string& l : lines) std::fprintf(f, "%s\n", l.c_str());
  std::fclose(f);
  std::string prog = jq_program();
  std::string quoted;
  for (char c : prog) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string jq_out = run_command("jq -r '" + quoted + "' " + path);
  unlink(path);
  const std::vector<std::string> rows = split(jq_out, '\n');
  ASSERT_GE(rows.size(), lines.size()) << jq_out;

  constexpr std::size_t N = sizeof kQueries / sizeof kQueries[0];
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::vector<std::string> want = split(rows[i], '\t');
    ASSERT_EQ(want.size(), N + 2) << line;
    for (std::size_t q = 0; q < N; ++q) {
      const Query& k = kQueries[q];
      std::string_view object = line;
      if (k.outer && !json_member(line, k.outer, &object)) object = {};
      if (k.kind == 's') {
        char got[4096];
        json_string(object, k.key, got, sizeof got);
        EXPECT_EQ(std::string(got), base64_decode(want[q])) << k.key << " in " << line;
      } else if (k.kind == 'n') {
        const double got = json_number(object, k.key);
        EXPECT_TRUE(same_number(got, std::strtod(want[q].c_str(), nullptr)))
            << k.key << ": reader " << got << ", jq " << want[q] << " in " << line;
      } else {
        std::string_view v;
        const bool got = json_member(object, k.key, &v) && v.substr(0, 4) == "true";
        EXPECT_EQ(got, want[q] == "1") << line;
      }
    }
    DashModel m{};
    dash_handle_line(m, line, 1.0);
    if (m.result_received) {
      std::string names;
      double sum = 0;
      for (int r = 0; r < m.row_count; ++r) {
        names += (r ? "," : "") + std::string(m.rows[r].name);
        sum += m.rows[r].st;
      }
      EXPECT_EQ(names, base64_decode(want[N])) << line;
      EXPECT_TRUE(same_number(sum, std::strtod(want[N + 1].c_str(), nullptr))) << line;
    }
  }
}

}  // namespace
