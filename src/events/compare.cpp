#include "events/compare.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/round_state.h"
#include "events/change_rule.h"
#include "events/json_check.h"
#include "events/ndjson.h"
#include "events/utf8.h"
#include "verdict/drift.h"

namespace {

constexpr std::size_t MAX_STREAM_BYTES = std::size_t{64} << 20;  // far above any real run
constexpr int MAX_FIGURES = 2 + 2 * DASH_MAX_ROWS;
constexpr int MAX_CAVEATS = 80;
constexpr int MAX_RUNS = CHANGE_MAX_SAMPLES;  // saved runs a side
constexpr std::size_t PATH_BYTES = 4096;
constexpr std::size_t CAVEAT_BYTES = 400;

// The saved runs of each side: old, then new.
struct Side {
  const char* paths[MAX_RUNS];
  DashModel* runs[MAX_RUNS];
  int n;
};
DashModel g_models[2][MAX_RUNS];
char g_folder_paths[2][MAX_RUNS][PATH_BYTES];  // paths of the files found in folders
Side g_sides[2];

bool is_event_name(std::string_view e) {
  return e == "start" || e == "progress" || e == "subtest" || e == "round" || e == "result";
}

// The members a comparison reads from each event: a number ('n'), a string ('s') or an object
// ('o'); "a.b" is member b of object a. An event without one of them would otherwise read as a
// zero rate, an empty name or reference version 0.
struct RequiredMember {
  const char* event;
  const char* key;
  char type;
};
constexpr RequiredMember kRequired[] = {
    {"start", "mode", 's'},    {"start", "cpu_model", 's'}, {"start", "ncpu", 'n'},
    {"subtest", "name", 's'},  {"subtest", "isa", 's'},     {"subtest", "st", 'n'},
    {"subtest", "mt", 'n'},    {"round", "index_st", 'n'},  {"round", "index_mt", 'n'},
    {"result", "verdict", 's'}, {"result", "index", 'o'},   {"result", "convergence", 'o'},
    {"result", "index.ref_version", 'n'}, {"result", "convergence.rounds", 'n'},
};

// The first member the event lacks (or holds with another type), or null.
const char* missing_member(std::string_view line, std::string_view event) {
  for (const RequiredMember& r : kRequired) {
    if (event != r.event) continue;
    std::string_view v = line;
    const std::string_view key = r.key;
    const std::size_t dot = key.find('.');
    bool present = dot == std::string_view::npos || json_member(line, key.substr(0, dot), &v);
    present = present && json_member(v, dot == std::string_view::npos ? key : key.substr(dot + 1), &v) && !v.empty();
    const bool typed = present && (r.type == 's'   ? v[0] == '"'
                                   : r.type == 'o' ? v[0] == '{'
                                                   : v[0] == '-' || (v[0] >= '0' && v[0] <= '9'));
    if (!typed) return r.key;
  }
  return nullptr;
}

// Reads the whole regular file at path into a new buffer (NUL-terminated). Never blocks on a
// FIFO or a device: those are refused.
char* read_whole_file(const char* path, std::size_t* len, char* err, std::size_t cap) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    std::snprintf(err, cap, "%s: %s", path, std::strerror(errno));
    return nullptr;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::snprintf(err, cap, "%s: not a regular file", path);
    close(fd);
    return nullptr;
  }
  if (static_cast<std::size_t>(st.st_size) > MAX_STREAM_BYTES) {
    std::snprintf(err, cap, "%s: larger than 64 MiB, not a saved run", path);
    close(fd);
    return nullptr;
  }
  char* buf = static_cast<char*>(std::malloc(static_cast<std::size_t>(st.st_size) + 1));
  std::size_t got = 0;
  while (buf && got < static_cast<std::size_t>(st.st_size)) {
    const ssize_t r = read(fd, buf + got, static_cast<std::size_t>(st.st_size) - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fd);
  if (!buf) {
    std::snprintf(err, cap, "%s: not enough memory to read it", path);
    return nullptr;
  }
  buf[got] = '\0';
  *len = got;
  return buf;
}



// A figure beyond the rank test's noise whose change is still no larger than the threshold.
constexpr int FIGURE_WITHIN_THRESHOLD = 10;

struct Figure {
  char name[24];      // "index" or a subtest name
  const char* phase;  // "ST" or "MT"
  char unit[10];      // empty for the index
  ChangeDecision d;
  int n_old, n_new;   // samples on each side: rounds of one run, or runs
  int kind;           // the decision: a ChangeKind, or FIGURE_WITHIN_THRESHOLD
  double threshold;   // % the change had to exceed to count
  // One run a side: what each run saw this figure move (%), the range of its last rounds and a
  // drift; -1 when not known (too few rounds, or no drift looked for).
  double range[2], drift[2];
};

