#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include <unistd.h>

#include "run/config.h"

namespace {

// The arguments live on until the next call, as a process's argv does: the configuration keeps
// pointers into them (--compare, --save).
int parse(std::vector<std::string> args) {
  reset_config();
  static std::vector<std::string> text;
  static std::vector<char*> argv;
  text = std::move(args);
  argv.clear();
  static std::string prog = "tallyfox";
  argv.push_back(prog.data());
  for (auto& a : text) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  const int r = parse_command_line(static_cast<int>(argv.size()), argv.data());
  testing::internal::GetCapturedStdout();
  return r;
}

std::string selected_cpus() {
  std::string s;
  for (int i = 0; i < CPU_MASK_BITS; ++i)
    if (g_config.cpu_mask.test(static_cast<std::size_t>(i))) s += std::to_string(i) + " ";
  return s;
}

TEST(CommandLine, InitialValues) {
  reset_config();
  EXPECT_EQ(g_config.mode, MODE_FULL);
  EXPECT_EQ(g_config.ui, UI_TEXT);
  EXPECT_EQ(g_config.quiesce, QUIESCE_NONE);
  EXPECT_EQ(g_config.profile, PROFILE_STANDARD);
  EXPECT_DOUBLE_EQ(g_config.seconds, 2.0);
  EXPECT_EQ(g_config.subtest_filter[0], '\0');
}

TEST(CommandLine, OptionsApplyInOrder) {
  EXPECT_EQ(parse({"--probe", "--json"}), PARSE_GO_ON);
  EXPECT_EQ(g_config.mode, MODE_PROBE);
  EXPECT_EQ(g_config.ui, UI_JSON);

  parse({"--ui", "--json"});
  EXPECT_EQ(g_config.ui, UI_JSON);
  parse({"--json", "--ui2"});
  EXPECT_EQ(g_config.ui, UI_DASHBOARD);
  EXPECT_EQ(g_config.colour256, 1);

  parse({"--profile", "quick", "--seconds", "0.25"});
  EXPECT_DOUBLE_EQ(g_config.seconds, 0.25);
  EXPECT_EQ(g_config.seconds_given, 1);
  parse({"--seconds", "0.25", "--profile", "quick"});
  EXPECT_DOUBLE_EQ(g_config.seconds, 1.0);
  EXPECT_EQ(g_config.seconds_given, 1);
  parse({"--profile", "thorough"});
  EXPECT_DOUBLE_EQ(g_config.seconds, 6.0);
  parse({"--profile", "turbo"});
  EXPECT_EQ(g_config.profile, PROFILE_STANDARD);
  // Text that is no number of seconds is refused, not read as 0.
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--seconds", "abc"}), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(g_config.seconds_given, 0);

  parse({"--quiesce", "rt"});
  EXPECT_EQ(g_config.quiesce, QUIESCE_RT);
  parse({"--quiesce", "isolate", "--quiesce", "bogus"});
  EXPECT_EQ(g_config.quiesce, QUIESCE_NONE);
  EXPECT_EQ(g_config.quiesce_given, 1);

  parse({"--yes", "--unrestricted", "--i-accept-the-risk"});
  EXPECT_EQ(g_yes_given, 1);
  EXPECT_EQ(g_config.unrestricted, 1);
  EXPECT_EQ(g_config.accept_risk, 1);

  parse({"--converge", "undisturbed"});
  EXPECT_EQ(g_config.converge_undisturbed, 1);
  parse({"--converge", "undisturbed", "--converge", "delivered"});
  EXPECT_EQ(g_config.converge_undisturbed, 0);

  parse({"--subtests", std::string(300, 'a')});
  EXPECT_EQ(std::string(g_config.subtest_filter).size(), 255u);
}

TEST(CommandLine, ErrorsEndParsing) {
  EXPECT_EQ(parse({"--help"}), 0);
  EXPECT_EQ(parse({"-h"}), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--frobnicate", "--help"}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tallyfox: unknown option --frobnicate (see --help)\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--probe", "--seconds"}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tallyfox: --seconds takes a value (see --help)\n");
  EXPECT_EQ(parse({"--seconds"}), 1);
  EXPECT_EQ(parse({"--probe", "--cpus"}), 1);
  EXPECT_EQ(parse({"--seconds=1"}), 1);
  EXPECT_EQ(parse({"--prob"}), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--converge", "calm"}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tallyfox: --converge takes delivered or undisturbed, not \"calm\"\n");
  // Nothing after the bad argument is read.
  EXPECT_EQ(parse({"--bogus", "--probe"}), 1);
  EXPECT_EQ(g_config.mode, MODE_FULL);
}

// A comparison measures nothing: --json is its only option, and a run's option is refused
// rather than ignored, wherever it stands.
TEST(CommandLine, CompareTakesOnlyJson) {
  EXPECT_EQ(parse({"--json", "--compare", "a", "b"}), PARSE_GO_ON);
  EXPECT_EQ(parse({"--compare", "a", "b", "--json"}), PARSE_GO_ON);
  EXPECT_EQ(g_config.ui, UI_JSON);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--compare", "a", "b", "--seconds", "3"}, {"--subtests", "lz4", "--compare", "a", "b"},
           {"--compare", "a", "b", "--save", "c"}}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(args), 1) << args[3];
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("--compare reads saved runs and takes only --json and --min-change, not --"), std::string::npos) << err;
  }
}

