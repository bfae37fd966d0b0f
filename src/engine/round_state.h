#pragma once
// The index rounds of a full run and the statistics their stopping rules use.

constexpr int MAX_ROUNDS = 32;
constexpr int ROUND_WINDOW = 4;
constexpr double TARGET_SPREAD = 0.015;
constexpr double IMPROVEMENT_STEP = 0.001;
constexpr int PLATEAU_LIMIT = 5;
constexpr double ROUND_TIME_LIMIT = 300.0;  // seconds since consent (RunControl rounds_epoch)

struct RoundState {
  int rounds;
  double st_history[MAX_ROUNDS];
  double mt_history[MAX_ROUNDS];
  double index_st;
  double index_mt;
  int index_n;
  double spread = 1.0;     // fraction
  double precision = 1.0;  // best spread so far
  int converged;
  int plateau;
  // A spread exists from ROUND_WINDOW rounds on, and only over an index above 0; until then spread
  // and precision hold their starting 1.0, which is no measurement.
  int spread_known;
  int precision_known;
  // The same index from the undisturbed rates (as if nothing had paused the workers), and per round the
  // hidden stalls and the workers' measuring time they lie in (seconds, every phase of the round).
  double ust_history[MAX_ROUNDS];
  double umt_history[MAX_ROUNDS];
  double stall_history[MAX_ROUNDS];
  double worktime_history[MAX_ROUNDS];
  // Per round, the run-queue wait the kernel counted and the on-CPU time it is a share of
  // (seconds, every worker of every phase): the verdict pools them over the index's rounds.
  double waittime_history[MAX_ROUNDS];
  double runtime_history[MAX_ROUNDS];
  double roundtime_history[MAX_ROUNDS];  // each round's wall time, seconds
  double round_started;                  // monotonic seconds at the current round's start; 0 unknown
  // Per round, the steal share of the machine's CPU time (%, -1 when the counter was not read) and
  // the mean clock the phases sampled (kHz, 0 when none was read): what could explain a round
  // that ran at another speed.
  double steal_history[MAX_ROUNDS];
  double clock_history[MAX_ROUNDS];
  long round_steal_mark;  // steal ticks since the baseline at the current round's start; -1 unread
  // The rounds the final index is the median of, and their spread, set when the rounds end: the
  // precision the index is reported with. Known from ROUND_WINDOW rounds on; before, no spread
  // of the index exists yet.
  int range_known;
  double range;     // (hi - lo) / median, a fraction
  double range_lo, range_hi;
  int range_first, range_last;  // round numbers, counted from 1; 0 without rounds
  double uindex_st;
  double uindex_mt;
};

extern RoundState g_rounds;

void reset_round_state();
// -1, 1 or 0 (also when either is NaN).
int compare_doubles(const void* a, const void* b);
// Median of 1..32 values; the input is not changed.
double median(const double* values, int n);
// (max - min) / median over the last w of n values; 1.0 with fewer than w values or median <= 0.
double relative_spread(const double* values, int n, int w);
// True when every one of the n values is above 0 (a NaN is not): figures that were all measured.
bool all_positive(const double* values, int n);
// The history the run's primary index comes from: all-core when the run measured it, else
// single-thread.
const double* primary_history(const RoundState& rs);

// When the rounds end at the latest, in the clock of `epoch` (when they began): the rounds' time
// limit, or sooner when MAX_ROUNDS rounds at the pace of the `done` ones (lasting `done_seconds`
// together) end before it. What a person waits for; the watchdog's deadline lies beyond it.
double rounds_end_estimate(double epoch, double done_seconds, int done);