struct Report {
  Figure figures[MAX_FIGURES];
  int figure_count;
  char caveats[MAX_CAVEATS][CAVEAT_BYTES];
  int caveat_count;
  bool by_runs;       // each run's figure is one sample (several runs a side)
  double min_change;  // %
  int deciding;       // the index figure that sets the exit status, or -1
};

Report g_report;

__attribute__((format(printf, 2, 3))) void add_caveat(Report& r, const char* fmt, ...) {
  if (r.caveat_count >= MAX_CAVEATS) return;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(r.caveats[r.caveat_count++], CAVEAT_BYTES, fmt, ap);
  va_end(ap);
}

bool is_probe(const DashModel& m) { return std::strcmp(m.mode, "probe") == 0; }

// Subtests whose figure changed meaning with a reference version: from v2 on, ptr_chase walks on
// through its ring from chunk to chunk instead of restarting at element 0.
struct MeasureChange {
  const char* name;
  int from_version;
};
constexpr MeasureChange kMeasureChanges[] = {{"ptr_chase", 2}};

// The version from which name measures something else, when the runs lie on either side of it;
// 0 when their figures are comparable.
int measure_changed_between(const char* name, int lo, int hi) {
  for (const MeasureChange& c : kMeasureChanges)
    if (std::strcmp(c.name, name) == 0 && lo < c.from_version && c.from_version <= hi) return c.from_version;
  return 0;
}

// A subtest is the same in both runs when its name and its variant (isa) are.
bool same_row(const DashSubtestRow& a, const DashSubtestRow& b) {
  return std::strcmp(a.name, b.name) == 0 && std::strcmp(a.isa, b.isa) == 0;
}

const DashSubtestRow* find_row(const DashModel& m, const DashSubtestRow& like) {
  for (int j = 0; j < m.row_count; ++j)
    if (same_row(m.rows[j], like)) return &m.rows[j];
  return nullptr;
}

// A subtest's samples of the rounds that completed (the table's figures), or of its one pass when
// no round completed; mt selects the all-core rates.
int row_samples(const DashModel& m, const DashSubtestRow& row, bool mt, double* out) {
  int n = 0;
  for (int k = 0; k < row.sample_count; ++k) {
    if (m.result_rounds > 0 && row.sample_round[k] >= m.result_rounds) continue;
    out[n++] = mt ? row.mt_samples[k] : row.st_samples[k];
  }
  return n;
}

int index_samples(const DashModel& m, bool mt, double* out) {
  int n = 0;
  for (int k = 0; k < m.round_count && k < m.result_rounds && n < CHANGE_MAX_SAMPLES; ++k)
    out[n++] = mt ? m.rounds[k].index_mt : m.rounds[k].index_st;
  return n;
}

// The last ROUND_WINDOW of n samples: the rounds a run's own index and table come from.
int last_window(int n) { return n < ROUND_WINDOW ? n : ROUND_WINDOW; }

// How far a run saw its own figure move: the range of its last four rounds (%), or -1 when it has
// fewer.
double own_range(const double* v, int n) {
  return n >= ROUND_WINDOW ? relative_spread(v, n, ROUND_WINDOW) * 100 : -1;
}

// The size of a drift of the rounds (%), 0 when none, -1 when too few rounds to look.
double own_drift(const double* v, int n) {
  const Drift d = detect_drift(RoundSeries{v, n, nullptr, nullptr, nullptr, nullptr});
  return !d.checked ? -1 : d.detected ? std::fabs(d.pct) : 0;
}

// Decides one figure from its samples a side and the threshold a change must exceed.
void add_figure(Report& r, const char* name, const char* phase, const char* unit, const double* a, int na,
                const double* b, int nb, double threshold, const double* range, const double* drift) {
  if (r.figure_count >= MAX_FIGURES || na == 0 || nb == 0) return;
  // A rate of zero is a figure that was not measured (an all-core rate of a run on one CPU): it
  // has no change to show, and ranking it would call a "change" that is none.
  if (!all_positive(a, na) || !all_positive(b, nb)) return;
  Figure& f = r.figures[r.figure_count++];
  std::snprintf(f.name, sizeof f.name, "%s", name);
  f.phase = phase;
  std::snprintf(f.unit, sizeof f.unit, "%s", unit);
  f.d = decide_change(a, na, b, nb);
  f.n_old = na;
  f.n_new = nb;
  f.threshold = threshold;
  for (int s = 0; s < 2; ++s) {
    f.range[s] = range[s];
    f.drift[s] = drift[s];
  }
  f.kind = f.d.kind;
  if ((f.kind == CHANGE_FASTER || f.kind == CHANGE_SLOWER) && !(std::fabs(f.d.change_pct) > threshold))
    f.kind = FIGURE_WITHIN_THRESHOLD;
}

