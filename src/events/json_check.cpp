#include "events/json_check.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

using sv = std::string_view;
constexpr std::size_t BAD = sv::npos;

// json_object_valid lets a line nest 32 deep; anything deeper is refused as malformed, which also
// bounds the recursion below.
constexpr int MAX_DEPTH = 40;

// tallyfox writes at most 4 decimals and no figure near a trillion: a nonzero magnitude outside
// these bounds is no figure it wrote.
constexpr double LARGEST = 1e12;
constexpr double SMALLEST = 1e-6;

// The members whose numbers may be negative. A plain entry names the member's own key; "a.b"
// names member b of an object (or of the objects in an array) whose key is a.
constexpr const char* kMayBeNegative[] = {
    "rt_runtime_us",  // -1: the kernel puts no limit on real-time runtime
    "thermal_c",      // a temperature; older streams wrote -0.0 when there was no sensor
    "change_pct",     // a change between two runs goes either way
    "drift.pct",      // so does a drift
};

// Members with a tighter bound than LARGEST, named as kMayBeNegative names them. An index is 1000
// for the reference machine; ten thousand times that is no machine a run measured, and a larger
// value would make every change it is compared with look like noise.
struct Bound {
  const char* entry;
  double largest;
};
constexpr Bound kBounds[] = {
    {"index_st", 1e7}, {"index_mt", 1e7}, {"index.st", 1e7}, {"index.mt", 1e7},
    {"index_st_undisturbed", 1e7}, {"index_mt_undisturbed", 1e7}, {"index.st_undisturbed", 1e7},
    {"index.mt_undisturbed", 1e7},
};

// Significant digits kept when a number is rewritten for strtod: past 767 digits no digit can
// move a binary64 rounding boundary, so with a sticky digit for the rest the conversion is
// exactly that of the whole text.
constexpr std::size_t KEPT_DIGITS = 800;
// Exponents beyond this give inf or 0 for any mantissa kept; larger ones are clamped to it.
constexpr long long EXPONENT_CLAMP = 10000000;
// Number text shown in a fault, at most; longer text is cut and marked.
constexpr int SHOWN_NUMBER = 48;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_blanks(sv s, std::size_t i) {
  while (i < s.size() && is_blank(s[i])) ++i;
  return i;
}

// s[i] is an opening quote; the index after the closing one, or BAD when there is none.
std::size_t string_end(sv s, std::size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\')
      ++i;
    else if (s[i] == '"')
      return i + 1;
  }
  return BAD;
}

// The index after the value that starts at s[i], for a value already walked once: a string, an
// array or object (nesting counted, strings stepped over) or a scalar.
std::size_t value_end(sv s, std::size_t i) {
  if (i >= s.size()) return BAD;
  if (s[i] == '"') return string_end(s, i);
  if (s[i] != '{' && s[i] != '[') {
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && !is_blank(s[i])) ++i;
    return i;
  }
  int depth = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      i = string_end(s, i);
      if (i == BAD) return BAD;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return i + 1;
    }
    ++i;
  }
  return BAD;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of four hex digits at s[i..i+3], or -1.
long hex4(sv s, std::size_t i) {
  if (i + 4 > s.size()) return -1;
  long unit = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int h = hex_value(s[i + k]);
    if (h < 0) return -1;
    unit = unit * 16 + h;
  }
  return unit;
}

// The bytes a decoding reader (jq, Python) sees in the content of a JSON string, quotes left
// out: an escape gives its character in UTF-8, a surrogate pair one 4-byte character (a lone
// surrogate 3 bytes, so it equals only itself), any other byte itself. Two keys are the same key
// to such a reader when these bytes are, however each is spelled.
struct DecodedBytes {
  sv raw;
  std::size_t i = 0;
  unsigned char pending[4] = {};
  int count = 0;
  int taken = 0;

