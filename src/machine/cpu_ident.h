#pragma once
#include <cstddef>
#include <cstdio>

// What one pass over /proc/cpuinfo found; the first occurrence of each key wins.
struct CpuinfoFacts {
  char model[128];     // "model name" or "Processor" value, empty when not seen
  char hardware[128];  // "Hardware" value, empty when not seen
  long implementer;    // "CPU implementer", 0 when not seen
  long part;           // "CPU part", 0 when not seen
};

// Fills g_machine.cpu_model from /proc/cpuinfo (once; a second call does nothing). When cpuinfo
// cannot be opened the model stays empty and a later call tries again.
void identify_cpu();

// /proc/device-tree/model into a 128-byte buffer; remaining length or -1. The file's own NUL
// terminator stays inside the buffer and ends the text.
long read_device_tree_model(char* buf, std::size_t size);

// Feeds one line (as fgets returns it, newline included when it fit) into the facts.
void scan_cpuinfo_line(CpuinfoFacts* facts, const char* line);

// Zeroes the facts and scans the stream in 256-byte reads; a longer line continues as a line of
// its own.
void scan_cpuinfo(std::FILE* in, CpuinfoFacts* facts);

// The model text for the facts into out: the model line as it is; else, without an implementer,
// the Hardware value, the device-tree model (nullptr or empty when there is none) or
// "(unknown CPU)"; else a name composed from implementer and part, "(Hardware)" appended.
void choose_cpu_model(const CpuinfoFacts& facts, const char* dt_model, char* out, std::size_t size);