// One sample per run (several runs a side): a run's figure is what it reported, the median of its
// last four rounds; 0 when it did not measure it.
double run_figure(const DashModel& m, const DashSubtestRow* row, bool mt) {
  double v[DASH_MAX_SAMPLES];
  if (!row) return mt ? m.index_mt : m.index_st;
  const DashSubtestRow* own = find_row(m, *row);
  if (!own) return 0;
  const int n = row_samples(m, *own, mt, v);
  return n > 0 ? median(v + n - last_window(n), last_window(n)) : 0;
}

// One figure over both sides: the rounds of one run a side, or one sample a run.
void compare_figure(Report& r, const Side* sides, const char* name, const char* unit, const DashSubtestRow* row,
                    bool mt) {
  double v[2][DASH_MAX_SAMPLES];
  int n[2] = {0, 0};
  double threshold = r.min_change;
  double ranges[2] = {-1, -1}, drifts[2] = {-1, -1};
  for (int s = 0; s < 2; ++s) {
    if (r.by_runs) {
      for (int k = 0; k < sides[s].n; ++k) v[s][n[s]++] = run_figure(*sides[s].runs[k], row, mt);
      continue;
    }
    const DashModel& m = *sides[s].runs[0];
    double all[DASH_MAX_SAMPLES];
    int total = 0;
    if (row) {
      const DashSubtestRow* own = find_row(m, *row);
      total = own ? row_samples(m, *own, mt, all) : 0;
    } else {
      total = index_samples(m, mt, all);
    }
    n[s] = last_window(total);
    for (int k = 0; k < n[s]; ++k) v[s][k] = all[total - n[s] + k];
    // Rounds of one run cannot show how much a next run differs; a change counts only when it is
    // larger than what each run saw its own figure move: the range of its last rounds, and for the
    // index a drift across all of them.
    const double range = own_range(all, total);
    const double drift = row ? -1 : own_drift(all, total);
    if (range > threshold) threshold = range;
    if (drift > threshold) threshold = drift;
    ranges[s] = range;
    drifts[s] = drift;
  }
  add_figure(r, name, mt ? "MT" : "ST", unit, v[0], n[0], v[1], n[1], threshold, ranges, drifts);
}

template <typename Text>
void differ_caveat(Report& r, const Side* sides, const char* what, Text text) {
  char values[8][256];
  int distinct = 0;
  for (int s = 0; s < 2; ++s)
    for (int k = 0; k < sides[s].n; ++k) {
      char v[256];
      text(*sides[s].runs[k], v, sizeof v);
      bool seen = false;
      for (int i = 0; i < distinct; ++i) seen = seen || std::strcmp(values[i], v) == 0;
      if (!seen && distinct < 8) std::snprintf(values[distinct++], sizeof values[0], "%s", v);
    }
  if (distinct < 2) return;
  char list[CAVEAT_BYTES] = "";
  for (int i = 0; i < distinct; ++i) {
    const std::size_t len = std::strlen(list);
    std::snprintf(list + len, sizeof list - len, "%s%s", i == 0 ? "" : i == distinct - 1 ? " and " : ", ", values[i]);
  }
  add_caveat(r, "different %s: %s", what, list);
}

// The subtests one run measured and the first run of the other side did not.
void only_in(Report& r, const DashModel& mine, const DashModel& other, const char* path) {
  char list[CAVEAT_BYTES] = "";
  for (int i = 0; i < mine.row_count; ++i) {
    if (find_row(other, mine.rows[i])) continue;
    const std::size_t len = std::strlen(list);
    std::snprintf(list + len, sizeof list - len, "%s%s (%s)", len ? ", " : "", mine.rows[i].name, mine.rows[i].isa);
  }
  if (list[0]) add_caveat(r, "only in %s: %s", path, list);
}

