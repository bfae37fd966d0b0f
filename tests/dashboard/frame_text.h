#pragma once
// Reading terminal output in tests: what a person would see of it.
#include <string>
#include <string_view>

// The text without its CSI sequences (ESC [ parameters final-letter).
inline std::string plain(std::string_view s) {
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
      for (i += 2; i < s.size() && !((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z')); ++i) {
      }
      continue;
    }
    r += s[i];
  }
  return r;
}

// Occurrences of part in s, not overlapping.
inline int count(std::string_view s, std::string_view part) {
  int n = 0;
  for (std::size_t at = s.find(part); at != std::string_view::npos; at = s.find(part, at + part.size())) ++n;
  return n;
}

inline std::string repeat(std::string_view s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}
