#pragma once
// Every fixed path the program reads or writes (/proc, /sys, /tmp, /etc, /usr/app) is formed here,
// so tests can point the whole program at a fixture tree. Production never sets the root.
#include <cstdarg>
#include <cstddef>

// Longest root set_path_root keeps (longer roots are cut), including its NUL.
constexpr std::size_t PATH_ROOT_MAX = 256;
// A path buffer that holds any root plus the longest fixed path of the program (160 bytes).
constexpr std::size_t ROOTED_PATH_MAX = PATH_ROOT_MAX + 160;

// Empty in production; a test sets it to a fixture directory ("tests/fixtures/hybrid8").
void set_path_root(const char* root);
const char* path_root();

// Formats root + the printf-style absolute path into buf (always NUL-terminated).
// Returns the length written, or -1 when it did not fit.
int make_path(char* buf, std::size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int make_path_v(char* buf, std::size_t size, const char* fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// One read of at most size-1 bytes, NUL-terminated, trailing spaces and line feeds stripped.
// Returns the remaining length, or -1 when the file cannot be opened or read. `path` is used
// as given (callers form it with make_path).
long read_small_file(const char* path, char* buf, std::size_t size);

// read_small_file of root + the formatted absolute path; -1 also when the path does not fit.
long read_pseudo_file(char* buf, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Decimal number of a pseudo-file read with a 64-byte buffer; `fallback` when the read fails.
// An empty or non-numeric file gives 0.
long read_pseudo_long(long fallback, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Decimal long at the start of text: leading blanks allowed, stops at the first non-digit,
// empty or non-numeric text gives 0, out-of-range values saturate.
long parse_long(const char* text);