void build_report(Report& r, const Side* sides, double min_change) {
  r = Report{};
  r.min_change = min_change;
  r.by_runs = sides[0].n > 1 || sides[1].n > 1;
  r.deciding = -1;
  const DashModel& first = *sides[0].runs[0];
  bool probe = false, same_subtests = true;
  int v_lo = first.ref_version, v_hi = first.ref_version;
  for (int s = 0; s < 2; ++s)
    for (int k = 0; k < sides[s].n; ++k) {
      const DashModel& m = *sides[s].runs[k];
      probe = probe || is_probe(m);
      if (m.ref_version < v_lo) v_lo = m.ref_version;
      if (m.ref_version > v_hi) v_hi = m.ref_version;
      bool same = m.row_count == first.row_count;
      for (int i = 0; i < first.row_count && same; ++i) same = find_row(m, first.rows[i]) != nullptr;
      same_subtests = same_subtests && same;
    }
  if (probe) {
    add_caveat(r, "a probe has no index: only its subtest figures are compared");
  } else if (v_lo != v_hi) {
    add_caveat(r, "different reference versions (v%d and v%d): the index is not comparable, only the subtests are",
               v_lo, v_hi);
  } else if (!same_subtests) {
    add_caveat(r, "the runs measured different subtests: the index is not comparable, only the shared subtests are");
  } else {
    // One primary figure sets the exit status: the all-core index where every run measured it,
    // else the single-thread one.
    for (const bool mt : {true, false}) {
      const int before = r.figure_count;
      compare_figure(r, sides, "index", "", nullptr, mt);
      if (r.figure_count > before && r.deciding < 0) r.deciding = before;
    }
    // An all-core index some run measured but another did not (one of its last rounds without
    // one): the single-thread index decides, and the report says why.
    bool some_mt = false;
    for (int s = 0; s < 2; ++s)
      for (int k = 0; k < sides[s].n; ++k) some_mt = some_mt || sides[s].runs[k]->index_mt > 0;
    if (some_mt && !(r.figure_count > 0 && std::strcmp(r.figures[0].phase, "MT") == 0))
      add_caveat(r, "index MT is not compared: not every run measured it in the rounds its index comes from; "
                    "index ST decides");
    // Shown single-thread first, as the subtests are.
    if (r.figure_count == 2) {
      const Figure mt = r.figures[0];
      r.figures[0] = r.figures[1];
      r.figures[1] = mt;
      r.deciding = 1;
    }
  }
  // Subtests the first runs of both sides share; with several runs a side, a run that lacks one
  // leaves that subtest out.
  const DashModel& first_new = *sides[1].runs[0];
  for (int i = 0; i < first.row_count; ++i) {
    const DashSubtestRow& ro = first.rows[i];
    if (!find_row(first_new, ro)) continue;
    bool everywhere = true;
    for (int s = 0; s < 2; ++s)
      for (int k = 0; k < sides[s].n; ++k) everywhere = everywhere && find_row(*sides[s].runs[k], ro);
    if (!everywhere) continue;
    if (const int v = measure_changed_between(ro.name, v_lo, v_hi)) {
      add_caveat(r, "%s measures something else from reference v%d on: its figures are not compared", ro.name, v);
      continue;
    }
    for (const bool mt : {false, true}) compare_figure(r, sides, ro.name, ro.unit, &ro, mt);
  }
  only_in(r, first, first_new, sides[0].paths[0]);
  only_in(r, first_new, first, sides[1].paths[0]);
  differ_caveat(r, sides, "CPU models", [](const DashModel& m, char* o, std::size_t c) {
    std::snprintf(o, c, "%s", m.cpu_model);
  });
  differ_caveat(r, sides, "CPU counts", [](const DashModel& m, char* o, std::size_t c) {
    std::snprintf(o, c, "%d (%d used)", m.ncpu, m.cpus_used);
  });
  differ_caveat(r, sides, "builds", [](const DashModel& m, char* o, std::size_t c) {
    std::snprintf(o, c, "%s", m.fingerprint);
  });
  // Real-time workers lose the share of each second that throttling takes; phase length changes
  // how much of a phase its start and end are; the profile sets the time the rounds may take.
  differ_caveat(r, sides, "quiesce levels (real-time throttling pauses rt workers)",
                [](const DashModel& m, char* o, std::size_t c) {
                  std::snprintf(o, c, "%s", m.quiesce[0] ? m.quiesce : "not recorded");
                });
  differ_caveat(r, sides, "phase lengths (some rates depend on it)", [](const DashModel& m, char* o, std::size_t c) {
    if (m.phase_seconds > 0)
      std::snprintf(o, c, "%.2f s", m.phase_seconds);
    else
      std::snprintf(o, c, "not recorded");
  });
  differ_caveat(r, sides, "profiles", [](const DashModel& m, char* o, std::size_t c) {
    std::snprintf(o, c, "%s", m.profile[0] ? m.profile : "not recorded");
  });
  for (int s = 0; s < 2; ++s)
    for (int k = 0; k < sides[s].n; ++k) {
      const DashModel& m = *sides[s].runs[k];
      if (std::strcmp(m.verdict, "clean") != 0)
        add_caveat(r, "%s was %s: %s", sides[s].paths[k], m.verdict[0] ? m.verdict : "without a verdict",
                   m.verdict_why);
    }
}

