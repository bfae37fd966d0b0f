#include "verdict/drift.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/round_state.h"
#include "events/change_rule.h"

namespace {

// Median of the values of [from, to) that were read (at least `least`); -1 when none was.
double side_median(const double* v, int from, int to, double least = 0) {
  if (!v) return -1;
  double read[MAX_ROUNDS];
  int n = 0;
  for (int i = from; i < to && n < MAX_ROUNDS; ++i)
    if (v[i] >= least) read[n++] = v[i];
  return n > 0 ? median(read, n) : -1;
}

// Did a share counter (points of time lost) move with the step far enough to explain it? A
// slowdown of x % takes a rise of about x points.
bool share_explains(const double* v, int split, int n, double step_pct) {
  const double a = side_median(v, 0, split), b = side_median(v, split, n);
  if (a < 0 || b < 0) return false;
  const double rise = b - a;
  return step_pct < 0 ? rise >= -step_pct * DRIFT_EXPLAINS : -rise >= step_pct * DRIFT_EXPLAINS;
}

bool clock_explains(const double* v, int split, int n, double step_pct) {
  // A clock of 0 is a round where none was read, not a stopped CPU.
  const double a = side_median(v, 0, split, 1e-9), b = side_median(v, split, n, 1e-9);
  if (!(a > 0) || !(b > 0)) return false;
  const double change = (b - a) * 100.0 / a;
  return step_pct < 0 ? change <= step_pct * DRIFT_EXPLAINS : change >= step_pct * DRIFT_EXPLAINS;
}

}  // namespace

Drift detect_drift(const RoundSeries& s) {
  Drift d{};
  const int n = s.n < MAX_ROUNDS ? s.n : MAX_ROUNDS;
  if (!s.index || n < 2 * DRIFT_MIN_SIDE) return d;
  if (!all_positive(s.index, n)) return d;  // a round without an index has no level to compare
  d.checked = 1;
  const int splits = n - 2 * DRIFT_MIN_SIDE + 1;
  const double alpha = DRIFT_ALPHA / splits;
  int best = -1;
  ChangeDecision best_d{};
  for (int split = DRIFT_MIN_SIDE; split <= n - DRIFT_MIN_SIDE; ++split) {
    const ChangeDecision c = decide_change(s.index, split, s.index + split, n - split);
    if (c.kind != CHANGE_FASTER && c.kind != CHANGE_SLOWER) continue;
    if (c.p_value > alpha || std::fabs(c.change_pct) < DRIFT_MIN_PCT) continue;
    if (best < 0 || c.p_value < best_d.p_value ||
        (c.p_value == best_d.p_value && std::fabs(c.change_pct) > std::fabs(best_d.change_pct))) {
      best = split;
      best_d = c;
    }
  }
  if (best < 0) return d;
  d.detected = 1;
  d.pct = best_d.change_pct;
  d.round = best + 1;
  d.p_value = best_d.p_value;
  d.before = best_d.old_median;
  d.after = best_d.new_median;
  d.by_wait = share_explains(s.wait_pct, best, n, d.pct);
  d.by_steal = share_explains(s.steal_pct, best, n, d.pct);
  d.by_stalls = share_explains(s.stall_pct, best, n, d.pct);
  d.by_clock = clock_explains(s.clock_khz, best, n, d.pct);
  return d;
}

bool drift_explained(const Drift& d) { return d.by_wait || d.by_steal || d.by_stalls || d.by_clock; }

void drift_text(const Drift& d, char* out, unsigned long cap) {
  if (cap == 0) return;
  out[0] = '\0';
  if (!d.detected) return;
  if (!drift_explained(d)) {
    std::snprintf(out, cap, "machine speed moved %+.1f%% at round %d (no counter explains it: host-level)", d.pct,
                  d.round);
    return;
  }
  char list[64] = "";
  const struct {
    int on;
    const char* name;
  } counters[] = {{d.by_wait, "runqueue wait"}, {d.by_steal, "steal"}, {d.by_stalls, "hidden stalls"},
                  {d.by_clock, "clock"}};
  for (const auto& c : counters) {
    if (!c.on) continue;
    const std::size_t len = std::strlen(list);
    std::snprintf(list + len, sizeof list - len, "%s%s", len ? ", " : "", c.name);
  }
  std::snprintf(out, cap, "machine speed moved %+.1f%% at round %d (explained by %s)", d.pct, d.round, list);
}
