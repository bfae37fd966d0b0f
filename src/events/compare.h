#pragma once
// --compare OLD NEW, or OLD... --vs NEW...: reads the saved event streams of runs and reports, for
// the index and for every subtest the runs measured, whether the change lies beyond their noise.
// With one run a side the noise is that of each run's rounds, and a change must also be larger
// than what each run saw its own index move; with several a side, each run's figure is one sample
// and the runs themselves show the run-to-run noise. The exit status follows one figure: the
// all-core index where every run measured it, else the single-thread one.
#include <cstddef>

#include "events/event_reader.h"

constexpr int COMPARE_SLOWER_STATUS = 3;  // the deciding index got slower beyond noise

// Reads one saved stream into m. Returns 0, or -1 with a one-line reason in err that names the
// file and, where one is at fault, the line.
int load_event_stream(const char* path, DashModel* m, char* err, std::size_t cap);
// The comparison on standard output (text, or one JSON object when json is set). Each side is a
// list of saved streams or folders of them (*.ndjson). A change counts only beyond min_change_pct.
// Returns the exit status: 0, COMPARE_SLOWER_STATUS, or 1 when a stream cannot be read (reason on
// stderr).
int run_compare(char* const* old_args, int n_old, char* const* new_args, int n_new, double min_change_pct, int json);
// The decision alone over runs already read (1..32 a side): the exit status, and the outcome key
// ("slower", "faster", "no_difference", "noise_unknown" or "no_index").
int compare_decision(DashModel* const* old_runs, int n_old, DashModel* const* new_runs, int n_new,
                     double min_change_pct, const char** outcome);
