#include "run/config.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "machine/fingerprint.h"
#include "machine/paths.h"
#include "machine/topology.h"
#include "engine/round_state.h"
#include "subtests/registry.h"

RunConfig g_config;
int g_yes_given;

namespace {

// The value of a plain decimal ("0.6", "2", ".5"); -1 for any other text.
double plain_decimal(const char* text) {
  int digits = 0, dots = 0;
  for (const char* p = text; *p; ++p) {
    if (*p >= '0' && *p <= '9')
      ++digits;
    else if (*p == '.' && ++dots == 1)
      continue;
    else
      return -1;
  }
  if (digits == 0) return -1;
  // Digits and at most one dot: strtod reads it whole (the program never leaves the C locale).
  return std::strtod(text, nullptr);
}


// Every statement here is true of this build; the manual (docs/tallyfox.1), the README and the
// bash completion say the same.
constexpr const char* kUsageFormat =
    "%s v%s — per-core CPU assessment with a trust verdict\n"
    "\n"
    "Usage: %s [mode] [options]\n"
    "\n"
    "Modes:\n"
    "  --full            The benchmark, and the default: index rounds on the chosen\n"
    "                    CPUs until the index settles, up to about 5 minutes. It\n"
    "                    starts only with consent: --yes, TFX_CLI_CONSENT set (any\n"
    "                    value), --unrestricted with the unlock file, or y at the\n"
    "                    prompt on a terminal.\n"
    "  --probe           A 3-second capability reading: no index, verdict indicative\n"
    "  --compare OLD NEW Two saved runs: which figures changed beyond their noise\n"
    "                    (OLD... --vs NEW...: several a side; --min-change PCT)\n"
    "\n"
    "Output (default: the dashboard on a terminal, else a text summary):\n"
    "  --json            NDJSON events on stdout, one object per line\n"
    "  --ui, --ui2       The live dashboard in 16 or 256 colours; q stops the run\n"
    "                    (the result is still reported), t switches the colours\n"
    "  --save FILE       Also write the NDJSON events to FILE, whatever the output\n"
    "\n"
    "Options:\n"
    "  --yes             Consent to a full run without asking\n"
    "  --unrestricted    Consent, when the unlock file exists:\n"
    "                    %s\n"
    "  --quiesce LEVEL   none: the workers run at normal priority\n"
    "                    rt: at real-time priority, with one CPU left free on\n"
    "                      runs on 2 to 4 CPUs (the default of a full run)\n"
    "                    isolate: every other task moved off the run's CPUs, the\n"
    "                      workers at normal priority; rt in a probe or if refused\n"
    "  --i-accept-the-risk  Isolate even on degraded storage, iSCSI or VM hosts\n"
    "  --profile NAME    quick, standard (default) or thorough: the time limit\n"
    "  --seconds N       Seconds per phase of a full run, 0.01 to 300 (default 0.6)\n"
    "  --cpus LIST       Only these CPUs, e.g. 0-3,8\n"
    "  --subtests LIST   Only these subtests, e.g. int_scalar,sha256\n"
    "  --converge WHICH  delivered (default) or undisturbed (every pause left out)\n"
    "  --version         Print the version and the build fingerprint\n"
    "  --help, -h        Print this text\n"
    "\n"
    "Exit: 0 done, 1 error/refusal/watchdog, 2 untrusted, 3 slower, 128 child died\n"
    "The manual: man tallyfox\n";

void print_usage() {
  std::printf(kUsageFormat, TOOL_NAME, TOOL_VERSION, TOOL_NAME, UNLOCK_FILE);
  std::fflush(stdout);
}

enum OptionId {
  OPT_PROBE, OPT_FULL, OPT_JSON, OPT_UI, OPT_YES, OPT_UI2, OPT_UNRESTRICTED, OPT_QUIESCE,
  OPT_PROFILE, OPT_ACCEPT_RISK, OPT_SECONDS, OPT_CPUS, OPT_SUBTESTS, OPT_CONVERGE, OPT_SAVE,
};

struct OptionRow {
  const char* name;
  OptionId id;
  bool takes_value;
};

// Compared in this order; the first match applies.
constexpr OptionRow kOptions[] = {
    {"--probe", OPT_PROBE, false},       {"--full", OPT_FULL, false},
    {"--json", OPT_JSON, false},         {"--ui", OPT_UI, false},
    {"--yes", OPT_YES, false},           {"--ui2", OPT_UI2, false},
    {"--unrestricted", OPT_UNRESTRICTED, false},
    {"--quiesce", OPT_QUIESCE, true},    {"--profile", OPT_PROFILE, true},
    {"--i-accept-the-risk", OPT_ACCEPT_RISK, false},
    {"--seconds", OPT_SECONDS, true},    {"--cpus", OPT_CPUS, true},
    {"--subtests", OPT_SUBTESTS, true},
    {"--converge", OPT_CONVERGE, true},  {"--save", OPT_SAVE, true},
};
static_assert(sizeof kOptions / sizeof kOptions[0] == 15);

// A phase may last from 0 s to the rounds' whole time limit. Values outside, infinities and NaN
// are refused: the deadline, its timer, the alarm and the CPU-time limit are whole numbers of
// seconds derived from this one.
constexpr double MAX_PHASE_SECONDS = 300.0;
constexpr double MIN_PHASE_SECONDS = 0.01;

// Applies one option; false when its value is refused (the reason is printed).
bool apply_option(OptionId id, const char* value) {
  RunConfig& c = g_config;
  switch (id) {
    case OPT_PROBE: c.mode = MODE_PROBE; break;
    case OPT_FULL: c.mode = MODE_FULL; break;
    case OPT_JSON: c.ui = UI_JSON; break;
    case OPT_UI: c.ui = UI_DASHBOARD; c.colour256 = 0; break;
    case OPT_YES: g_yes_given = 1; break;
    case OPT_UI2: c.ui = UI_DASHBOARD; c.colour256 = 1; break;
    case OPT_UNRESTRICTED: c.unrestricted = 1; break;
    case OPT_QUIESCE:
      // An unknown level still runs, at the mildest one, and says so.
      c.quiesce = std::strcmp(value, "rt") == 0        ? QUIESCE_RT
                  : std::strcmp(value, "isolate") == 0 ? QUIESCE_ISOLATE
                                                       : QUIESCE_NONE;
      if (c.quiesce == QUIESCE_NONE && std::strcmp(value, "none") != 0)
        std::fprintf(stderr, "%s: --quiesce %s is not none, rt or isolate; using none\n", TOOL_NAME, value);
      c.quiesce_given = 1;
      break;
    case OPT_PROFILE:
      c.profile = std::strcmp(value, "quick") == 0      ? PROFILE_QUICK
                  : std::strcmp(value, "thorough") == 0 ? PROFILE_THOROUGH
                                                        : PROFILE_STANDARD;
      if (c.profile == PROFILE_STANDARD && std::strcmp(value, "standard") != 0)
        std::fprintf(stderr, "%s: --profile %s is not quick, standard or thorough; using standard\n", TOOL_NAME,
                     value);
      c.seconds = profile_seconds(c.profile);
      break;
    case OPT_ACCEPT_RISK: c.accept_risk = 1; break;
    case OPT_SECONDS: {
      // A plain decimal and nothing else: "abc", "1,5", "0x10" or "0.6x" would read as some other
      // number (or 0) and measure something nobody asked for.
      const double seconds = plain_decimal(value);
      if (seconds < 0) {
        std::fprintf(stderr, "%s: --seconds %s is not a number of seconds (a decimal such as 0.6)\n", TOOL_NAME,
                     value);
        return false;
      }
      // Shorter phases end before their workers could run a chunk: nothing would be measured.
      if (seconds < MIN_PHASE_SECONDS || seconds > MAX_PHASE_SECONDS) {
        std::fprintf(stderr, "%s: --seconds %s is out of range (seconds per phase, %.2f to %.0f)\n", TOOL_NAME,
                     value, MIN_PHASE_SECONDS, MAX_PHASE_SECONDS);
        return false;
      }
      c.seconds = seconds;
      c.seconds_given = 1;
      break;
    }
    case OPT_CPUS:
      if (!parse_cpu_list(value)) {
        std::fprintf(stderr, "%s: --cpus %s is not a CPU list (numbers and ranges, e.g. 0-3,8)\n", TOOL_NAME, value);
        return false;
      }
      c.cpus_given = 1;
      break;
    case OPT_SUBTESTS:
      std::snprintf(c.subtest_filter, sizeof c.subtest_filter, "%s", value);
      c.subtests_given = 1;
      break;
    case OPT_CONVERGE:
      if (std::strcmp(value, "delivered") != 0 && std::strcmp(value, "undisturbed") != 0) {
        std::fprintf(stderr, "tallyfox: --converge takes delivered or undisturbed, not \"%s\"\n", value);
        return false;
      }
      c.converge_undisturbed = std::strcmp(value, "undisturbed") == 0 ? 1 : 0;
      break;
    case OPT_SAVE: c.save_path = value; break;
  }
  return true;
}

}  // namespace

