#include "events/event_reader.h"

#include <cstdlib>
#include <cstring>

#include "machine/isa.h"

DashModel g_dash_model;

namespace {

using sv = std::string_view;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_blanks(sv s, std::size_t i) {
  while (i < s.size() && is_blank(s[i])) ++i;
  return i;
}

// i is at an opening quote; returns the index after the closing quote, or the end of s.
std::size_t skip_string(sv s, std::size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\')
      ++i;
    else if (s[i] == '"')
      return i + 1;
  }
  return s.size();
}

// Returns the index after the value that starts at i: a whole string, a whole array or object
// (nesting counted, strings stepped over), or a scalar up to the next ',', ']' or '}'.
std::size_t skip_value(sv s, std::size_t i) {
  if (i >= s.size()) return i;
  if (s[i] == '"') return skip_string(s, i);
  if (s[i] == '{' || s[i] == '[') {
    int depth = 0;
    while (i < s.size()) {
      const char c = s[i];
      if (c == '"') {
        i = skip_string(s, i);
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (--depth == 0) return i + 1;
      }
      ++i;
    }
    return i;
  }
  while (i < s.size() && s[i] != ',' && s[i] != ']' && s[i] != '}') ++i;
  return i;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code point of four hex digits at s[i..i+3], or -1.
int hex4(sv s, std::size_t i) {
  if (i + 4 > s.size()) return -1;
  int cp = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int h = hex_value(s[i + k]);
    if (h < 0) return -1;
    cp = cp * 16 + h;
  }
  return cp;
}

std::size_t utf8_encode(int cp, char out[3]) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (cp >> 12));
  out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp & 0x3F));
  return 3;
}

int32_t to_int32(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(d);
}