const char* decision_key(int kind) {
  switch (kind) {
    case CHANGE_FASTER: return "faster";
    case CHANGE_SLOWER: return "slower";
    case CHANGE_WITHIN_NOISE: return "within_noise";
    case FIGURE_WITHIN_THRESHOLD: return "within_threshold";
  }
  return "noise_unknown";
}

void decision_text(const Report& r, const Figure& f, char* out, std::size_t cap) {
  if (f.kind == CHANGE_NOISE_UNKNOWN)
    std::snprintf(out, cap, "noise unknown (too few %s)", r.by_runs ? "runs" : "rounds");
  else if (f.kind == CHANGE_WITHIN_NOISE)
    std::snprintf(out, cap, "within noise (p %.2f)", f.d.p_value);
  else if (f.kind == FIGURE_WITHIN_THRESHOLD)
    std::snprintf(out, cap, "within %.1f%% threshold (p %.3f)", f.threshold, f.d.p_value);
  else
    std::snprintf(out, cap, "%s, beyond noise (p %.3f)", decision_key(f.kind), f.d.p_value);
}

// "sha256 ST -5.1%" for the closing line.
void figure_label(const Figure& f, char* out, std::size_t cap) {
  char name[24];
  copy_printable(name, sizeof name, f.name);
  std::snprintf(out, cap, "%s %s %+.1f%%", name, f.phase, f.d.change_pct);
}

// The closing line and the outcome key; returns the exit status. Only the deciding index sets it;
// every other figure beyond noise is listed after it.
int conclude(const Report& r, char* line, std::size_t cap, const char** outcome) {
  char others[900] = "";
  const Figure* largest = nullptr;
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    if (!largest || std::fabs(f.d.change_pct) > std::fabs(largest->d.change_pct)) largest = &f;
    if (i == r.deciding || (f.kind != CHANGE_SLOWER && f.kind != CHANGE_FASTER)) continue;
    char label[64];
    figure_label(f, label, sizeof label);
    const std::size_t len = std::strlen(others);
    std::snprintf(others + len, sizeof others - len, "%s%s %s", len ? ", " : "", label, decision_key(f.kind));
  }
  char also[960] = "";
  if (others[0]) std::snprintf(also, sizeof also, "; not deciding, beyond noise: %s", others);
  if (r.deciding < 0) {
    char biggest[80] = "no shared figure";
    if (largest) {
      char label[64];
      figure_label(*largest, label, sizeof label);
      std::snprintf(biggest, sizeof biggest, "largest change %s", label);
    }
    *outcome = "no_index";
    std::snprintf(line, cap, "no index to decide on (%s)%s", biggest, also);
    return 0;
  }
  const Figure& d = r.figures[r.deciding];
  char label[64];
  figure_label(d, label, sizeof label);
  switch (d.kind) {
    case CHANGE_SLOWER:
      *outcome = "slower";
      std::snprintf(line, cap, "slower beyond noise: %s%s", label, also);
      return COMPARE_SLOWER_STATUS;
    case CHANGE_FASTER:
      *outcome = "faster";
      std::snprintf(line, cap, "faster beyond noise: %s%s", label, also);
      return 0;
    case CHANGE_NOISE_UNKNOWN:
      *outcome = "noise_unknown";
      std::snprintf(line, cap, "no difference can be shown: too few %s to tell a change from noise (%s)%s",
                    r.by_runs ? "runs" : "rounds", label, also);
      return 0;
  }
  *outcome = "no_difference";
  std::snprintf(line, cap, "no difference beyond noise (%s)%s", label, also);
  return 0;
}

void print_side_text(const char* label, const char* path, const DashModel& m) {
  static char p[2 * PATH_BYTES + 8200];
  char v[32];
  copy_printable(p, sizeof p, path);
  copy_printable(v, sizeof v, m.verdict);
  if (is_probe(m))
    std::printf("  %s %s: probe, one pass, %s\n", label, p, v);
  else
    std::printf("  %s %s: full, %d round%s, %s\n", label, p, m.result_rounds, m.result_rounds == 1 ? "" : "s", v);
}

