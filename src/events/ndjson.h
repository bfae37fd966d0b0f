#pragma once
// The NDJSON event stream: start, progress, subtest, round and result, one object per line.
#include <cstddef>

#include "subtests/registry.h"

// Escapes free text for a JSON string: backslash and quote escaped, LF as \n, other control
// bytes and bytes that are not well-formed UTF-8 (RFC 3629) dropped; always NUL-terminated within
// cap, never cuts an escape or a character in half.
void json_escape(const char* src, char* dst, std::size_t cap);

// --save: opens path as a regular file (never through a symlink, never a FIFO or a device),
// creating it when missing and emptying it when empty_it is set; every event is written to it
// from then on. Returns 0, or -1 with the reason in err.
int open_event_save(const char* path, int empty_it, char* err, std::size_t cap);
void close_event_save();
// Why the saved stream stopped before the run ended (a full disk, a write error), or null while
// every event reached it.
const char* event_save_failure();
// True when events are written somewhere: a JSON run, or a saved stream.
bool event_stream_wanted();

void emit_start();
void emit_progress(const SubtestSpec* spec, const char* phase, double pct);
void emit_subtest(const SubtestResult& r);
// The undisturbed indexes follow the delivered ones, as keys appended at the end of the event.
void emit_round(int round, int converged, double index_st, double index_mt, double spread, double uindex_st,
                double uindex_mt);
void emit_result();

// progress_hook of a JSON run: writes at most one progress event per 0.5 s.
void json_progress_hook(const SubtestSpec* spec, const char* label, double percent);
void reset_json_progress();
// True when a progress event may be written at monotonic time now (and takes now as the new
// reference).
bool json_progress_due(double now);