void reset_config() {
  g_config.mode = MODE_FULL;
  g_config.ui = UI_TEXT;
  g_config.quiesce = QUIESCE_NONE;
  g_config.profile = PROFILE_STANDARD;
  g_config.colour256 = 0;
  g_config.accept_risk = 0;
  g_config.unrestricted = 0;
  g_config.seconds = 2.0;
  g_config.seconds_given = 0;
  g_config.quiesce_given = 0;
  g_config.cpu_mask.reset();
  g_config.cpus_given = 0;
  g_config.subtest_filter[0] = '\0';
  g_config.subtests_given = 0;
  g_config.converge_undisturbed = 0;
  g_config.compare_old = nullptr;
  g_config.compare_old_count = 0;
  g_config.compare_new = nullptr;
  g_config.compare_new_count = 0;
  g_config.min_change_pct = DEFAULT_MIN_CHANGE_PCT;
  g_config.min_change_given = 0;
  g_config.save_path = nullptr;
  g_yes_given = 0;
}

void detect_terminal() {
  if (!isatty(0) || !isatty(1)) return;
  g_config.ui = UI_DASHBOARD;
  const char* colorterm = std::getenv("COLORTERM");
  const char* term = std::getenv("TERM");
  if (colorterm && colorterm[0] != '\0')
    g_config.colour256 = 1;
  else
    g_config.colour256 = (term && std::strstr(term, "256")) ? 1 : 0;
}

