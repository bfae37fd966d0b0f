#include "events/compare.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/round_state.h"
#include "events/change_rule.h"
#include "events/ndjson.h"
#include "events/utf8.h"

namespace {

constexpr std::size_t MAX_STREAM_BYTES = std::size_t{64} << 20;  // far above any real run
constexpr int MAX_FIGURES = 2 + 2 * DASH_MAX_ROWS;
constexpr int MAX_CAVEATS = 12;
constexpr std::size_t CAVEAT_BYTES = 400;

DashModel g_old_model;
DashModel g_new_model;

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


struct Figure {
  char name[24];      // "index" or a subtest name
  const char* phase;  // "ST" or "MT"
  char unit[10];      // empty for the index
  ChangeDecision d;
  int n_old, n_new;   // samples (rounds) on each side
};

struct Report {
  Figure figures[MAX_FIGURES];
  int figure_count;
  char caveats[MAX_CAVEATS][CAVEAT_BYTES];
  int caveat_count;
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

// The version from which name measures something else, when the two runs lie on either side of
// it; 0 when their figures are comparable.
int measure_changed_between(const char* name, int version_a, int version_b) {
  const int lo = version_a < version_b ? version_a : version_b;
  const int hi = version_a < version_b ? version_b : version_a;
  for (const MeasureChange& c : kMeasureChanges)
    if (std::strcmp(c.name, name) == 0 && lo < c.from_version && c.from_version <= hi) return c.from_version;
  return 0;
}

// A subtest is the same in both runs when its name and its variant (isa) are.
bool same_row(const DashSubtestRow& a, const DashSubtestRow& b) {
  return std::strcmp(a.name, b.name) == 0 && std::strcmp(a.isa, b.isa) == 0;
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

bool all_positive(const double* v, int n) {
  for (int i = 0; i < n; ++i)
    if (!(v[i] > 0)) return false;
  return true;
}

void add_figure(Report& r, const char* name, const char* phase, const char* unit, const double* a, int na,
                const double* b, int nb) {
  if (r.figure_count >= MAX_FIGURES || na == 0 || nb == 0) return;
  const int ka = na < ROUND_WINDOW ? na : ROUND_WINDOW;
  const int kb = nb < ROUND_WINDOW ? nb : ROUND_WINDOW;
  // A rate of zero is a figure that was not measured (an all-core rate of a run on one CPU): it
  // has no change to show, and ranking it would call a "change" that is none.
  if (!all_positive(a + na - ka, ka) || !all_positive(b + nb - kb, kb)) return;
  Figure& f = r.figures[r.figure_count++];
  std::snprintf(f.name, sizeof f.name, "%s", name);
  f.phase = phase;
  std::snprintf(f.unit, sizeof f.unit, "%s", unit);
  // The rounds each run's own index and table come from, its last four: the figures shown are
  // their medians and the noise test ranks the same rounds, so the change and the decision can
  // never point different ways. Earlier rounds are the ones a run left behind as unsettled.
  f.d = decide_change(a + na - ka, ka, b + nb - kb, kb);
  f.n_old = ka;
  f.n_new = kb;
}

// The subtests that mine measured and other did not.
void only_in(Report& r, const DashModel& mine, const DashModel& other, const char* path) {
  char list[CAVEAT_BYTES] = "";
  for (int i = 0; i < mine.row_count; ++i) {
    bool shared = false;
    for (int j = 0; j < other.row_count; ++j) shared = shared || same_row(mine.rows[i], other.rows[j]);
    if (shared) continue;
    const std::size_t len = std::strlen(list);
    std::snprintf(list + len, sizeof list - len, "%s%s (%s)", len ? ", " : "", mine.rows[i].name, mine.rows[i].isa);
  }
  if (list[0]) add_caveat(r, "only in %s: %s", path, list);
}

void build_report(Report& r, const DashModel& o, const DashModel& n, const char* old_path, const char* new_path) {
  r = Report{};
  double a[DASH_MAX_SAMPLES], b[DASH_MAX_SAMPLES];
  const bool probe = is_probe(o) || is_probe(n);
  bool same_subtests = o.row_count == n.row_count;
  for (int i = 0; i < o.row_count && same_subtests; ++i) {
    bool found = false;
    for (int j = 0; j < n.row_count; ++j) found = found || same_row(o.rows[i], n.rows[j]);
    same_subtests = found;
  }
  if (probe) {
    add_caveat(r, "a probe has no index: only its subtest figures are compared");
  } else if (o.ref_version != n.ref_version) {
    add_caveat(r, "different reference versions (v%d and v%d): the index is not comparable, only the subtests are",
               o.ref_version, n.ref_version);
  } else if (!same_subtests) {
    add_caveat(r, "the runs measured different subtests: the index is not comparable, only the shared subtests are");
  } else {
    for (const bool mt : {false, true}) {
      const int na = index_samples(o, mt, a);
      const int nb = index_samples(n, mt, b);
      add_figure(r, "index", mt ? "MT" : "ST", "", a, na, b, nb);
    }
  }
  for (int i = 0; i < o.row_count; ++i) {
    const DashSubtestRow& ro = o.rows[i];
    const DashSubtestRow* rn = nullptr;
    for (int j = 0; j < n.row_count; ++j)
      if (same_row(n.rows[j], ro)) rn = &n.rows[j];
    if (!rn) continue;
    if (const int v = measure_changed_between(ro.name, o.ref_version, n.ref_version)) {
      add_caveat(r, "%s measures something else from reference v%d on: its figures are not compared", ro.name, v);
      continue;
    }
    for (const bool mt : {false, true}) {
      const int na = row_samples(o, ro, mt, a);
      const int nb = row_samples(n, *rn, mt, b);
      add_figure(r, ro.name, mt ? "MT" : "ST", ro.unit, a, na, b, nb);
    }
  }
  only_in(r, o, n, old_path);
  only_in(r, n, o, new_path);
  if (std::strcmp(o.cpu_model, n.cpu_model) != 0)
    add_caveat(r, "different CPU models: %s and %s", o.cpu_model, n.cpu_model);
  if (o.ncpu != n.ncpu || o.cpus_used != n.cpus_used)
    add_caveat(r, "different CPU counts: %d (%d used) and %d (%d used)", o.ncpu, o.cpus_used, n.ncpu, n.cpus_used);
  if (std::strcmp(o.fingerprint, n.fingerprint) != 0)
    add_caveat(r, "different builds: %s and %s", o.fingerprint, n.fingerprint);
  for (const auto& [m, path] : {std::pair{&o, old_path}, std::pair{&n, new_path}})
    if (std::strcmp(m->verdict, "clean") != 0)
      add_caveat(r, "%s was %s: %s", path, m->verdict[0] ? m->verdict : "without a verdict", m->verdict_why);
}

const char* decision_key(int kind) {
  switch (kind) {
    case CHANGE_FASTER: return "faster";
    case CHANGE_SLOWER: return "slower";
    case CHANGE_WITHIN_NOISE: return "within_noise";
  }
  return "noise_unknown";
}

void decision_text(const Figure& f, char* out, std::size_t cap) {
  if (f.d.kind == CHANGE_NOISE_UNKNOWN)
    std::snprintf(out, cap, "noise unknown (too few rounds)");
  else if (f.d.kind == CHANGE_WITHIN_NOISE)
    std::snprintf(out, cap, "within noise (p %.2f)", f.d.p_value);
  else
    std::snprintf(out, cap, "%s, beyond noise (p %.3f)", decision_key(f.d.kind), f.d.p_value);
}

// "sha256 ST -5.1%" for the closing line.
void figure_label(const Figure& f, char* out, std::size_t cap) {
  char name[24];
  copy_printable(name, sizeof name, f.name);
  std::snprintf(out, cap, "%s %s %+.1f%%", name, f.phase, f.d.change_pct);
}

// The closing line and the outcome key; returns the exit status.
int conclude(const Report& r, char* line, std::size_t cap, const char** outcome) {
  char slower[600] = "", faster[600] = "";
  int n_slower = 0, n_faster = 0, n_known = 0;
  const Figure* largest = nullptr;
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    if (f.d.kind != CHANGE_NOISE_UNKNOWN) ++n_known;
    if (!largest || std::fabs(f.d.change_pct) > std::fabs(largest->d.change_pct)) largest = &f;
    char label[64];
    figure_label(f, label, sizeof label);
    char* list = f.d.kind == CHANGE_SLOWER ? slower : f.d.kind == CHANGE_FASTER ? faster : nullptr;
    if (!list) continue;
    (f.d.kind == CHANGE_SLOWER ? n_slower : n_faster)++;
    const std::size_t len = std::strlen(list);
    std::snprintf(list + len, sizeof slower - len, "%s%s", len ? ", " : "", label);
  }
  char biggest[80] = "no shared figure";
  if (largest) {
    char label[64];
    figure_label(*largest, label, sizeof label);
    std::snprintf(biggest, sizeof biggest, "largest change %s", label);
  }
  if (n_slower > 0) {
    *outcome = "slower";
    if (n_faster > 0)
      std::snprintf(line, cap, "slower beyond noise: %s (faster: %s)", slower, faster);
    else
      std::snprintf(line, cap, "slower beyond noise: %s", slower);
    return COMPARE_SLOWER_STATUS;
  }
  if (n_faster > 0) {
    *outcome = "faster";
    std::snprintf(line, cap, "faster beyond noise: %s", faster);
  } else if (n_known > 0) {
    *outcome = "no_difference";
    std::snprintf(line, cap, "no difference beyond noise (%s)", biggest);
  } else {
    *outcome = "noise_unknown";
    std::snprintf(line, cap, "no difference can be shown: too few rounds to tell a change from noise (%s)",
                  biggest);
  }
  return 0;
}

void print_side_text(const char* label, const char* path, const DashModel& m) {
  char p[300], v[32];
  copy_printable(p, sizeof p, path);
  copy_printable(v, sizeof v, m.verdict);
  if (is_probe(m))
    std::printf("  %s %s: probe, one pass, %s\n", label, p, v);
  else
    std::printf("  %s %s: full, %d round%s, %s\n", label, p, m.result_rounds, m.result_rounds == 1 ? "" : "s", v);
}

void print_text(const Report& r, const DashModel& o, const DashModel& n, const char* old_path,
                const char* new_path, const char* line) {
  std::printf("tallyfox compare\n");
  print_side_text("old", old_path, o);
  print_side_text("new", new_path, n);
  std::printf("  %-16s %12s %12s %-7s %8s %7s  %s\n", "figure", "old", "new", "unit", "change", "rounds", "beyond noise?");
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    char label[40], rounds[16], decision[64], name[24], unit[10];
    copy_printable(name, sizeof name, f.name);
    copy_printable(unit, sizeof unit, f.unit);
    std::snprintf(label, sizeof label, "%s %s", name, f.phase);
    std::snprintf(rounds, sizeof rounds, "%d/%d", f.n_old, f.n_new);
    decision_text(f, decision, sizeof decision);
    std::printf("  %-16s %12.1f %12.1f %-7s %+7.1f%% %7s  %s\n", label, f.d.old_median, f.d.new_median,
                unit[0] ? unit : "-", f.d.change_pct, rounds, decision);
  }
  for (int i = 0; i < r.caveat_count; ++i) {
    char c[CAVEAT_BYTES];
    copy_printable(c, sizeof c, r.caveats[i]);
    std::printf("  caveat: %s\n", c);
  }
  std::printf("%s\n", line);
}

void print_side_json(const char* path, const DashModel& m) {
  char p[600], model[200], fp[512], why[800], verdict[40];
  json_escape(path, p, sizeof p);
  json_escape(m.cpu_model, model, sizeof model);
  json_escape(m.fingerprint, fp, sizeof fp);
  json_escape(m.verdict_why, why, sizeof why);
  json_escape(m.verdict, verdict, sizeof verdict);
  std::printf("{\"file\":\"%s\",\"mode\":\"%s\",\"rounds\":%d,\"verdict\":\"%s\",\"verdict_why\":\"%s\","
              "\"cpu_model\":\"%s\",\"ncpu\":%d,\"cpus_used\":%d,\"fingerprint\":\"%s\",\"ref_version\":%d}",
              p, is_probe(m) ? "probe" : "full", m.result_rounds, verdict, why, model, m.ncpu, m.cpus_used, fp,
              m.ref_version);
}

void print_json(const Report& r, const DashModel& o, const DashModel& n, const char* old_path, const char* new_path,
                const char* line, const char* outcome) {
  std::printf("{\"event\":\"compare\",\"old\":");
  print_side_json(old_path, o);
  std::printf(",\"new\":");
  print_side_json(new_path, n);
  std::printf(",\"figures\":[");
  for (int i = 0; i < r.figure_count; ++i) {
    const Figure& f = r.figures[i];
    char name[48], unit[24];
    json_escape(f.name, name, sizeof name);
    json_escape(f.unit, unit, sizeof unit);
    std::printf("%s{\"name\":\"%s\",\"phase\":\"%s\",\"unit\":\"%s\",\"old\":%.1f,\"new\":%.1f,\"change_pct\":%.2f,"
                "\"old_rounds\":%d,\"new_rounds\":%d,\"p\":%.4f,\"decision\":\"%s\"}",
                i ? "," : "", name, f.phase, unit, f.d.old_median, f.d.new_median, f.d.change_pct, f.n_old,
                f.n_new, f.d.p_value, decision_key(f.d.kind));
  }
  std::printf("],\"caveats\":[");
  for (int i = 0; i < r.caveat_count; ++i) {
    char c[2 * CAVEAT_BYTES];
    json_escape(r.caveats[i], c, sizeof c);
    std::printf("%s\"%s\"", i ? "," : "", c);
  }
  char l[1600];
  json_escape(line, l, sizeof l);
  std::printf("],\"outcome\":\"%s\",\"summary\":\"%s\"}\n", outcome, l);
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

int run_compare(const char* old_path, const char* new_path, int json) {
  char err[600];
  for (const auto& [path, model] : {std::pair{old_path, &g_old_model}, std::pair{new_path, &g_new_model}}) {
    if (load_event_stream(path, model, err, sizeof err) != 0) {
      char safe[600];
      copy_printable(safe, sizeof safe, err);
      std::fprintf(stderr, "tallyfox: --compare: %s\n", safe);
      return 1;
    }
  }
  build_report(g_report, g_old_model, g_new_model, old_path, new_path);
  char line[1600];
  const char* outcome = "";
  const int status = conclude(g_report, line, sizeof line, &outcome);
  if (json)
    print_json(g_report, g_old_model, g_new_model, old_path, new_path, line, outcome);
  else
    print_text(g_report, g_old_model, g_new_model, old_path, new_path, line);
  std::fflush(stdout);
  return status;
}
