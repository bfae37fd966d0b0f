#pragma once
// The parsed command line and the consent gate of a full run.
#include <bitset>
#include <cstdint>

enum RunMode : int { MODE_PROBE = 0, MODE_FULL = 1 };
enum UiKind : int { UI_TEXT = 0, UI_JSON = 1, UI_DASHBOARD = 2 };
enum QuiesceLevel : int { QUIESCE_NONE = 0, QUIESCE_RT = 1, QUIESCE_ISOLATE = 2 };
enum Profile : int { PROFILE_QUICK = 0, PROFILE_STANDARD = 1, PROFILE_THOROUGH = 2 };

constexpr const char* TOOL_NAME = "tallyfox";
constexpr const char* TOOL_VERSION = "0.1.1";
constexpr const char* UNLOCK_FILE = "/etc/config/tallyfox.allow-full";
constexpr int CPU_MASK_BITS = 1024;

constexpr double DEFAULT_MIN_CHANGE_PCT = 2.0;  // --compare: changes below this never count

struct RunConfig {
  int mode;
  int ui;
  int quiesce;
  int profile;
  int colour256;
  int accept_risk;
  int unrestricted;
  double seconds;          // per-phase seconds; also sizes the time budget
  int seconds_given;
  int quiesce_given;
  std::bitset<CPU_MASK_BITS> cpu_mask;
  int cpus_given;
  char subtest_filter[256];
  int subtests_given;        // --subtests was on the command line (an empty list is an error)
  int converge_undisturbed;  // the rounds converge on the undisturbed index, not the delivered one
  // --compare OLD NEW, or --compare OLD... --vs NEW...: the saved streams (or folders of them) of
  // each side, argv's own text; compare_old is null when no comparison was asked for.
  char* const* compare_old;
  int compare_old_count;
  char* const* compare_new;
  int compare_new_count;
  double min_change_pct;     // --min-change: the smallest change that counts, %
  int min_change_given;
  const char* save_path;     // --save FILE (argv's own text), else null
};

extern RunConfig g_config;
// Set by --yes; consent only, not part of the configuration.
extern int g_yes_given;

// Outcome of parsing: go on, or end the process with this status.
constexpr int PARSE_GO_ON = -1;

void reset_config();
void detect_terminal();
// Applies the options in order; prints usage or version itself. Returns PARSE_GO_ON or 0/1.
int parse_command_line(int argc, char** argv);
// A CPU list: numbers and ranges ("0-3,8") and nothing else. False, with the mask empty, for any
// other text.
bool parse_cpu_list(const char* text);
// The consent gate; returns PARSE_GO_ON or 1 (after printing the refusal).
int confirm_full_run(int yes_given);
const char* mode_name(int mode);
const char* profile_name(int profile);
const char* quiesce_name(int quiesce);
double profile_seconds(int profile);
// Whole-name match of a subtest against the --subtests filter (an empty filter selects all).
bool filter_selects(const char* filter, const char* name);