void copy_field(char* out, std::size_t cap, sv text) {
  const std::size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

template <std::size_t N>
void take_string(sv object, sv key, char (&field)[N]) {
  json_string(object, key, field, N);
}

void recompute_arm_family(DashModel& m) {
  if (m.isa[ISA_NEON] || m.isa[ISA_ARM_CRC] || m.isa[ISA_SVE])
    m.arm_family = true;
  else
    m.arm_family = m.isa[ISA_SSE2] == 0 && m.isa[ISA_SSE42] == 0;
}

// The row of (name, isa) of a subtest object, appended zeroed when new and room is left.
DashSubtestRow* select_row(DashModel& m, sv object) {
  char name[sizeof DashSubtestRow::name];
  char isa[sizeof DashSubtestRow::isa];
  take_string(object, "name", name);
  take_string(object, "isa", isa);
  for (int i = 0; i < m.row_count; ++i)
    if (std::strcmp(m.rows[i].name, name) == 0 && std::strcmp(m.rows[i].isa, isa) == 0) return &m.rows[i];
  if (m.row_count >= DASH_MAX_ROWS) return nullptr;
  DashSubtestRow& r = m.rows[m.row_count++];
  r = DashSubtestRow{};
  std::memcpy(r.name, name, sizeof name);
  std::memcpy(r.isa, isa, sizeof isa);
  return &r;
}

void on_start(DashModel& m, sv e) {
  take_string(e, "cpu_model", m.cpu_model);
  take_string(e, "mode", m.mode);
  take_string(e, "isolcpus", m.isolcpus);
  m.ncpu = json_int(e, "ncpu");
  m.ncores = json_int(e, "ncores");
  m.p_cores = json_int(e, "p_cores");
  m.e_cores = json_int(e, "e_cores");
  m.p_threads = json_int(e, "p_threads");
  m.e_threads = json_int(e, "e_threads");
  sv hybrid;
  m.hybrid = json_member(e, "hybrid", &hybrid) && hybrid.substr(0, 4) == "true";
  m.max_mhz = json_int(e, "max_mhz");
  m.thermal_c = json_number(e, "thermal_c");
  take_string(e, "fingerprint", m.fingerprint);
  m.phase_seconds = json_number(e, "seconds");
  sv isa;
  if (!json_member(e, "isa", &isa)) isa = {};
  for (int i = 0; i < ISA_FLAG_COUNT; ++i) m.isa[i] = json_int(isa, kIsaFlags[i].key);
  recompute_arm_family(m);
}

void on_progress(DashModel& m, sv e) {
  take_string(e, "name", m.progress_name);
  take_string(e, "isa", m.progress_isa);
  take_string(e, "phase", m.progress_phase);
  m.progress_pct = json_number(e, "pct");
}

void on_subtest(DashModel& m, sv e) {
  DashSubtestRow* r = select_row(m, e);
  if (r == nullptr) return;
  take_string(e, "unit", r->unit);
  r->st = json_number(e, "st");
  r->mt = json_number(e, "mt");
  r->scaling = json_number(e, "scaling");
  r->st_wait_pct = json_number(e, "st_wait_pct");
  r->mt_wait_agg = json_number(e, "mt_wait_agg");
  if (r->sample_count < DASH_MAX_SAMPLES) {
    r->st_samples[r->sample_count] = r->st;
    r->mt_samples[r->sample_count] = r->mt;
    r->sample_round[r->sample_count] = m.round_count;
    ++r->sample_count;
  }
  if (r->st_events == 0) {
    r->st_min = r->st_max = r->st;
  } else {
    if (r->st < r->st_min) r->st_min = r->st;
    if (r->st > r->st_max) r->st_max = r->st;
  }
  ++r->st_events;
}

void on_round(DashModel& m, sv e) {
  if (m.round_count < DASH_MAX_ROUNDS) {
    DashRound& r = m.rounds[m.round_count++];
    r.index_st = json_number(e, "index_st");
    r.index_mt = json_number(e, "index_mt");
    if (!json_numeric(e, "spread", &r.spread)) r.spread = -1;
  }
  m.round_target = json_number(e, "target");
  m.round_converged = json_int(e, "converged");
}

// The value of a member object, or an empty view when it is missing.
sv member_object(sv e, sv key) {
  sv v;
  return json_member(e, key, &v) ? v : sv{};
}

void on_result(DashModel& m, sv e, double now) {
  m.result_received = true;
  take_string(e, "verdict", m.verdict);
  take_string(e, "verdict_why", m.verdict_why);
  const sv index = member_object(e, "index");
  m.index_st = json_number(index, "st");
  m.index_mt = json_number(index, "mt");
  m.ref_version = json_int(index, "ref_version");
  const sv conv = member_object(e, "convergence");
  m.precision = json_number(conv, "precision");
  m.result_rounds = json_int(conv, "rounds");
  const sv thermal = member_object(e, "thermal");
  m.peak_c = json_number(thermal, "peak_c");
  m.clock_ratio = json_number(thermal, "clock_ratio");
  m.limited = json_int(thermal, "limited");
  m.duration = json_number(e, "duration");
  const sv stalls = member_object(e, "stalls");
  m.stall_pct = json_number(stalls, "pct");
  m.stall_longest_ms = json_number(stalls, "longest_ms");
  m.cpus_used = json_int(e, "cpus_used");
  take_string(e, "all_core_note", m.all_core_note);
  take_string(e, "quiesce", m.quiesce);
  take_string(e, "profile", m.profile);
  const sv range = member_object(e, "index_range");
  if (!json_numeric(range, "pct", &m.range)) m.range = -100;
  m.range /= 100;
  m.range_lo = json_number(range, "lo");
  m.range_hi = json_number(range, "hi");
  m.range_first = json_int(range, "first_round");
  m.range_last = json_int(range, "last_round");
  const sv drift = member_object(e, "drift");
  m.drift_detected = json_int(drift, "detected") != 0;
  m.drift_pct = json_number(drift, "pct");
  m.drift_round = json_int(drift, "round");

  const sv list = member_object(e, "subtests");
  if (!list.empty() && list[0] == '[') {
    std::size_t i = 1;
    for (;;) {
      i = skip_blanks(list, i);
      if (i >= list.size() || list[i] == ']') break;
      const std::size_t end = skip_value(list, i);
      const sv item = list.substr(i, end - i);
      if (DashSubtestRow* r = select_row(m, item)) {
        take_string(item, "unit", r->unit);
        json_numeric(item, "st", &r->st);
        json_numeric(item, "mt", &r->mt);
        json_numeric(item, "scaling", &r->scaling);
      }
      i = skip_blanks(list, end);
      if (i >= list.size() || list[i] != ',') break;
      ++i;
    }
  }
  m.end_time = now;
}

void dash_add_message(DashModel& m, sv text) {
  if (m.message_count == DASH_MAX_MESSAGES) {
    std::memmove(m.messages[0], m.messages[1], sizeof m.messages[0] * (DASH_MAX_MESSAGES - 1));
    --m.message_count;
  }
  copy_field(m.messages[m.message_count++], DASH_MESSAGE_BYTES, text);
}

void dash_handle_event(DashModel& m, sv line, double now) {
  char event[16];
  json_string(line, "event", event, sizeof event);
  const sv name(event);
  if (name == "start")
    on_start(m, line);
  else if (name == "progress")
    on_progress(m, line);
  else if (name == "subtest")
    on_subtest(m, line);
  else if (name == "round") {
    on_round(m, line);
    m.last_round_time = now;
  } else if (name == "result") {
    on_result(m, line, now);
  }
}

// Strict syntax of one JSON value from i; returns the index after it, or npos.
constexpr std::size_t BAD = sv::npos;
constexpr int MAX_DEPTH = 32;

std::size_t valid_value(sv s, std::size_t i, int depth);

std::size_t valid_string(sv s, std::size_t i) {
  if (i >= s.size() || s[i] != '"') return BAD;
  for (++i; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') return i + 1;
    if (c < 0x20) return BAD;
    if (c != '\\') continue;
    if (++i >= s.size()) return BAD;
    if (s[i] == 'u') {
      if (hex4(s, i + 1) < 0) return BAD;
      i += 4;
    } else if (std::strchr("\"\\/bfnrt", s[i]) == nullptr || s[i] == '\0') {
      return BAD;
    }
  }
  return BAD;
}

std::size_t valid_number(sv s, std::size_t i) {
  auto digits = [&](std::size_t k) {
    const std::size_t from = k;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k;
    return k > from ? k : BAD;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else {
    i = digits(i);
    if (i == BAD) return BAD;
  }
  if (i < s.size() && s[i] == '.') {
    i = digits(i + 1);
    if (i == BAD) return BAD;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    i = digits(i);
  }
  return i;
}

std::size_t valid_container(sv s, std::size_t i, int depth) {
  const char close = s[i] == '{' ? '}' : ']';
  const bool object = close == '}';
  i = skip_blanks(s, i + 1);
  if (i < s.size() && s[i] == close) return i + 1;
  for (;;) {
    if (object) {
      i = valid_string(s, i);
      if (i == BAD) return BAD;
      i = skip_blanks(s, i);
      if (i >= s.size() || s[i] != ':') return BAD;
      i = skip_blanks(s, i + 1);
    }
    i = valid_value(s, i, depth + 1);
    if (i == BAD) return BAD;
    i = skip_blanks(s, i);
    if (i >= s.size()) return BAD;
    if (s[i] == close) return i + 1;
    if (s[i] != ',') return BAD;
    i = skip_blanks(s, i + 1);
  }
}

std::size_t valid_value(sv s, std::size_t i, int depth) {
  if (i >= s.size() || depth > MAX_DEPTH) return BAD;
  const char c = s[i];
  if (c == '{' || c == '[') return valid_container(s, i, depth);
  if (c == '"') return valid_string(s, i);
  if (c == '-' || (c >= '0' && c <= '9')) return valid_number(s, i);
  for (const sv word : {sv("true"), sv("false"), sv("null")})
    if (s.substr(i, word.size()) == word) return i + word.size();
  return BAD;
}

}  // namespace

bool json_object_valid(sv line) {
  const std::size_t i = skip_blanks(line, 0);
  if (i >= line.size() || line[i] != '{') return false;
  const std::size_t end = valid_value(line, i, 1);
  return end != BAD && skip_blanks(line, end) == line.size();
}

bool json_member(sv object, sv key, sv* value) {
  std::size_t i = skip_blanks(object, 0);
  if (i >= object.size() || object[i] != '{') return false;
  ++i;
  for (;;) {
    i = skip_blanks(object, i);
    if (i >= object.size() || object[i] != '"') return false;
    const std::size_t key_start = i + 1;
    i = skip_string(object, i);
    if (i > object.size() || object[i - 1] != '"' || i - 1 < key_start) return false;
    const sv name = object.substr(key_start, i - 1 - key_start);
    i = skip_blanks(object, i);
    if (i >= object.size() || object[i] != ':') return false;
    i = skip_blanks(object, i + 1);
    const std::size_t end = skip_value(object, i);
    if (name == key) {
      std::size_t last = end;
      while (last > i && is_blank(object[last - 1])) --last;
      *value = object.substr(i, last - i);
      return true;
    }
    i = skip_blanks(object, end);
    if (i >= object.size() || object[i] != ',') return false;
    ++i;
  }
}

bool json_string(sv object, sv key, char* out, std::size_t cap) {
  if (cap == 0) return false;
  out[0] = '\0';
  sv v;
  if (!json_member(object, key, &v) || v.empty() || v[0] != '"') return false;
  std::size_t o = 0;
  for (std::size_t i = 1; i < v.size() && v[i] != '"';) {
    char c = v[i];
    if (c == '\\' && i + 1 < v.size()) {
      const char e = v[i + 1];
      const int cp = e == 'u' ? hex4(v, i + 2) : -1;
      if (cp >= 0) {
        char enc[3];
        const std::size_t n = utf8_encode(cp, enc);
        if (o + n < cap) {
          std::memcpy(out + o, enc, n);
          o += n;
        }
        i += 6;
        continue;
      }
      c = (e == 'n' || e == 't') ? ' ' : e;
      i += 2;
    } else {
      ++i;
    }
    if (o + 1 < cap) out[o++] = c;
  }
  out[o] = '\0';
  return true;
}

bool json_numeric(sv object, sv key, double* out) {
  sv v;
  if (!json_member(object, key, &v) || v.empty() || !(v[0] == '-' || (v[0] >= '0' && v[0] <= '9'))) return false;
  char buf[64];
  copy_field(buf, sizeof buf, v);
  *out = std::strtod(buf, nullptr);
  return true;
}

double json_number(sv object, sv key) {
  double d = 0.0;
  json_numeric(object, key, &d);
  return d;
}

int32_t json_int(sv object, sv key) { return to_int32(json_number(object, key)); }

void dash_handle_line(DashModel& m, sv line, double now) {
  const std::size_t i = skip_blanks(line, 0);
  if (i >= line.size()) return;
  if (line[i] == '{')
    dash_handle_event(m, line.substr(i), now);
  else
    dash_add_message(m, line.substr(i));
}

void line_feed(LineAssembler& a, DashModel& m, const char* bytes, std::size_t n, double now) {
  for (std::size_t k = 0; k < n; ++k) {
    const char c = bytes[k];
    if (c != '\n') {
      if (a.len < LINE_CAPACITY - 1) a.line[a.len++] = c;
      continue;
    }
    a.line[a.len] = '\0';
    if (a.len > 0) dash_handle_line(m, sv(a.line, a.len), now);
    a.len = 0;
  }
}
