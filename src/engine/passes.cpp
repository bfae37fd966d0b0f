#include "engine/passes.h"

#include <algorithm>
#include <cmath>
#include <unistd.h>

#include "engine/phase.h"
#include "engine/round_state.h"
#include "events/ndjson.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "verdict/verdict.h"

namespace {

constexpr double PROBE_LAST_START = 0.15;  // no new subtest in the probe's last 0.15 s

bool stop_requested() { return g_run.stop_requested.load(std::memory_order_relaxed) != 0; }

// The rows of the last ROUND_WINDOW completed rounds, by round number modulo the window: the
// final table is taken from the same rounds as the final index.
SubtestResult g_round_rows[ROUND_WINDOW][MAX_RESULTS];
int g_round_row_count[ROUND_WINDOW];

template <typename Field>
double median_field(const SubtestResult* const* rows, int k, Field field) {
  double v[ROUND_WINDOW];
  for (int j = 0; j < k; ++j) v[j] = static_cast<double>(field(*rows[j]));
  return median(v, k);
}

// Every figure of a phase as the median over k rounds' phases, each figure on its own.
template <typename Phase>
PhaseResult median_phase(const SubtestResult* const* rows, int k, Phase phase) {
  auto med = [&](auto member) {
    return median_field(rows, k, [&](const SubtestResult& r) { return phase(r).*member; });
  };
  PhaseResult out{};
  out.rate = med(&PhaseResult::rate);
  out.wait_pct = med(&PhaseResult::wait_pct);
  out.wait_agg = med(&PhaseResult::wait_agg);
  out.nivcsw = static_cast<int32_t>(std::lround(med(&PhaseResult::nivcsw)));
  out.khz_lo = static_cast<int32_t>(std::lround(med(&PhaseResult::khz_lo)));
  out.khz_hi = static_cast<int32_t>(std::lround(med(&PhaseResult::khz_hi)));
  out.clock_ratio = med(&PhaseResult::clock_ratio);
  out.peak_mc = static_cast<int32_t>(std::lround(med(&PhaseResult::peak_mc)));
  out.lead_rate = med(&PhaseResult::lead_rate);
  out.stall_pct = med(&PhaseResult::stall_pct);
  out.stall_agg = med(&PhaseResult::stall_agg);
  out.stall_max_ms = med(&PhaseResult::stall_max_ms);
  out.undisturbed_rate = med(&PhaseResult::undisturbed_rate);
  out.stall_seconds = med(&PhaseResult::stall_seconds);
  out.worker_seconds = med(&PhaseResult::worker_seconds);
  out.wait_seconds = med(&PhaseResult::wait_seconds);
  out.run_seconds = med(&PhaseResult::run_seconds);
  out.start_delay_ms = med(&PhaseResult::start_delay_ms);
  return out;
}

// Replaces the results table by the medians of the last k completed rounds, row by row.
void table_from_last_rounds(int rounds) {
  const int k = rounds < ROUND_WINDOW ? rounds : ROUND_WINDOW;
  const int latest = (rounds - 1) % ROUND_WINDOW;
  int count = 0;
  for (int i = 0; i < g_round_row_count[latest]; ++i) {
    const SubtestResult& row = g_round_rows[latest][i];
    const SubtestResult* rows[ROUND_WINDOW];
    int found = 0;
    for (int back = 0; back < k; ++back) {
      const int slot = (rounds - 1 - back) % ROUND_WINDOW;
      for (int j = 0; j < g_round_row_count[slot]; ++j)
        if (g_round_rows[slot][j].spec == row.spec) {
          rows[found++] = &g_round_rows[slot][j];
          break;
        }
    }
    SubtestResult m = row;
    m.st = median_phase(rows, found, [](const SubtestResult& r) -> const PhaseResult& { return r.st; });
    if (row.mt_ran)
      m.mt = median_phase(rows, found, [](const SubtestResult& r) -> const PhaseResult& { return r.mt; });
    m.scaling = median_field(rows, found, [](const SubtestResult& r) { return r.scaling; });
    m.st_under_load = median_field(rows, found, [](const SubtestResult& r) { return r.st_under_load; });
    g_results[count++] = m;
  }
  g_result_count = count;
}

// The mean clock the table's phases sampled, kHz; 0 when no phase read one.
double table_clock_khz() {
  double sum = 0;
  int n = 0;
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    for (const PhaseResult* p : {&r.st, r.mt_ran ? &r.mt : nullptr})
      if (p && p->khz_hi > 0) {
        sum += (static_cast<double>(p->khz_lo > 0 ? p->khz_lo : p->khz_hi) + p->khz_hi) * 0.5;
        ++n;
      }
  }
  return n > 0 ? sum / n : 0.0;
}

