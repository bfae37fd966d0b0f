#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "events/event_reader.h"
#include "events/json_check.h"

namespace {

// Event lines in the shape tallyfox writes them.
const char* const START =
    R"({"event":"start","tool":"tallyfox","tool_version":"0.1.1","mode":"full","cpu_model":"Test CPU","ncpu":2,"ncores":2,"p_cores":2,"e_cores":0,"p_threads":2,"e_threads":0,"hybrid":false,"isa":{"sse2":1,"sse42":1,"avx":0,"avx2":0,"avx512f":0,"sha_ni":0,"aes_ni":0,"neon":0,"arm_crc":0,"arm_sha2":0,"arm_aes":0,"sve":0},"isolcpus":"","rt_runtime_us":950000,"cur_mhz":0,"max_mhz":3600,"thermal_c":41.0,"fingerprint":"GNU-12.2.0 -O2 sha256:0123456789abcdef"})";
const char* const SUBTEST =
    R"({"event":"subtest","name":"int_scalar","isa":"base","unit":"Mops","st":219.7,"mt":863.5,"scaling":1.965,"st_wait_pct":2.02,"mt_wait_pct":106.73,"mt_wait_agg":38.98,"nivcsw":24,"khz_lo":0,"khz_hi":0,"st_stall_pct":0.00,"mt_stall_pct":0.00,"mt_stall_agg":0.00,"stall_ms":0.0,"st_undisturbed":220.1,"mt_undisturbed":870.2,"st_late_start_ms":0.0,"mt_late_start_ms":0.3})";
const char* const ROUND =
    R"({"event":"round","round":1,"index_st":1490.7,"index_mt":2981.4,"spread":1.0000,"target":0.0150,"converged":0,"elapsed":1.00,"index_st_undisturbed":1491.0,"index_mt_undisturbed":2990.2})";
const char* const RESULT =
    R"({"event":"result","tool":"tallyfox","tool_version":"0.1.1","mode":"full","verdict":"clean","verdict_why":"runqueue wait 0.10%, freq stable, thermal max 0.0°C","machine":{"cpu_model":"Test CPU","ncpu":2,"ncores":2,"p_cores":2,"e_cores":0,"p_threads":2,"e_threads":0,"max_mhz":0},"index":{"st":1495.7,"mt":2991.4,"n":2,"ref_version":1,"unit":1000,"st_undisturbed":1496.0,"mt_undisturbed":2992.0,"converge":"delivered"},"convergence":{"rounds":5,"spread":0.0200,"precision":0.0200,"target":0.0150,"converged":0},"thermal":{"peak_c":0.0,"clock_ratio":1.000,"limited":0},"quiesce":"rt","isolcpus":"","profile":"standard","cpus_used":2,"fingerprint":"GNU","duration":6.00,"subtests":[{"name":"int_scalar","isa":"base","unit":"Mops","st":1003.0,"mt":2006.0,"scaling":1.000,"st_under_load":1.000,"st_undisturbed":1003.0,"mt_undisturbed":2006.0,"st_stall_pct":0.00,"mt_stall_agg":0.00},{"name":"sha256","isa":"soft","unit":"MB/s","st":401.5,"mt":803.0,"scaling":1.000,"st_under_load":1.000,"st_undisturbed":401.5,"mt_undisturbed":803.0,"st_stall_pct":0.00,"mt_stall_agg":0.00}],"stalls":{"pct":0.00,"longest_ms":0.0,"threshold_pct":5.00},"all_core_note":""})";

// The line with the value of the first member key after the text after (up to the next ',' or
// '}') replaced.
std::string with(const char* line, const std::string& member, const std::string& value, const char* after = "") {
  std::string s = line;
  const std::size_t at = s.find("\"" + member + "\":", s.find(after));
  if (at == std::string::npos) return "member " + member + " not in the line";
  const std::size_t from = at + member.size() + 3;
  s.replace(from, s.find_first_of(",}", from) - from, value);
  return s;
}

// A 1e12 neighbour: 1e12 + 2^-14 is halfway between 1e12 and the next double and rounds to 1e12
// (ties to even); a nonzero digit far past it, beyond the digits kept for strtod, rounds up.
std::string halfway_above_1e12(bool nonzero_tail) {
  return "{\"st\":1000000000000.00006103515625" + std::string(900, '0') + (nonzero_tail ? "1" : "0") + "}";
}

struct Case {
  const char* name;
  std::string line;
  const char* key;   // null: the line is fine
  const char* word;  // a word of what
};

class JsonCheckCases : public ::testing::TestWithParam<Case> {};

TEST_P(JsonCheckCases, FaultAndPlace) {
  const Case& c = GetParam();
  ASSERT_TRUE(json_object_valid(c.line)) << c.line.substr(0, 200);
  LineFault f{};
  const bool faulty = event_line_fault(c.line, &f);
  if (c.key == nullptr) {
    EXPECT_FALSE(faulty) << f.key << ": " << f.what;
    return;
  }
  ASSERT_TRUE(faulty);
  EXPECT_STREQ(f.key, c.key) << f.what;
  EXPECT_NE(std::string(f.what).find(c.word), std::string::npos) << f.what;
}

const Case kCases[] = {
    // Lines as tallyfox writes them pass, and so do the values it writes that look odd.
    {"start", START, nullptr, ""},
    {"subtest", SUBTEST, nullptr, ""},
    {"round", ROUND, nullptr, ""},
    {"result", RESULT, nullptr, ""},
    {"rt_runtime_unlimited", with(START, "rt_runtime_us", "-1"), nullptr, ""},
    {"thermal_minus_zero", with(START, "thermal_c", "-0.0"), nullptr, ""},
    {"thermal_below_zero", with(START, "thermal_c", "-5.5"), nullptr, ""},
    {"zero", with(ROUND, "index_st", "0"), nullptr, ""},
    {"zero_point_zero", with(ROUND, "index_st", "0.0"), nullptr, ""},
    {"minus_zero", with(ROUND, "index_st", "-0.0"), nullptr, ""},
    {"minus_zero_exponent", with(ROUND, "index_st", "-0e999"), nullptr, ""},
    {"change_pct", R"({"figures":[{"name":"index","change_pct":-3.1}]})", nullptr, ""},
    {"drift_pct", R"({"drift":{"pct":-2.5}})", nullptr, ""},
    {"drift_pct_in_array_object", R"({"drift":[{"pct":-2.5}],"rt_runtime_us":[-1]})", nullptr, ""},
    {"largest", with(SUBTEST, "st", "1e12"), nullptr, ""},
    {"largest_index", with(ROUND, "index_st", "1e7"), nullptr, ""},
    {"smallest", with(ROUND, "target", "0.000001"), nullptr, ""},
    {"halfway_rounds_to_1e12", halfway_above_1e12(false), nullptr, ""},
    {"number_text_in_string", R"({"verdict_why":"-1e999 \"},\"st\":-1","st":1})", nullptr, ""},
    {"same_key_in_other_objects", R"({"index":{"st":1,"n":{"st":2}},"st":3,"n":[{"st":4},{"st":5}]})", nullptr, ""},

