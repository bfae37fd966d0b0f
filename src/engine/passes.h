#pragma once
// Passes over the selected subtests, and the index rounds of a full run.

// One pass: every selected subtest's single-thread phase and, in a full run on two or more
// CPUs, its all-core phase, into the results table.
void run_subtest_pass();
// The rounds of a full run until converged, plateau, 32 rounds, 300 s or a stop; then the
// verdict and the final median index.
void run_index_rounds();
// Records one completed round into the round state and applies the stopping rules.
// Returns 1 when the rounds must end after it.
int record_round();
// The end of the rounds: verdict, then the median index of the last rounds.
void finish_rounds();
// True when a subtest of the registry runs in this mode with this filter.
bool subtest_selected(const struct SubtestSpec& spec);
