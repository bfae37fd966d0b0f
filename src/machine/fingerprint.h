#pragma once
#include <cstddef>

// "<compiler> <flags> sha256:<16 hex digits of our own executable>", empty until computed.
extern char g_fingerprint[192];

// Hashes /proc/self/exe (through the path root) into g_fingerprint; an unreadable executable
// hashes as empty input.
void compute_fingerprint();

// The fingerprint text for a compiler text, a flags text and the executable at exe_path.
void format_fingerprint(const char* compiler, const char* flags, const char* exe_path, char* out,
                        std::size_t size);