// Every name of --subtests is a subtest, and the list selects one at least: a typo would run an
// empty benchmark and report it as a result.
static bool subtests_known() {
  const char* filter = g_config.subtest_filter;
  if (filter[0] == '\0' && !g_config.subtests_given) return true;
  register_subtests();
  char known[512] = "";
  std::size_t len = 0;
  for (int i = 0; i < g_registry_count; ++i) {
    const int n = std::snprintf(known + len, sizeof known - len, "%s%s", i ? ", " : "", g_registry[i].name);
    if (n > 0) len = std::min(len + static_cast<std::size_t>(n), sizeof known - 1);
  }
  char unknown[256] = "";
  std::size_t ulen = 0;
  int selected = 0;
  for (const char* p = filter; *p;) {
    const char* comma = std::strchr(p, ',');
    const std::size_t n = comma ? static_cast<std::size_t>(comma - p) : std::strlen(p);
    char name[64];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(n < 63 ? n : 63), p);
    bool found = false;
    for (int i = 0; i < g_registry_count; ++i) found = found || std::strcmp(g_registry[i].name, name) == 0;
    if (found) {
      ++selected;
    } else {
      const int w = std::snprintf(unknown + ulen, sizeof unknown - ulen, "%s\"%s\"", ulen ? ", " : "", name);
      if (w > 0) ulen = std::min(ulen + static_cast<std::size_t>(w), sizeof unknown - 1);
    }
    p += n;
    if (*p == ',') ++p;
  }
  if (ulen > 0) {
    std::fprintf(stderr, "%s: --subtests: unknown %s (the subtests: %s)\n", TOOL_NAME, unknown, known);
    return false;
  }
  if (selected == 0) {
    std::fprintf(stderr, "%s: --subtests selected nothing (the subtests: %s)\n", TOOL_NAME, known);
    return false;
  }
  return true;
}