// --compare OLD NEW stays as it was; --vs divides several runs a side; the operands run up to the
// next option. --min-change is a comparison's option only, and a percentage.
TEST(CommandLine, CompareSidesAndMinChange) {
  EXPECT_EQ(parse({"--compare", "a", "b"}), PARSE_GO_ON);
  EXPECT_EQ(g_config.compare_old_count, 1);
  EXPECT_EQ(g_config.compare_new_count, 1);
  EXPECT_STREQ(g_config.compare_new[0], "b");
  EXPECT_DOUBLE_EQ(g_config.min_change_pct, 2.0);

  EXPECT_EQ(parse({"--compare", "a", "b", "c", "--vs", "d", "e", "--json", "--min-change", "3.5"}), PARSE_GO_ON);
  EXPECT_EQ(g_config.compare_old_count, 3);
  EXPECT_EQ(g_config.compare_new_count, 2);
  EXPECT_STREQ(g_config.compare_old[2], "c");
  EXPECT_STREQ(g_config.compare_new[0], "d");
  EXPECT_STREQ(g_config.compare_new[1], "e");
  EXPECT_EQ(g_config.ui, UI_JSON);
  EXPECT_DOUBLE_EQ(g_config.min_change_pct, 3.5);
  EXPECT_EQ(parse({"--compare", "dir-a", "--vs", "dir-b"}), PARSE_GO_ON);
  EXPECT_EQ(g_config.compare_old_count, 1);

  const struct {
    std::vector<std::string> args;
    const char* message;
  } refused[] = {
      {{"--compare", "a"}, "--compare takes two saved runs (--compare OLD NEW) or several a side"},
      {{"--compare", "a", "b", "c"}, "--compare takes two saved runs"},
      {{"--compare", "a", "--vs"}, "--compare takes two saved runs"},
      {{"--compare", "--vs", "b"}, "--compare takes two saved runs"},
      {{"--compare", "a", "b", "--min-change", "-1"}, "--min-change -1 is out of range"},
      {{"--compare", "a", "b", "--min-change", "nan"}, "--min-change nan is out of range"},
      {{"--compare", "a", "b", "--min-change", "2x"}, "--min-change 2x is out of range"},
      {{"--compare", "a", "b", "--min-change"}, "--min-change takes a value"},
      {{"--min-change", "2", "--probe"}, "--min-change applies to --compare only"},
  };
  for (const auto& c : refused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(c.args), 1) << c.message;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

// Values the deadline, its timer, the alarm and the CPU-time limit cannot hold are refused with a
// one-line reason on standard error, and nothing after them is read; the bounds themselves pass.
TEST(CommandLine, SecondsOutOfRange) {
  const struct {
    const char* value;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"inf", "is not a number"},  {"-inf", "is not a number"}, {"nan", "is not a number"},
      {"1e300", "is not a number"}, {"-1e300", "is not a number"}, {"-0.5", "is not a number"},
      {"abc", "is not a number"},  {"", "is not a number"},      {"1,5", "is not a number"},
      {"0x10", "is not a number"}, {"0.6x", "is not a number"}, {" 1", "is not a number"},
      {"1.2.3", "is not a number"}, {".", "is not a number"},
      {"300.001", "is out of range"}, {"0", "is out of range"}, {"0.000", "is out of range"},
      {"0.009", "is out of range"}, {"1000000000000", "is out of range"}, {"1e1", "is not a number"},
      {"300", nullptr}, {"0.05", nullptr}, {".5", nullptr}, {"2.", nullptr}, {"0.01", nullptr},
      {"00.5", nullptr}, {"0.6000000000000", nullptr},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const int r = parse({"--seconds", c.value, "--probe"});
    const std::string err = testing::internal::GetCapturedStderr();
    if (!c.refusal) {
      EXPECT_EQ(r, PARSE_GO_ON) << c.value;
      EXPECT_EQ(err, "") << c.value;
      EXPECT_EQ(g_config.mode, MODE_PROBE) << c.value;
    } else {
      EXPECT_EQ(r, 1) << c.value;
      EXPECT_EQ(err.rfind(std::string("tallyfox: --seconds ") + c.value + " " + c.refusal, 0), 0u) << err;
      EXPECT_EQ(g_config.mode, MODE_FULL) << c.value;
      EXPECT_EQ(g_config.seconds_given, 0) << c.value;
    }
  }
  parse({"--seconds", "2.", "--probe"});
  EXPECT_DOUBLE_EQ(g_config.seconds, 2.0);
  parse({"--seconds", ".25", "--probe"});
  EXPECT_DOUBLE_EQ(g_config.seconds, 0.25);
  parse({"--seconds", "0.3", "--probe"});
  EXPECT_EQ(g_config.seconds, 0.3);  // read as the nearest double, like any decimal
}