    // Numbers strtod cannot hold, or that tallyfox never writes.
    {"overflow", with(ROUND, "index_st", "1e999"), "index_st", "finite number (1e999)"},
    {"negative_overflow", with(ROUND, "index_st", "-1e999"), "index_st", "finite number (-1e999)"},
    {"overflow_by_digits", with(ROUND, "index_st", "1" + std::string(400, '0')), "index_st", "finite number (1000"},
    {"large", with(ROUND, "index_mt", "1.5e12"), "index_mt", "large (1.5e12)"},
    // An index has its own bound: ten thousand times the reference machine.
    {"large_index", with(ROUND, "index_mt", "5e11"), "index_mt", "large (5e11)"},
    {"large_result_index", with(RESULT, "st", "10000001", "\"index\""), "index.st", "large (10000001)"},
    {"large_negative", with(START, "rt_runtime_us", "-1e300"), "rt_runtime_us", "large"},
    {"large_past_halfway", halfway_above_1e12(true), "st", "large"},
    {"subnormal", with(ROUND, "index_st", "1e-320"), "index_st", "small (1e-320)"},
    {"underflow_to_zero", with(ROUND, "index_st", "1e-400"), "index_st", "small"},
    {"negative_underflow", with(START, "thermal_c", "-1e-400"), "thermal_c", "small"},
    {"small", with(ROUND, "target", "0.00000099"), "target", "small"},
    {"small_by_zeros", with(ROUND, "target", "0." + std::string(1000, '0') + "1"), "target", "small (0.000"},