// "1.2%", or "not known" for -1.
void pct_or_unknown(char* out, std::size_t cap, double pct, const char* zero) {
  if (pct < 0)
    std::snprintf(out, cap, "not known");
  else if (pct == 0 && zero)
    std::snprintf(out, cap, "%s", zero);
  else
    std::snprintf(out, cap, "%.1f%%", pct);
}

// Which noise the decisions rest on, and the change the deciding index had to exceed.
void noise_text(const Report& r, const Side* sides, char* out, std::size_t cap) {
  if (r.by_runs) {
    std::snprintf(out, cap,
                  "run to run: each run's figure is one sample (%d old, %d new); a change counts beyond "
                  "--min-change %.1f%%",
                  sides[0].n, sides[1].n, r.min_change);
    return;
  }
  // The figures of the deciding index, the one whose threshold is quoted.
  const double unknown[2] = {-1, -1};
  const Figure* d = r.deciding >= 0 ? &r.figures[r.deciding] : nullptr;
  const double* range = d ? d->range : unknown;
  const double* drift = d ? d->drift : unknown;
  char ro[16], rn[16], dold[16], dnew[16];
  pct_or_unknown(ro, sizeof ro, range[0], nullptr);
  pct_or_unknown(rn, sizeof rn, range[1], nullptr);
  pct_or_unknown(dold, sizeof dold, drift[0], "none");
  pct_or_unknown(dnew, sizeof dnew, drift[1], "none");
  const double threshold = d ? d->threshold : r.min_change;
  std::snprintf(out, cap,
                "within each run, its last %d rounds; one run a side cannot show run-to-run noise, so the index "
                "must change by more than %.1f%%: the largest of --min-change %.1f%% and each run's own index "
                "range (%s, %s) and drift (%s, %s)",
                ROUND_WINDOW, threshold, r.min_change, ro, rn, dold, dnew);
}

void print_text(const Report& r, const Side* sides, const char* line) {
  std::printf("tallyfox compare\n");
  for (int s = 0; s < 2; ++s)
    for (int k = 0; k < sides[s].n; ++k) print_side_text(s == 0 ? "old" : "new", sides[s].paths[k], *sides[s].runs[k]);
  char noise[600];
  noise_text(r, sides, noise, sizeof noise);
  std::printf("  noise: %s\n", noise);
  std::printf("  %-16s %12s %12s %-7s %8s %7s  %s\n", "figure", "old", "new", "unit", "change",
              r.by_runs ? "runs" : "rounds", "beyond noise?");
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    char label[40], rounds[16], decision[64], name[24], unit[10];
    copy_printable(name, sizeof name, f.name);
    copy_printable(unit, sizeof unit, f.unit);
    std::snprintf(label, sizeof label, "%s %s", name, f.phase);
    std::snprintf(rounds, sizeof rounds, "%d/%d", f.n_old, f.n_new);
    decision_text(r, f, decision, sizeof decision);
    std::printf("  %-16s %12.1f %12.1f %-7s %+7.1f%% %7s  %s\n", label, f.d.old_median, f.d.new_median,
                unit[0] ? unit : "-", f.d.change_pct, rounds, decision);
  }
  if (r.deciding >= 0)
    std::printf("  the exit status follows index %s alone; the other figures are reported\n",
                r.figures[r.deciding].phase);
  for (int i = 0; i < r.caveat_count; ++i) {
    char c[CAVEAT_BYTES];
    copy_printable(c, sizeof c, r.caveats[i]);
    std::printf("  caveat: %s\n", c);
  }
  std::printf("%s\n", line);
}

void print_side_json(const char* path, const DashModel& m) {
  static char p[4 * PATH_BYTES + 16400];
  char model[200], fp[512], why[1300], verdict[40];
  json_escape(path, p, sizeof p);
  json_escape(m.cpu_model, model, sizeof model);
  json_escape(m.fingerprint, fp, sizeof fp);
  json_escape(m.verdict_why, why, sizeof why);
  json_escape(m.verdict, verdict, sizeof verdict);
  std::printf("{\"file\":\"%s\",\"mode\":\"%s\",\"rounds\":%d,\"verdict\":\"%s\",\"verdict_why\":\"%s\","
              "\"cpu_model\":\"%s\",\"ncpu\":%d,\"cpus_used\":%d,\"fingerprint\":\"%s\",\"ref_version\":%d,"
              "\"index_st\":%.1f,\"index_mt\":%.1f}",
              p, is_probe(m) ? "probe" : "full", m.result_rounds, verdict, why, model, m.ncpu, m.cpus_used, fp,
              m.ref_version, m.index_st, m.index_mt);
}

