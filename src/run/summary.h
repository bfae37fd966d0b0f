#pragma once

// Plain-text report of a run measured in this process (text mode, or after the dashboard).
void print_summary(int ui);
