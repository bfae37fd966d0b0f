#pragma once
// Well-formed UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates (U+D800..U+DFFF) and
// nothing above U+10FFFF. Every text the program writes for a reader (events, screens) keeps only
// such characters.
#include <cstddef>
#include <cstring>

// Bytes of the well-formed character that starts at p (1 for ASCII, the NUL included; 2 to 4
// otherwise), or 0 when the bytes there are not one. Reads no byte past the first that breaks
// the form, so a NUL-terminated text is never overrun.
inline std::size_t utf8_char_length(const unsigned char* p) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // below is overlong
    if (c == 0xED) high = 0x9F;  // above are the surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;   // below is overlong
    if (c == 0xF4) high = 0x8F;  // above is past U+10FFFF
  } else {
    return 0;  // continuation bytes, C0, C1 (overlong) and F5..FF
  }
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((p[k] & 0xC0) != 0x80) return 0;
  return n;
}

// A well-formed character of n bytes at p that a terminal draws: not a C0 or C1 control
// character and not DEL.
inline bool utf8_printable(const unsigned char* p, std::size_t n) {
  if (n == 1) return p[0] >= 0x20 && p[0] != 0x7F;
  return !(n == 2 && p[0] == 0xC2 && p[1] <= 0x9F);
}

// The bytes of text that fit in max_bytes without cutting a character in half (a byte that starts
// no well-formed character counts as one).
inline int utf8_fit(const char* text, int max_bytes) {
  int n = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (p[n] != '\0') {
    const std::size_t len = utf8_char_length(p + n);
    const int step = len == 0 ? 1 : static_cast<int>(len);
    if (n + step > max_bytes) break;
    n += step;
  }
  return n;
}

// Copies text into out (always NUL-terminated, cut to size − 1 bytes, never inside a code point)
// with every control character (below 0x20, 0x7f, U+0080..U+009F) and every byte that is not
// well-formed UTF-8 (RFC 3629) replaced by '?', so text from outside cannot act on the terminal.
inline void copy_printable(char* out, std::size_t size, const char* text) {
  if (size == 0) return;
  std::size_t n = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0 && n + 1 < size) {
    const std::size_t len = utf8_char_length(p);
    if (len == 0 || !utf8_printable(p, len)) {
      out[n++] = '?';
      p += len == 0 ? 1 : len;
      continue;
    }
    if (n + len >= size) break;  // never a partial code point
    std::memcpy(out + n, p, len);
    n += len;
    p += len;
  }
  out[n] = '\0';
}
