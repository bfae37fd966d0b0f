#pragma once

// Runs the program again as a child with --json and draws its events; returns the exit status,
// or -1 when it cannot start (the terminal is untouched then).
int run_dashboard_supervisor(int argc, char** argv);