// Steal ticks since the baseline, or -1 when the counter cannot be read.
long steal_mark() { return g_verdict.steal_baseline_ok ? steal_since_baseline() : -1; }

// The steal share of the machine's CPU time over a round of the given wall time, %.
double round_steal_pct(long from, long to, double seconds) {
  static const long ticks_per_second = sysconf(_SC_CLK_TCK);
  // Steal builds up on the virtual CPUs that want to run, the bench CPUs: their time is what it
  // is a share of.
  const int cpus = cpus_used > 0 ? cpus_used : 1;
  if (from < 0 || to < 0 || !(seconds > 0) || ticks_per_second <= 0) return -1;
  return static_cast<double>(to > from ? to - from : 0) * 100.0 / (static_cast<double>(ticks_per_second) * seconds * cpus);
}

// The spread of the rounds the final index is the median of.
void set_index_range(RoundState& rs) {
  const int k = rs.rounds < ROUND_WINDOW ? rs.rounds : ROUND_WINDOW;
  rs.range_known = 0;
  rs.range = 0;
  rs.range_lo = rs.range_hi = 0;
  rs.range_first = rs.range_last = 0;
  if (k == 0) return;
  const double* h = primary_history(rs) + (rs.rounds - k);
  rs.range_lo = rs.range_hi = h[0];
  for (int i = 1; i < k; ++i) {
    if (h[i] < rs.range_lo) rs.range_lo = h[i];
    if (h[i] > rs.range_hi) rs.range_hi = h[i];
  }
  rs.range_first = rs.rounds - k + 1;
  rs.range_last = rs.rounds;
  if (k == ROUND_WINDOW && all_positive(h, k)) {
    rs.range_known = 1;
    rs.range = relative_spread(h, k, ROUND_WINDOW);
  }
}

}  // namespace

bool subtest_selected(const SubtestSpec& spec) {
  if (!spec.enabled) return false;
  if (!filter_selects(g_config.subtest_filter, spec.name)) return false;
  return g_config.mode != MODE_PROBE || spec.in_probe;
}

void run_subtest_pass() {
  g_result_count = 0;
  const bool probe = g_config.mode == MODE_PROBE;
  for (int i = 0; i < g_registry_count && g_result_count < MAX_RESULTS; ++i) {
    if (stop_requested()) return;
    const SubtestSpec& spec = g_registry[i];
    if (!subtest_selected(spec)) continue;
    if (probe && g_run.deadline - now_seconds() < PROBE_LAST_START) return;
    SubtestResult& r = g_results[g_result_count];
    r = SubtestResult{};
    r.spec = &spec;
    run_phase(&r.st, &spec, bench_cpus, 1, phase_seconds, "single");
    verdict_fold_phase(r.st, &spec, 0);
    if (!probe && cpus_used >= 2 && !stop_requested()) {
      run_phase(&r.mt, &spec, bench_cpus, cpus_used, phase_seconds, "all-core");
      verdict_fold_phase(r.mt, &spec, 1);
      r.mt_ran = 1;
      if (r.st.rate > 0) {
        r.st_under_load = r.mt.lead_rate / r.st.rate;
        r.scaling = r.mt.rate / (cpus_used * r.st.rate);
      }
    }
    ++g_result_count;
    if (event_stream_wanted()) emit_subtest(r);
  }
}

