#pragma once
// The dashboard the measuring process draws itself when no supervisor runs it.
#include "subtests/registry.h"

void core_map_reset();
// Marks a CPU position of the core map as outside the bench set.
void core_map_exclude(int position);
void dash_terminal_enter();
// Async-signal-safe: the cleanup calls it from signal handlers too.
void dash_terminal_leave();
void draw_inprocess_dashboard();
void dashboard_progress_hook(const SubtestSpec* spec, const char* label, double percent);
// The running subtest shown on the dashboard; cleared before the final frame.
void dashboard_clear_current();
void dashboard_use_256_colours(int on);