// The first round has to fit the round time limit: a run promises to end its rounds within it,
// and the limit is checked between rounds only.
static bool first_round_fits() {
  if (g_config.mode != MODE_FULL || !g_config.seconds_given) return true;
  register_subtests();
  int selected = 0;
  for (int i = 0; i < g_registry_count; ++i)
    if (filter_selects(g_config.subtest_filter, g_registry[i].name)) ++selected;
  const double round = 2.0 * selected * g_config.seconds;  // a single-thread and an all-core phase each
  if (selected == 0 || round <= ROUND_TIME_LIMIT) return true;
  std::fprintf(stderr,
               "%s: --seconds %g is too long: one round of %d subtest%s (two phases each) would take %.1f s, beyond "
               "the rounds' %.0f s limit; at most %.2f s per phase for %s\n",
               TOOL_NAME, g_config.seconds, selected, selected == 1 ? "" : "s", round, ROUND_TIME_LIMIT,
               std::floor(ROUND_TIME_LIMIT / (2.0 * selected) * 100) / 100, selected == 1 ? "it" : "these");
  return false;
}

int parse_command_line(int argc, char** argv) {
  const char* run_option = nullptr;  // the first option that only a run uses
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--compare") == 0) {
      // The saved runs of each side run up to the next option; --vs divides the sides.
      auto operands = [&](int from) {
        int k = from;
        while (k < argc && std::strncmp(argv[k], "--", 2) != 0) ++k;
        return k - from;
      };
      const int n_old = operands(i + 1);
      int n_new = 0;
      const bool vs = i + 1 + n_old < argc && std::strcmp(argv[i + 1 + n_old], "--vs") == 0;
      if (vs) n_new = operands(i + 2 + n_old);
      if (vs ? (n_old < 1 || n_new < 1) : n_old != 2) {
        std::fprintf(stderr,
                     "tallyfox: --compare takes two saved runs (--compare OLD NEW) or several a side "
                     "(--compare OLD... --vs NEW...)\n");
        return 1;
      }
      g_config.compare_old = argv + i + 1;
      g_config.compare_old_count = vs ? n_old : 1;
      g_config.compare_new = vs ? argv + i + 2 + n_old : argv + i + 2;
      g_config.compare_new_count = vs ? n_new : 1;
      i += vs ? 1 + n_old + n_new : 2;
      continue;
    }
    if (std::strcmp(arg, "--min-change") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: --min-change takes a value (a change in percent, 0 to 100)\n", TOOL_NAME);
        return 1;
      }
      const char* value = argv[++i];
      char* end = nullptr;
      const double pct = std::strtod(value, &end);
      if (end == value || *end != '\0' || !std::isfinite(pct) || pct < 0.0 || pct > 100.0) {
        std::fprintf(stderr, "%s: --min-change %s is out of range (a change in percent, 0 to 100)\n", TOOL_NAME,
                     value);
        return 1;
      }
      g_config.min_change_pct = pct;
      g_config.min_change_given = 1;
      continue;
    }
    const OptionRow* match = nullptr;
    for (const OptionRow& row : kOptions) {
      if (std::strcmp(arg, row.name) != 0) continue;
      if (row.takes_value && i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s takes a value (see --help)\n", TOOL_NAME, arg);
        return 1;
      }
      match = &row;
      break;
    }
    if (match) {
      const char* value = match->takes_value ? argv[++i] : nullptr;
      if (!apply_option(match->id, value)) return 1;
      if (match->id != OPT_JSON && !run_option) run_option = match->name;
      continue;
    }
    if (std::strcmp(arg, "--version") == 0) {
      compute_fingerprint();
      std::printf("%s %s\n%s\n", TOOL_NAME, TOOL_VERSION, g_fingerprint);
      std::fflush(stdout);
      return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      print_usage();
      return 0;
    }
    // A typo is named on one line; the whole usage would hide it.
    if (arg[0] == '-')
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", TOOL_NAME, arg);
    else
      std::fprintf(stderr, "%s: unexpected argument %s (see --help)\n", TOOL_NAME, arg);
    return 1;
  }
  // A comparison reads two saved runs and measures nothing, so an option of a run would be
  // silently ignored; say so instead.
  if (g_config.min_change_given && !g_config.compare_old) {
    std::fprintf(stderr, "%s: --min-change applies to --compare only\n", TOOL_NAME);
    return 1;
  }
  if (g_config.compare_old && run_option) {
    std::fprintf(stderr, "%s: --compare reads saved runs and takes only --json and --min-change, not %s\n", TOOL_NAME,
                 run_option);
    return 1;
  }
  if (!g_config.compare_old && !subtests_known()) return 1;
  if (!g_config.compare_old && !first_round_fits()) return 1;
  return PARSE_GO_ON;
}