// A full run's first round must fit the 300 s limit of the rounds: two phases of every selected
// subtest. A probe measures no rounds.
TEST(CommandLine, FirstRoundFitsTheTimeLimit) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--full", "--seconds", "60"}), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("--seconds 60 is too long: one round of 9 subtests (two phases each) would take 1080.0 s, "
                     "beyond the rounds' 300 s limit; at most 16.66 s per phase for these"),
            std::string::npos)
      << err;
  EXPECT_EQ(parse({"--full", "--seconds", "60", "--subtests", "int_scalar,sha256"}), PARSE_GO_ON);
  EXPECT_EQ(parse({"--full", "--seconds", "16.6"}), PARSE_GO_ON);
  EXPECT_EQ(parse({"--probe", "--seconds", "300"}), PARSE_GO_ON);
  EXPECT_EQ(parse({"--full", "--seconds", "150", "--subtests", "sha256"}), PARSE_GO_ON);
  EXPECT_EQ(parse({"--full", "--seconds", "60", "--profile", "quick"}), PARSE_GO_ON);  // the profile's 1 s
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--full", "--seconds", "150.1", "--subtests", "sha256"}), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("one round of 1 subtest (two phases each) would take 300.2 s"),
            std::string::npos);
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--full", "--seconds", "16.7"}), 1);
  testing::internal::GetCapturedStderr();
  // A comparison names its own refusal first.
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--compare", "a", "b", "--seconds", "60"}), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("--compare reads saved runs"), std::string::npos);
}

