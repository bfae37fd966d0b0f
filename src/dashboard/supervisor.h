#pragma once
// The terminal dashboard's parent process: runs the program again as a child with --json, reads
// its events from a pipe into g_dash_model, reads single keys and redraws the screen about ten
// times a second in the alternate screen.
#include <cstddef>

#include "events/event_reader.h"

// Runs the program again as a child with --json and draws its events; returns the exit status,
// or -1 when it cannot start (the terminal is untouched then).
int run_dashboard_supervisor(int argc, char** argv);

// Fills out (argc + 2 entries) with path, the arguments 1..argc-1 without "--ui", "--ui2" and
// "--json", then "--json" and a null; returns the number of arguments before the null.
int build_child_argv(const char* path, int argc, char** argv, char** out);

enum KeyAction { KEY_NONE, KEY_STOP, KEY_TERMINATE_AND_LEAVE, KEY_LEAVE, KEY_THEME };

// What a key byte does in the state m shows: q, Q and ESC stop the child, then end it and leave,
// and once it has ended just leave; t and T switch the theme.
KeyAction supervisor_key_action(const DashModel& m, int byte);

// The child's exit code from its wait status; 128 when a signal ended it.
int child_exit_code(int wait_status);

// The plain-text summary printed after the dashboard closes: the child's diagnostics, each with
// one "tallyfox: " prefix, then the result, with control characters of the child's texts
// replaced; returns its length (cut to cap - 1 bytes).
std::size_t format_supervisor_summary(const DashModel& m, char* out, std::size_t cap);