void print_json(const Report& r, const Side* sides, const char* line, const char* outcome) {
  std::printf("{\"event\":\"compare\",\"old\":");
  print_side_json(sides[0].paths[0], *sides[0].runs[0]);
  std::printf(",\"new\":");
  print_side_json(sides[1].paths[0], *sides[1].runs[0]);
  std::printf(",\"figures\":[");
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    char name[48], unit[24];
    json_escape(f.name, name, sizeof name);
    json_escape(f.unit, unit, sizeof unit);
    std::printf("%s{\"name\":\"%s\",\"phase\":\"%s\",\"unit\":\"%s\",\"old\":%.1f,\"new\":%.1f,\"change_pct\":%.2f,"
                "\"old_rounds\":%d,\"new_rounds\":%d,\"p\":%.4f,\"decision\":\"%s\",\"threshold_pct\":%.2f,"
                "\"deciding\":%d}",
                i ? "," : "", name, f.phase, unit, f.d.old_median, f.d.new_median, f.d.change_pct, f.n_old,
                f.n_new, f.d.p_value, decision_key(f.kind), f.threshold, i == r.deciding ? 1 : 0);
  }
  std::printf("],\"caveats\":[");
  for (int i = 0; i < r.caveat_count; ++i) {
    char c[2 * CAVEAT_BYTES];
    json_escape(r.caveats[i], c, sizeof c);
    std::printf("%s\"%s\"", i ? "," : "", c);
  }
  char l[2000], noise[600], noise_json[1300];
  json_escape(line, l, sizeof l);
  noise_text(r, sides, noise, sizeof noise);
  json_escape(noise, noise_json, sizeof noise_json);
  std::printf("],\"outcome\":\"%s\",\"summary\":\"%s\",\"noise\":\"%s\",\"noise_text\":\"%s\","
              "\"min_change_pct\":%.2f,\"deciding\":",
              outcome, l, r.by_runs ? "runs" : "rounds", noise_json, r.min_change);
  if (r.deciding >= 0)
    std::printf("\"index %s\"", r.figures[r.deciding].phase);
  else
    std::printf("null");
  for (int s = 0; s < 2; ++s) {
    std::printf(",\"%s_runs\":[", s == 0 ? "old" : "new");
    for (int k = 0; k < sides[s].n; ++k) {
      if (k) std::printf(",");
      print_side_json(sides[s].paths[k], *sides[s].runs[k]);
    }
    std::printf("]");
  }
  std::printf("}\n");
}

int by_name(const void* a, const void* b) {
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

bool has_suffix(const char* name, const char* suffix) {
  const std::size_t n = std::strlen(name), k = std::strlen(suffix);
  return n > k && std::strcmp(name + n - k, suffix) == 0;
}

// The saved runs a side names: each file itself, each folder its *.ndjson files in name order.
int expand_side(char* const* args, int count, int side, Side* out, char* err, std::size_t cap) {
  out->n = 0;
  int stored = 0;
  for (int a = 0; a < count; ++a) {
    struct stat st{};
    if (stat(args[a], &st) != 0 || !S_ISDIR(st.st_mode)) {
      if (out->n >= MAX_RUNS) {
        std::snprintf(err, cap, "more than %d saved runs on one side", MAX_RUNS);
        return -1;
      }
      out->paths[out->n++] = args[a];
      continue;
    }
    DIR* dir = opendir(args[a]);
    if (!dir) {
      std::snprintf(err, cap, "%s: %s", args[a], std::strerror(errno));
      return -1;
    }
    const int first = stored;
    bool too_many = false;
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.' || !has_suffix(e->d_name, ".ndjson")) continue;
      if (stored >= MAX_RUNS) {
        too_many = true;
        break;
      }
      std::snprintf(g_folder_paths[side][stored++], PATH_BYTES, "%s", e->d_name);
    }
    closedir(dir);
    if (too_many || out->n + (stored - first) > MAX_RUNS) {
      std::snprintf(err, cap, "more than %d saved runs on one side", MAX_RUNS);
      return -1;
    }
    if (stored == first) {
      std::snprintf(err, cap, "%s: a folder without saved runs (*.ndjson)", args[a]);
      return -1;
    }
    std::qsort(g_folder_paths[side][first], static_cast<std::size_t>(stored - first), PATH_BYTES, by_name);
    for (int k = first; k < stored; ++k) {
      char name[PATH_BYTES];
      std::snprintf(name, sizeof name, "%s", g_folder_paths[side][k]);
      const std::size_t len = std::strlen(args[a]);
      const bool slash = len > 0 && args[a][len - 1] == '/';
      if (std::snprintf(g_folder_paths[side][k], PATH_BYTES, "%s%s%s", args[a], slash ? "" : "/", name) >=
          static_cast<int>(PATH_BYTES)) {
        std::snprintf(err, cap, "%s: a path too long", args[a]);
        return -1;
      }
      out->paths[out->n++] = g_folder_paths[side][k];
    }
  }
  return 0;
}

}  // namespace

