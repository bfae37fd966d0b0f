#pragma once
#include <cstddef>

// A worker's start delay (ms) above which the summary names it.
constexpr double LATE_START_NOTE_MS = 5.0;

// Plain-text report of a run measured in this process (text mode, or after the dashboard).
void print_summary(int ui);
// A whole-number figure, or "—" when it is 0 (not measured: no all-core phase, no index).
void figure_or_dash(char* out, std::size_t cap, double value);