  // The next byte, or -1 at the end.
  int next() {
    if (taken < count) return pending[taken++];
    if (i >= raw.size()) return -1;
    const unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c != '\\' || i + 1 >= raw.size()) {
      ++i;
      return c;
    }
    const char e = raw[i + 1];
    i += 2;
    switch (e) {
      case 'b': return '\b';
      case 'f': return '\f';
      case 'n': return '\n';
      case 'r': return '\r';
      case 't': return '\t';
      case 'u': break;
      default: return static_cast<unsigned char>(e);  // '"', '\\' and '/' stand for themselves
    }
    long cp = hex4(raw, i);
    if (cp < 0) return 'u';  // not an escape of a well-formed line: read as written
    i += 4;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < raw.size() && raw[i] == '\\' && raw[i + 1] == 'u') {
      const long low = hex4(raw, i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 6;
      }
    }
    encode(cp);
    return pending[taken++];
  }

  void encode(long cp) {
    taken = 0;
    if (cp < 0x80) {
      pending[0] = static_cast<unsigned char>(cp);
      count = 1;
    } else if (cp < 0x800) {
      pending[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      pending[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      count = 2;
    } else if (cp < 0x10000) {
      pending[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      pending[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      pending[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      count = 3;
    } else {
      pending[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      pending[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      pending[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      pending[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      count = 4;
    }
  }
};

// Whether two string contents (quotes left out) decode to the same text.
bool same_text(sv a, sv b) {
  DecodedBytes x{a};
  DecodedBytes y{b};
  for (;;) {
    const int p = x.next();
    if (p != y.next()) return false;
    if (p < 0) return true;
  }
}

// Whether a table entry ("key", or "parent.key") names the member key of the object parent.
bool names_member(sv e, sv key, sv parent) {
  const std::size_t dot = e.find('.');
  return dot == sv::npos ? same_text(key, e)
                         : same_text(parent, e.substr(0, dot)) && same_text(key, e.substr(dot + 1));
}

bool may_be_negative(sv key, sv parent) {
  for (const char* entry : kMayBeNegative)
    if (names_member(entry, key, parent)) return true;
  return false;
}

double largest_for(sv key, sv parent) {
  for (const Bound& b : kBounds)
    if (names_member(b.entry, key, parent)) return b.largest;
  return LARGEST;
}

// One number of the text, read by the JSON grammar.
struct Number {
  std::size_t end;  // the index after its text
  bool negative;    // its text starts with '-'
  bool nonzero;     // its text has a nonzero digit before the exponent
  double value;     // strtod of its text
};

// The number whose text starts at s[i]; false when the text there is not one. strtod is given
// the text rewritten as integer digits and an exponent: it then has no decimal point for a
// locale to misread, and a thousand leading zeros or a huge exponent fit a small buffer.
bool read_number(sv s, std::size_t i, Number* n) {
  n->negative = i < s.size() && s[i] == '-';
  if (n->negative) ++i;
  const std::size_t int_from = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  const std::size_t int_digits = i - int_from;
  if (int_digits == 0) return false;
  std::size_t frac_from = i;
  if (i < s.size() && s[i] == '.') {
    frac_from = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == frac_from) return false;
  }
  const std::size_t frac_digits = i - frac_from;
  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    const bool minus = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    const std::size_t from = i;
    for (; i < s.size() && is_digit(s[i]); ++i)
      if (exponent < EXPONENT_CLAMP) exponent = exponent * 10 + (s[i] - '0');
    if (i == from) return false;
    if (minus) exponent = -exponent;
  }
  n->end = i;

  const std::size_t total = int_digits + frac_digits;
  auto digit = [&](std::size_t k) { return k < int_digits ? s[int_from + k] : s[frac_from + k - int_digits]; };
  std::size_t first = 0;
  while (first < total && digit(first) == '0') ++first;
  n->nonzero = first < total;
  if (!n->nonzero) {
    n->value = n->negative ? -0.0 : 0.0;
    return true;
  }

  char text[KEPT_DIGITS + 32];
  std::size_t o = 0;
  if (n->negative) text[o++] = '-';
  std::size_t kept = 0;
  bool rest_nonzero = false;
  for (std::size_t k = first; k < total; ++k) {
    if (kept < KEPT_DIGITS) {
      text[o++] = digit(k);
      ++kept;
    } else if (digit(k) != '0') {
      rest_nonzero = true;
    }
  }
  if (rest_nonzero) {
    text[o++] = '1';
    ++kept;
  }
  // The digits written, as an integer, times 10^scale is the value (to the sticky digit).
  long long scale = static_cast<long long>(int_digits) - static_cast<long long>(first) + exponent -
                    static_cast<long long>(kept);
  if (scale > EXPONENT_CLAMP) scale = EXPONENT_CLAMP;
  if (scale < -EXPONENT_CLAMP) scale = -EXPONENT_CLAMP;
  std::snprintf(text + o, sizeof text - o, "e%lld", scale);
  n->value = std::strtod(text, nullptr);
  return true;
}

struct Walk {
  sv s;
  LineFault* fault;
  char path[sizeof(LineFault::key)];  // dotted keys of the member being walked
  std::size_t path_len;
};

// Adds ".key" (or "key" first) to the path, as written in the line with anything but printable
// ASCII shown as '?': the path is for a person to find the member, and a key could hold terminal
// controls. Cut at the capacity. Returns the length to restore.
std::size_t push_key(Walk& w, sv key) {
  const std::size_t outer = w.path_len;
  const std::size_t cap = sizeof w.path - 1;
  if (w.path_len > 0 && w.path_len < cap) w.path[w.path_len++] = '.';
  for (std::size_t k = 0; k < key.size() && w.path_len < cap; ++k) {
    const char c = key[k];
    w.path[w.path_len++] = c >= 0x20 && c < 0x7F ? c : '?';
  }
  w.path[w.path_len] = '\0';
  return outer;
}

void pop_key(Walk& w, std::size_t outer) {
  w.path_len = outer;
  w.path[outer] = '\0';
}

std::size_t refuse(Walk& w, const char* what) {
  std::snprintf(w.fault->key, sizeof w.fault->key, "%s", w.path);
  std::snprintf(w.fault->what, sizeof w.fault->what, "%s", what);
  return BAD;
}

std::size_t refuse_number(Walk& w, const char* what, sv text) {
  const bool cut = text.size() > static_cast<std::size_t>(SHOWN_NUMBER);
  std::snprintf(w.fault->key, sizeof w.fault->key, "%s", w.path);
  std::snprintf(w.fault->what, sizeof w.fault->what, "%s (%.*s%s)", what,
                cut ? SHOWN_NUMBER : static_cast<int>(text.size()), text.data(), cut ? "..." : "");
  return BAD;
}

std::size_t malformed(Walk& w) { return refuse(w, "not one well-formed JSON object"); }

// Whether a member of the object whose first member's key starts at first, before the member
// whose key starts at at, has the key (quotes left out). Those members were walked already.
bool earlier_key(sv s, std::size_t first, std::size_t at, sv key) {
  for (std::size_t k = first; k < at;) {
    const std::size_t key_end = string_end(s, k);
    if (same_text(s.substr(k + 1, key_end - k - 2), key)) return true;
    const std::size_t end = value_end(s, skip_blanks(s, skip_blanks(s, key_end) + 1));
    if (end == BAD) return false;
    k = skip_blanks(s, skip_blanks(s, end) + 1);  // past the ','
  }
  return false;
}

std::size_t check_object(Walk& w, std::size_t i, sv key, int depth);
std::size_t check_array(Walk& w, std::size_t i, sv key, sv parent, int depth);

std::size_t check_number(Walk& w, std::size_t i, sv key, sv parent) {
  Number n;
  if (!read_number(w.s, i, &n)) return malformed(w);
  const sv text = w.s.substr(i, n.end - i);
  if (!std::isfinite(n.value)) return refuse_number(w, "not a finite number", text);
  if (!n.nonzero) return n.end;  // zero, -0.0 included
  const double magnitude = std::fabs(n.value);
  if (magnitude > largest_for(key, parent)) return refuse_number(w, "absurdly large", text);
  // A nonzero text that strtod took to 0 lands here too.
  if (magnitude < SMALLEST) return refuse_number(w, "absurdly small", text);
  if (n.negative && !may_be_negative(key, parent)) return refuse_number(w, "negative", text);
  return n.end;
}

// The value at s[i] of the member key (the array's key for an element) of an object whose own key
// is parent; returns the index after it, or BAD with the fault filled.
std::size_t check_value(Walk& w, std::size_t i, sv key, sv parent, int depth) {
  const sv s = w.s;
  if (i >= s.size()) return malformed(w);
  const char c = s[i];
  if (c == '{') return check_object(w, i, key, depth + 1);
  if (c == '[') return check_array(w, i, key, parent, depth + 1);
  if (c == '"') {
    const std::size_t end = string_end(s, i);
    return end == BAD ? malformed(w) : end;
  }
  if (c == '-' || is_digit(c)) return check_number(w, i, key, parent);
  for (const sv word : {sv("true"), sv("false"), sv("null")})
    if (s.substr(i, word.size()) == word) return i + word.size();
  return malformed(w);
}

// The object at s[i] == '{' whose key is key (empty for the line itself).
std::size_t check_object(Walk& w, std::size_t i, sv key, int depth) {
  const sv s = w.s;
  if (depth > MAX_DEPTH) return malformed(w);
  const std::size_t first = skip_blanks(s, i + 1);
  if (first < s.size() && s[first] == '}') return first + 1;
  for (std::size_t at = first;;) {
    if (at >= s.size() || s[at] != '"') return malformed(w);
    const std::size_t key_end = string_end(s, at);
    if (key_end == BAD) return malformed(w);
    const sv name = s.substr(at + 1, key_end - at - 2);
    const std::size_t colon = skip_blanks(s, key_end);
    if (colon >= s.size() || s[colon] != ':') return malformed(w);
    const std::size_t outer = push_key(w, name);
    if (earlier_key(s, first, at, name)) return refuse(w, "a duplicate key");
    const std::size_t end = check_value(w, skip_blanks(s, colon + 1), name, key, depth);
    if (end == BAD) return BAD;
    pop_key(w, outer);
    const std::size_t next = skip_blanks(s, end);
    if (next < s.size() && s[next] == '}') return next + 1;
    if (next >= s.size() || s[next] != ',') return malformed(w);
    at = skip_blanks(s, next + 1);
  }
}

// The array at s[i] == '[' of the member key of an object whose key is parent. Its elements are
// checked as that member: the path leaves the index out.
std::size_t check_array(Walk& w, std::size_t i, sv key, sv parent, int depth) {
  const sv s = w.s;
  if (depth > MAX_DEPTH) return malformed(w);
  std::size_t at = skip_blanks(s, i + 1);
  if (at < s.size() && s[at] == ']') return at + 1;
  for (;;) {
    const std::size_t end = check_value(w, at, key, parent, depth);
    if (end == BAD) return BAD;
    const std::size_t next = skip_blanks(s, end);
    if (next < s.size() && s[next] == ']') return next + 1;
    if (next >= s.size() || s[next] != ',') return malformed(w);
    at = skip_blanks(s, next + 1);
  }
}

}  // namespace

bool event_line_fault(std::string_view line, LineFault* fault) {
  LineFault unused;
  Walk w{line, fault != nullptr ? fault : &unused, {}, 0};
  const std::size_t i = skip_blanks(line, 0);
  const std::size_t end = i < line.size() && line[i] == '{' ? check_object(w, i, sv{}, 1) : malformed(w);
  if (end == BAD) return true;
  if (skip_blanks(line, end) != line.size()) {
    malformed(w);
    return true;
  }
  return false;
}