int load_event_stream(const char* path, DashModel* m, char* err, std::size_t cap) {
  *m = DashModel{};
  std::size_t len = 0;
  char* text = read_whole_file(path, &len, err, cap);
  if (!text) return -1;
  int status = 0;
  int line_no = 0;
  bool started = false;
  for (std::size_t at = 0; at < len && status == 0;) {
    const char* nl = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    const std::size_t end = nl ? static_cast<std::size_t>(nl - text) : len;
    const std::string_view line(text + at, end - at);
    at = end + 1;
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    char event[16];
    if (!json_object_valid(line)) {
      std::snprintf(err, cap, "%s line %d: %s", path, line_no,
                    nl ? "not a JSON event" : "cut short (the file ends inside the line)");
      status = -1;
    } else if (!json_string(line, "event", event, sizeof event) || !is_event_name(event)) {
      std::snprintf(err, cap, "%s line %d: a JSON object that is not a tallyfox event", path, line_no);
      status = -1;
    } else if (!started && std::strcmp(event, "start") != 0) {
      std::snprintf(err, cap, "%s line %d: the stream does not begin with a start event", path, line_no);
      status = -1;
    } else if (started && std::strcmp(event, "start") == 0) {
      std::snprintf(err, cap, "%s line %d: a second run starts here (save one run a file)", path, line_no);
      status = -1;
    } else if (m->result_received) {
      std::snprintf(err, cap, "%s line %d: an event after the result (save one run a file)", path, line_no);
      status = -1;
    } else if (LineFault fault{}; event_line_fault(line, &fault)) {
      // Numbers no run writes (an infinity, a negative rate, 1e-320) and keys given twice, which
      // other JSON readers would take the other way, are refused rather than compared.
      std::snprintf(err, cap, "%s line %d: \"%s\" is %s", path, line_no, fault.key, fault.what);
      status = -1;
    } else if (const char* key = missing_member(line, event)) {
      std::snprintf(err, cap, "%s line %d: a %s event without a valid \"%s\"", path, line_no, event, key);
      status = -1;
    } else {
      started = true;
      dash_handle_line(*m, line, 0.0);
    }
  }
  std::free(text);
  if (status == 0 && !started) {
    std::snprintf(err, cap, "%s: empty, not a saved run", path);
    status = -1;
  } else if (status == 0 && !m->result_received) {
    std::snprintf(err, cap, "%s: no result event (the run ended before it reported)", path);
    status = -1;
  }
  return status;
}

int compare_decision(DashModel* const* old_runs, int n_old, DashModel* const* new_runs, int n_new,
                     double min_change_pct, const char** outcome) {
  static Side sides[2];
  static char line[2000];
  for (int s = 0; s < 2; ++s) {
    sides[s].n = s == 0 ? n_old : n_new;
    for (int k = 0; k < sides[s].n && k < MAX_RUNS; ++k) {
      sides[s].runs[k] = (s == 0 ? old_runs : new_runs)[k];
      sides[s].paths[k] = s == 0 ? "old" : "new";
    }
  }
  build_report(g_report, sides, min_change_pct);
  return conclude(g_report, line, sizeof line, outcome);
}

int run_compare(char* const* old_args, int n_old, char* const* new_args, int n_new, double min_change_pct,
                int json) {
  char err[1200];
  for (int s = 0; s < 2; ++s) {
    Side& side = g_sides[s];
    int status = expand_side(s == 0 ? old_args : new_args, s == 0 ? n_old : n_new, s, &side, err, sizeof err);
    for (int k = 0; status == 0 && k < side.n; ++k) {
      side.runs[k] = &g_models[s][k];
      status = load_event_stream(side.paths[k], side.runs[k], err, sizeof err);
    }
    if (status != 0) {
      char safe[1200];
      copy_printable(safe, sizeof safe, err);
      std::fprintf(stderr, "tallyfox: --compare: %s\n", safe);
      return 1;
    }
  }
  build_report(g_report, g_sides, min_change_pct);
  char line[2000];
  const char* outcome = "";
  const int status = conclude(g_report, line, sizeof line, &outcome);
  if (json)
    print_json(g_report, g_sides, line, outcome);
  else
    print_text(g_report, g_sides, line);
  std::fflush(stdout);
  return status;
}