int record_round() {
  RoundState& rs = g_rounds;
  if (rs.rounds < MAX_ROUNDS) {
    table_wait_time(&rs.waittime_history[rs.rounds], &rs.runtime_history[rs.rounds]);
    rs.roundtime_history[rs.rounds] = rs.round_started > 0 ? now_seconds() - rs.round_started : 0.0;
    rs.steal_history[rs.rounds] =
        round_steal_pct(rs.round_steal_mark, steal_mark(), rs.roundtime_history[rs.rounds]);
    rs.clock_history[rs.rounds] = table_clock_khz();
    table_stall_time(&rs.stall_history[rs.rounds], &rs.worktime_history[rs.rounds]);
    rs.st_history[rs.rounds] = rs.index_st;
    rs.mt_history[rs.rounds] = rs.index_mt;
    rs.ust_history[rs.rounds] = rs.uindex_st;
    rs.umt_history[rs.rounds] = rs.uindex_mt;
    const int slot = rs.rounds % ROUND_WINDOW;
    for (int i = 0; i < g_result_count; ++i) g_round_rows[slot][i] = g_results[i];
    g_round_row_count[slot] = g_result_count;
    ++rs.rounds;
  }
  // The rounds converge on the index the run was asked for: delivered rates by default, or the
  // undisturbed ones; the all-core index when there is one.
  const bool calm = g_config.converge_undisturbed != 0;
  const double* history = calm ? (rs.uindex_mt > 0 ? rs.umt_history : rs.ust_history)
                               : (rs.index_mt > 0 ? rs.mt_history : rs.st_history);
  rs.spread_known = rs.rounds >= ROUND_WINDOW && all_positive(history + rs.rounds - ROUND_WINDOW, ROUND_WINDOW);
  rs.spread = rs.spread_known ? relative_spread(history, rs.rounds, ROUND_WINDOW) : 1.0;
  if (rs.spread_known) rs.precision_known = 1;
  rs.converged = (rs.spread_known && rs.spread <= TARGET_SPREAD) ? 1 : 0;
  if (event_stream_wanted())
    emit_round(rs.rounds, rs.converged, rs.index_st, rs.index_mt, rs.spread_known ? rs.spread : -1.0, rs.uindex_st,
               rs.uindex_mt);
  if (rs.converged) {
    // The converging spread is the best one the run reached.
    if (rs.spread < rs.precision) rs.precision = rs.spread;
    return 1;
  }
  if (rs.spread < rs.precision - IMPROVEMENT_STEP) {
    rs.precision = rs.spread;
    rs.plateau = 0;
  } else {
    ++rs.plateau;
    if (rs.rounds >= ROUND_WINDOW && rs.plateau >= PLATEAU_LIMIT) return 1;
  }
  return 0;
}

// The table is rebuilt from the completed rounds before the verdict reads anything of it.
void finish_rounds() {
  RoundState& rs = g_rounds;
  if (rs.rounds > 0) {
    const int k = rs.rounds < ROUND_WINDOW ? rs.rounds : ROUND_WINDOW;
    rs.index_st = median(rs.st_history + (rs.rounds - k), k);
    rs.index_mt = median(rs.mt_history + (rs.rounds - k), k);
    rs.uindex_st = median(rs.ust_history + (rs.rounds - k), k);
    rs.uindex_mt = median(rs.umt_history + (rs.rounds - k), k);
    table_from_last_rounds(rs.rounds);
  }
  set_index_range(rs);
  decide_verdict(0);
  if (rs.rounds == 0) verdict_note_no_rounds();
}

void run_index_rounds() {
  for (int pass = 0; pass < MAX_ROUNDS; ++pass) {
    if (stop_requested()) break;
    // No round starts that would end past the limit, judged by the length of the one before:
    // the limit is what the run promises, and with long phases one round more is minutes more.
    const int done = g_rounds.rounds;
    if (done > 0 && done <= MAX_ROUNDS &&
        now_seconds() - g_run.rounds_epoch + g_rounds.roundtime_history[done - 1] > ROUND_TIME_LIMIT)
      break;
    g_rounds.round_started = now_seconds();
    g_rounds.round_steal_mark = steal_mark();
    run_subtest_pass();
    if (stop_requested()) break;  // the partial round is not recorded
    compute_index();
    if (record_round()) break;
    if (now_seconds() - g_run.rounds_epoch >= ROUND_TIME_LIMIT) break;
  }
  finish_rounds();
}