bool parse_cpu_list(const char* text) {
  g_config.cpu_mask.reset();
  // A number of at most 9 digits at p; -1 when there is none.
  auto number = [](const char*& p) {
    long v = -1;
    for (int digits = 0; *p >= '0' && *p <= '9'; ++p, ++digits) v = digits < 9 ? (v < 0 ? 0 : v) * 10 + (*p - '0') : v;
    return v;
  };
  const char* p = text;
  do {
    const long a = number(p);
    long b = a;
    if (*p == '-') {
      ++p;
      b = number(p);
    }
    if (a < 0 || b < a || (*p != ',' && *p != '\0')) {
      g_config.cpu_mask.reset();
      return false;
    }
    // CPU ids beyond the machines the program reads (MAX_CPUS) select nothing.
    for (long k = a; k <= b && k < MAX_CPUS && k < CPU_MASK_BITS; ++k) g_config.cpu_mask.set(static_cast<std::size_t>(k));
  } while (*p++ == ',');
  return true;
}

int confirm_full_run(int yes_given) {
  bool consent = yes_given != 0;
  if (!consent && std::getenv("TFX_CLI_CONSENT") != nullptr) consent = true;
  if (!consent && g_config.unrestricted) {
    char path[512];
    if (make_path(path, sizeof path, "%s", UNLOCK_FILE) >= 0 && access(path, F_OK) == 0) consent = true;
  }
  if (!consent && isatty(0) && isatty(1)) {
    const bool none = g_config.quiesce_given && g_config.quiesce == QUIESCE_NONE;
    const char* sentence =
        none ? "The workers run at normal priority (--quiesce none)."
             : "The workers run at real-time priority, so services on this machine (shares, apps,\n"
               "  VMs) answer slowly or time out while it runs. --quiesce none avoids that.";
    // Which cores: at real-time priority a run on 2 to 4 CPUs leaves one free.
    int selected = 0;
    for (int i = 0; i < g_machine.ncpu; ++i)
      if (!g_config.cpus_given || g_config.cpu_mask.test(static_cast<std::size_t>(g_machine.cpu_ids[i]))) ++selected;
    const bool rt = !g_config.quiesce_given || g_config.quiesce == QUIESCE_RT;
    const char* cores = rt && selected >= 2 && selected <= 4 ? "Every selected core but one is"
                        : g_config.cpus_given                 ? "Every selected core is"
                                                              : "Every core is";
    std::printf(
        "%s: full benchmark (CPU stress)\n"
        "  %s loaded in rounds until the score stops moving: up to about %.0f minutes.\n"
        "  %s\n"
        "  q in the dashboard stops early and still prints the result; --probe is the 3-second reading.\n"
        "Start? [y/N] ",
        TOOL_NAME, cores, 5.0, sentence);
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) != nullptr) {
      const char c = line[0];
      consent = c == 'y' || c == 'Y' || c == 't' || c == 'T';
    }
  }
  if (!consent) {
    std::fprintf(stderr,
                 "%s: full run not started (answer y, or pass --yes; --probe is the 3-second reading)\n",
                 TOOL_NAME);
    return 1;
  }
  setenv("TFX_CLI_CONSENT", "1", 1);
  return PARSE_GO_ON;
}

const char* mode_name(int mode) { return mode == MODE_PROBE ? "probe" : "full"; }

const char* profile_name(int profile) {
  return profile == PROFILE_QUICK ? "quick" : profile == PROFILE_THOROUGH ? "thorough" : "standard";
}

const char* quiesce_name(int quiesce) {
  return quiesce == QUIESCE_RT ? "rt" : quiesce == QUIESCE_ISOLATE ? "isolate" : "none";
}

double profile_seconds(int profile) {
  return profile == PROFILE_QUICK ? 1.0 : profile == PROFILE_THOROUGH ? 6.0 : 2.0;
}

bool filter_selects(const char* filter, const char* name) {
  if (filter[0] == '\0') return true;
  char wrapped_filter[259];
  char wrapped_name[64];
  std::snprintf(wrapped_filter, sizeof wrapped_filter, ",%s,", filter);
  std::snprintf(wrapped_name, sizeof wrapped_name, ",%s,", name);
  return std::strstr(wrapped_filter, wrapped_name) != nullptr;
}