TEST(CommandLine, CpuLists) {
  // Numbers and ranges, comma separated; anything else is refused whole (status 1, nothing
  // selected). CPUs beyond the mask's 256 select nothing, which the run then says.
  struct Case {
    const char* text;
    bool valid;
    const char* cpus;  // nullptr: 2 to 255
  };
  const Case cases[] = {
      {"0-3,8", true, "0 1 2 3 8 "}, {"2-300", true, nullptr}, {"300", true, ""},  {"5", true, "5 "},
      {"7,7,1-2", true, "1 2 7 "},   {"1023", true, ""},       {"3-1", false, ""}, {"1,x,2", false, ""},
      {"", false, ""},               {"-4", false, ""},        {" 3", false, ""},  {"4-", false, ""},
      {"1x", false, ""},             {"abc", false, ""},       {"1,", false, ""},  {"1,,2", false, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    const int status = parse({"--cpus", c.text});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.valid ? PARSE_GO_ON : 1) << c.text;
    EXPECT_EQ(g_config.cpus_given, c.valid ? 1 : 0) << c.text;
    if (!c.valid) {
      EXPECT_EQ(err, std::string("tallyfox: --cpus ") + c.text + " is not a CPU list (numbers and ranges, e.g. 0-3,8)\n");
    } else if (c.cpus) {
      EXPECT_EQ(selected_cpus(), c.cpus) << c.text;
    } else {
      EXPECT_EQ(g_config.cpu_mask.count(), 254u) << c.text;
      EXPECT_TRUE(g_config.cpu_mask.test(2) && g_config.cpu_mask.test(255) && !g_config.cpu_mask.test(256));
    }
  }
}

// A typo or an empty selection is one line naming it, never an empty benchmark.
TEST(CommandLine, SubtestNamesAreChecked) {
  struct Case {
    const char* text;
    const char* said;  // nullptr: accepted
  };
  const Case cases[] = {
      {"int_scalar,sha256", nullptr},
      {"foo", "tallyfox: --subtests: unknown \"foo\" (the subtests: int_scalar,"},
      {"foo,sha256,bar", "tallyfox: --subtests: unknown \"foo\", \"bar\" (the subtests: "},
      {"sha", "unknown \"sha\""},
      {"", "tallyfox: --subtests selected nothing (the subtests: int_scalar,"},
      {",", "tallyfox: --subtests: unknown \"\""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    const int status = parse({"--full", "--subtests", c.text});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.said ? 1 : PARSE_GO_ON) << c.text;
    if (c.said) {
      EXPECT_NE(err.find(c.said), std::string::npos) << c.text << ": " << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    } else {
      EXPECT_EQ(err, "");
    }
  }
}

TEST(CommandLine, SubtestFilterMatchesWholeNames) {
  EXPECT_TRUE(filter_selects("", "lz4"));
  EXPECT_TRUE(filter_selects("sha256,lz4", "lz4"));
  EXPECT_TRUE(filter_selects("sha256,lz4", "sha256"));
  EXPECT_FALSE(filter_selects("sha", "sha256"));
  EXPECT_FALSE(filter_selects("int_scalar, sha256", "sha256"));
  EXPECT_TRUE(filter_selects("int_scalar, sha256", "int_scalar"));
}

TEST(CommandLine, Names) {
  EXPECT_STREQ(mode_name(MODE_PROBE), "probe");
  EXPECT_STREQ(mode_name(MODE_FULL), "full");
  EXPECT_STREQ(mode_name(7), "full");
  EXPECT_DOUBLE_EQ(profile_seconds(PROFILE_QUICK), 1.0);
  EXPECT_DOUBLE_EQ(profile_seconds(PROFILE_STANDARD), 2.0);
  EXPECT_DOUBLE_EQ(profile_seconds(PROFILE_THOROUGH), 6.0);
}

TEST(ConsentGate, YesAndEnvironment) {
  reset_config();
  unsetenv("TFX_CLI_CONSENT");
  EXPECT_EQ(confirm_full_run(1), PARSE_GO_ON);
  ASSERT_NE(std::getenv("TFX_CLI_CONSENT"), nullptr);
  EXPECT_STREQ(std::getenv("TFX_CLI_CONSENT"), "1");

  setenv("TFX_CLI_CONSENT", "", 1);
  EXPECT_EQ(confirm_full_run(0), PARSE_GO_ON);
  unsetenv("TFX_CLI_CONSENT");

  if (!isatty(0) || !isatty(1)) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(confirm_full_run(0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tallyfox: full run not started (answer y, or pass --yes; --probe is the 3-second reading)\n");
  }
}

}  // namespace
