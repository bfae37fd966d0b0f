#include "engine/passes.h"

#include "engine/phase.h"
#include "engine/round_state.h"
#include "events/ndjson.h"
#include "run/config.h"
#include "run/control.h"
#include "verdict/verdict.h"

namespace {

constexpr double PROBE_LAST_START = 0.15;  // no new subtest in the probe's last 0.15 s

bool stop_requested() { return g_run.stop_requested.load(std::memory_order_relaxed) != 0; }

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
    if (!probe && cpus_used >= 2 && !stop_requested()) {
      run_phase(&r.mt, &spec, bench_cpus, cpus_used, phase_seconds, "all-core");
      r.mt_ran = 1;
      if (r.st.rate > 0) {
        r.st_under_load = r.mt.lead_rate / r.st.rate;
        r.scaling = r.mt.rate / (cpus_used * r.st.rate);
      }
    }
    ++g_result_count;
    if (g_config.ui == UI_JSON) emit_subtest(r);
  }
}

int record_round() {
  RoundState& rs = g_rounds;
  if (rs.rounds < MAX_ROUNDS) {
    double wait = 0.0;
    for (int i = 0; i < g_result_count; ++i) {
      const SubtestResult& r = g_results[i];
      if (r.st.wait_pct > wait) wait = r.st.wait_pct;
      if (r.mt_ran && r.mt.wait_agg > wait) wait = r.mt.wait_agg;
    }
    rs.wait_history[rs.rounds] = wait;
    rs.st_history[rs.rounds] = rs.index_st;
    rs.mt_history[rs.rounds] = rs.index_mt;
    ++rs.rounds;
  }
  const double* history = rs.index_mt > 0 ? rs.mt_history : rs.st_history;
  rs.spread = relative_spread(history, rs.rounds, ROUND_WINDOW);
  rs.converged = (rs.rounds >= ROUND_WINDOW && rs.spread <= TARGET_SPREAD) ? 1 : 0;
  if (g_config.ui == UI_JSON) emit_round(rs.rounds, rs.converged, rs.index_st, rs.index_mt, rs.spread);
  if (rs.converged) return 1;
  if (rs.spread < rs.precision - IMPROVEMENT_STEP) {
    rs.precision = rs.spread;
    rs.plateau = 0;
  } else {
    ++rs.plateau;
    if (rs.rounds >= ROUND_WINDOW && rs.plateau >= PLATEAU_LIMIT) return 1;
  }
  return 0;
}

void finish_rounds() {
  decide_verdict(0);
  RoundState& rs = g_rounds;
  if (rs.rounds > 0) {
    const int k = rs.rounds < ROUND_WINDOW ? rs.rounds : ROUND_WINDOW;
    rs.index_st = median(rs.st_history + (rs.rounds - k), k);
    rs.index_mt = median(rs.mt_history + (rs.rounds - k), k);
  }
}

void run_index_rounds() {
  for (int pass = 0; pass < MAX_ROUNDS; ++pass) {
    if (stop_requested()) break;
    run_subtest_pass();
    if (stop_requested()) break;  // the partial round is not recorded
    compute_index();
    if (record_round()) break;
    if (now_seconds() - g_run.rounds_epoch >= ROUND_TIME_LIMIT) break;
  }
  finish_rounds();
}
