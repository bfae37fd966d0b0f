#pragma once
// --compare OLD NEW: reads the saved event streams of two runs and reports, for the index and for
// every subtest both runs measured, whether the change lies beyond the runs' own noise.
#include <cstddef>

#include "events/event_reader.h"

constexpr int COMPARE_SLOWER_STATUS = 3;  // something got slower beyond noise

// Reads one saved stream into m. Returns 0, or -1 with a one-line reason in err that names the
// file and, where one is at fault, the line.
int load_event_stream(const char* path, DashModel* m, char* err, std::size_t cap);
// The comparison on standard output (text, or one JSON object when json is set). Returns the
// exit status: 0, COMPARE_SLOWER_STATUS, or 1 when a stream cannot be read (reason on stderr).
int run_compare(const char* old_path, const char* new_path, int json);
