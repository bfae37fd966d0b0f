#pragma once
// Whether the machine's speed moved during a run: a change of level in the rounds' index that
// lies beyond their round-to-round noise, and whether a counter the run read explains it.
//
// The rule: every split of the rounds into an earlier and a later part, with at least
// DRIFT_MIN_SIDE rounds on each side, is judged by the comparison's own rank rule (the exact
// two-sided rank-sum test, ties included). The split with the smallest p-value is the candidate;
// it counts when that p-value is at most 0.05 divided by the number of splits tried (so the
// chance that noise alone reports a drift stays near 5 % however long the run) and the medians
// of the two parts differ by at least DRIFT_MIN_PCT. One wild round cannot make a split: with four
// or more rounds a side it takes a near-complete separation of the two parts.
//
// A counter explains the step when it moved the same way across the split by at least half the
// step's size: run-queue wait, steal or hidden stalls rising by that many points of the rounds'
// time for a slowdown (falling for a speed-up), or the sampled clock falling (rising) by that many
// percent. A step no counter explains is the host's: another tenant on the same physical core, or
// the host's power management, which a guest cannot see.

constexpr int DRIFT_MIN_SIDE = 4;
constexpr double DRIFT_ALPHA = 0.05;
constexpr double DRIFT_MIN_PCT = 0.5;   // a level change below this is not reported
constexpr double DRIFT_EXPLAINS = 0.5;  // a counter explains a step that it matches to this share

// Per round figures, round 1 first; any counter array may be null (not recorded). A counter value
// below 0 is a round where it was not read.
struct RoundSeries {
  const double* index;      // the run's primary index, per round
  int n;
  const double* wait_pct;   // run-queue wait, % of on-CPU time
  const double* steal_pct;  // steal, % of the machine's CPU time
  const double* stall_pct;  // hidden stalls, % of measuring time
  const double* clock_khz;  // mean sampled clock; 0 when none was read
};

struct Drift {
  int checked;        // enough rounds to look for a split
  int detected;
  double pct;         // later level against the earlier, %
  int round;          // the first round at the new level, counted from 1
  double p_value;     // of the chosen split
  double before;      // median index of the earlier part
  double after;       // and of the later
  int by_wait, by_steal, by_stalls, by_clock;  // which counters explain it
};

Drift detect_drift(const RoundSeries& s);
// True when some counter explains the drift.
bool drift_explained(const Drift& d);
// "machine speed moved -9.1% at round 5 (no counter explains it: host-level)", or with the
// counters that explain it; empty when no drift was detected.
void drift_text(const Drift& d, char* out, unsigned long cap);
