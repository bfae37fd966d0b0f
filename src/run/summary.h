#pragma once

// A worker's start delay (ms) above which the summary names it.
constexpr double LATE_START_NOTE_MS = 5.0;

// Plain-text report of a run measured in this process (text mode, or after the dashboard).
void print_summary(int ui);