    // Negative numbers outside the few members that may hold them.
    {"negative", with(ROUND, "index_st", "-3"), "index_st", "negative (-3)"},
    {"negative_in_array_object", with(RESULT, "st", "-0.5", "sha256"),
     "subtests.st", "negative (-0.5)"},
    {"negative_array_element", R"({"counts":[1,-2]})", "counts", "negative"},
    {"pct_outside_drift", with(RESULT, "pct", "-2.5"), "stalls.pct", "negative"},
    {"change_of_other_key", R"({"change":{"pct":-1}})", "change.pct", "negative"},

    // Duplicate keys, compared as a decoding reader sees them.
    {"duplicate", with(RESULT, "verdict", R"("clean","verdict":"slower")"), "verdict", "duplicate"},
    {"duplicate_escaped", with(RESULT, "verdict", R"("clean","verdic\u0074":"slower")"), "verdic\\u0074",
     "duplicate"},
    {"duplicate_nested", with(RESULT, "index", R"({"st":1,"st":2)"), "index.st", "duplicate"},
    {"duplicate_in_array_object", R"({"subtests":[{"st":1},{"st":2,"name":"a","st":3}]})", "subtests.st",
     "duplicate"},
    {"duplicate_with_blanks", "{ \"a\" : [ 1 ] ,\t\"b\":2, \"a\" : 3 }", "a", "duplicate"},
    {"duplicate_surrogate_pair", R"({"\ud83d\ude00":1,"😀":2})", "????",
     "duplicate"},

    // The first fault in the text is the one reported.
    {"value_before_duplicate", R"({"a":-1,"a":1})", "a", "negative"},
    {"duplicate_before_value", R"({"a":1,"a":-1})", "a", "duplicate"},
    {"nested_before_later", R"({"x":{"st":1e999},"x":1})", "x.st", "finite"},
};

INSTANTIATE_TEST_SUITE_P(EventLines, JsonCheckCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(JsonCheck, PathIsPrintableAndCut) {
  LineFault f{};
  // A key's bytes beyond printable ASCII could be terminal controls where the fault is shown.
  ASSERT_TRUE(event_line_fault("{\"temp\xc3\xa9\\u001b\":-1}", &f));
  EXPECT_STREQ(f.key, "temp??\\u001b");

  // As deep as json_object_valid lets a line nest: the path is cut, the fault still found.
  std::string deep;
  for (int k = 0; k < 30; ++k) deep += "{\"level\":";
  deep += "{\"st\":-1}" + std::string(30, '}');
  ASSERT_TRUE(json_object_valid(deep));
  ASSERT_TRUE(event_line_fault(deep, &f));
  EXPECT_EQ(std::string(f.key), std::string("level.level.level.level.level.level.level.level.level.level.lev"));
  EXPECT_NE(std::string(f.what).find("negative"), std::string::npos);
  EXPECT_TRUE(event_line_fault(deep, nullptr));
}

TEST(JsonCheck, RefusesTextThatIsNotOneObject) {
  for (const char* line : {"", "[1]", "{\"a\":1", "{\"a\":1}{}", "{\"a\":-}", "{\"a\":tru}"}) {
    LineFault f{};
    EXPECT_TRUE(event_line_fault(line, &f)) << line;
    EXPECT_STREQ(f.what, "not one well-formed JSON object") << line;
  }
}

// Every event in the saved streams that the comparison's tests read passes.
TEST(JsonCheck, SavedStreamsPass) {
  for (const char* name : {"base", "contended", "cut", "faster", "late", "probe", "refv2", "same"}) {
    std::ifstream in(std::string(TFX_FIXTURES) + "/streams/" + name + ".ndjson");
    ASSERT_TRUE(in.good()) << name;
    int events = 0;
    for (std::string line; std::getline(in, line);) {
      if (!json_object_valid(line)) continue;
      ++events;
      LineFault f{};
      EXPECT_FALSE(event_line_fault(line, &f)) << name << ": " << f.key << ": " << f.what;
    }
    EXPECT_GT(events, 0) << name;
  }
}

}  // namespace
