#include "verdict/verdict.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/interference.h"
#include "engine/round_state.h"
#include "machine/sensors.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"

VerdictState g_verdict;

namespace {

// Appends without ever overflowing verdict_why: a long reason loses the end of its suffix.
void append_why(const char* suffix) {
  const std::size_t len = std::strlen(g_verdict.verdict_why);
  if (len >= sizeof g_verdict.verdict_why - 1) return;
  std::snprintf(g_verdict.verdict_why + len, sizeof g_verdict.verdict_why - len, "%s", suffix);
}

// True when some phase of the run, in any round, read a CPU clock; otherwise no clock figure is a
// measurement.
bool clock_was_read() { return g_verdict.run_clock_read != 0; }

// "freq stable", "clock not sampled" (readable, but the phases were too short to sample it) or
// "clock not readable", then ", thermal max X°C" or ", no temperature sensor".
void sensor_phrases(char* out, std::size_t cap, int32_t peak_mc) {
  const char* clock = clock_was_read()                                ? "freq stable"
                      : read_cur_khz(cpus_used > 0 ? bench_cpus[0] : 0) > 0 ? "clock not sampled"
                                                                      : "clock not readable";
  if (peak_mc >= 0)
    std::snprintf(out, cap, "%s, thermal max %.1f°C", clock, peak_mc / 1000.0);
  else
    std::snprintf(out, cap, "%s, no temperature sensor", clock);
}

}  // namespace

void reset_verdict() {
  g_verdict.verdict = VERDICT_CLEAN;
  g_verdict.verdict_why[0] = '\0';
  g_verdict.peak_c = 0.0;
  g_verdict.clock_ratio = 1.0;
  g_verdict.steal_baseline = 0;
  g_verdict.steal_baseline_ok = 0;
  g_verdict.run_peak_mc = -1;
  g_verdict.run_clock_ratio = 1.0;
  g_verdict.run_nivcsw = 0;
  g_verdict.run_stall_max_ms = 0.0;
  g_verdict.run_clock_read = 0;
  g_verdict.run_late_start_ms = 0.0;
  g_verdict.run_late_start_name = nullptr;
  g_verdict.run_late_start_mt = 0;
  g_verdict.stall_pct = 0.0;
  g_verdict.drift = Drift{};
}

void verdict_note_no_rounds() {
  append_why(" [no index: the run ended before round 1 did]");
  if (g_verdict.verdict == VERDICT_CLEAN) g_verdict.verdict = VERDICT_INDICATIVE;
}

void verdict_note_suspended() {
  append_why(" [suspended: the run was stopped and went on, so it ended there; figures after the pause are not comparable]");
  if (g_verdict.verdict == VERDICT_CLEAN) g_verdict.verdict = VERDICT_INDICATIVE;
}

void verdict_note_output_stalled() {
  append_why(" [output stalled: the reader stopped reading, so the machine was given back and the run ended]");
  if (g_verdict.verdict == VERDICT_CLEAN) g_verdict.verdict = VERDICT_INDICATIVE;
}

Drift rounds_drift() {
  const RoundState& rs = g_rounds;
  double wait[MAX_ROUNDS], stall[MAX_ROUNDS];
  for (int i = 0; i < rs.rounds; ++i) {
    wait[i] = rs.runtime_history[i] > 0 ? rs.waittime_history[i] * 100.0 / rs.runtime_history[i] : -1;
    stall[i] = rs.worktime_history[i] > 0 ? rs.stall_history[i] * 100.0 / rs.worktime_history[i] : -1;
  }
  const RoundSeries series{primary_history(rs), rs.rounds, wait, rs.steal_history, stall, rs.clock_history};
  return detect_drift(series);
}

void table_stall_time(double* stall_seconds, double* worker_seconds) {
  *stall_seconds = 0;
  *worker_seconds = 0;
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    *stall_seconds += r.st.stall_seconds + (r.mt_ran ? r.mt.stall_seconds : 0.0);
    *worker_seconds += r.st.worker_seconds + (r.mt_ran ? r.mt.worker_seconds : 0.0);
  }
}

void table_wait_time(double* wait_seconds, double* run_seconds) {
  *wait_seconds = 0;
  *run_seconds = 0;
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    *wait_seconds += r.st.wait_seconds + (r.mt_ran ? r.mt.wait_seconds : 0.0);
    *run_seconds += r.st.run_seconds + (r.mt_ran ? r.mt.run_seconds : 0.0);
  }
}

double table_wait_pct() {
  double wait = 0, run = 0;
  table_wait_time(&wait, &run);
  return run > 0 ? wait * 100.0 / run : 0.0;
}

void verdict_fold_phase(const PhaseResult& p, const SubtestSpec* spec, int all_core) {
  if (p.khz_hi > 0) g_verdict.run_clock_read = 1;
  if (spec && p.start_delay_ms > g_verdict.run_late_start_ms) {
    g_verdict.run_late_start_ms = p.start_delay_ms;
    g_verdict.run_late_start_name = spec->name;
    g_verdict.run_late_start_mt = all_core;
  }
  g_verdict.run_nivcsw += p.nivcsw;
  if (p.clock_ratio > 0 && p.clock_ratio < g_verdict.run_clock_ratio) g_verdict.run_clock_ratio = p.clock_ratio;
  if (p.peak_mc > g_verdict.run_peak_mc) g_verdict.run_peak_mc = p.peak_mc;
  if (p.stall_max_ms > g_verdict.run_stall_max_ms) g_verdict.run_stall_max_ms = p.stall_max_ms;
}

void take_steal_baseline() {
  g_verdict.steal_baseline_ok = read_steal_checked(&g_verdict.steal_baseline) == 0 ? 1 : 0;
}

long steal_since_baseline() {
  long now = 0;
  if (!g_verdict.steal_baseline_ok || read_steal_checked(&now) != 0) return 0;
  return now > g_verdict.steal_baseline ? now - g_verdict.steal_baseline : 0;
}

const char* verdict_name(int verdict) {
  return verdict >= 0 && verdict < 5 ? kVerdictNames[verdict].stored : "clean";
}

const char* verdict_display_name(int verdict) {
  return verdict >= 0 && verdict < 5 ? kVerdictNames[verdict].display : "CLEAN";
}

double wait_threshold(int quiesce, long rt_runtime_us) {
  if (quiesce == QUIESCE_RT && rt_runtime_us >= 1 && rt_runtime_us <= 999999)
    return 5.0 + (1.0 - static_cast<double>(rt_runtime_us) / 1000000.0) * 100.0;
  return 5.0;
}

void decide_verdict(int probe) {
  // Wait is pooled over the rounds the index comes from, like stalls; the cut pass of a run
  // stopped in its first round, and the probe's one pass, have only their own rows.
  double wait = table_wait_pct();
  // Hidden stalls are pooled, stall time over measuring time, across the rounds the index comes
  // from (or the pass the table holds): a pause falls into one short phase, and a share of that
  // phase alone would swing with where it fell.
  double stall_time = 0, work_time = 0;
  table_stall_time(&stall_time, &work_time);
  const long nivcsw = g_verdict.run_nivcsw;
  const double ratio = g_verdict.run_clock_ratio;
  const int32_t peak = g_verdict.run_peak_mc;
  if (!probe && g_rounds.rounds > 0) {
    const int k = g_rounds.rounds < ROUND_WINDOW ? g_rounds.rounds : ROUND_WINDOW;
    double wait_time = 0, run_time = 0, span = 0;
    stall_time = work_time = 0;
    for (int i = g_rounds.rounds - k; i < g_rounds.rounds; ++i) {
      stall_time += g_rounds.stall_history[i];
      work_time += g_rounds.worktime_history[i];
      wait_time += g_rounds.waittime_history[i];
      run_time += g_rounds.runtime_history[i];
      span += g_rounds.roundtime_history[i];
    }
    // Throttling comes once a second: over less than a few seconds the one or two pauses that
    // happen to fall inside read as up to twice its share. Short rounds are pooled further back,
    // over as many earlier rounds as it takes to span WAIT_POOL_SECONDS.
    for (int i = g_rounds.rounds - k - 1; i >= 0 && span < WAIT_POOL_SECONDS; --i) {
      wait_time += g_rounds.waittime_history[i];
      run_time += g_rounds.runtime_history[i];
      span += g_rounds.roundtime_history[i];
    }
    wait = run_time > 0 ? wait_time * 100.0 / run_time : 0.0;
  }
  const double stall = work_time > 0 ? stall_time * 100.0 / work_time : 0.0;
  g_verdict.drift = !probe && g_rounds.rounds > 0 ? rounds_drift() : Drift{};
  g_verdict.stall_pct = stall;
  const long steal = steal_since_baseline();
  const double threshold = wait_threshold(g_config.quiesce, g_machine.rt_runtime_us);
  // Stalls are contention the kernel did not count. A worker that waits on a run queue is also a
  // paused chunk, so when wait or steal already explains the time, they decide and stalls are not
  // counted a second time.
  const bool by_wait = wait > threshold || steal > 50;
  const bool by_stalls = !by_wait && stall > threshold;
  const bool contended = by_wait || by_stalls;
  char cause[64];
  if (by_stalls)
    std::snprintf(cause, sizeof cause, "hidden stalls %.1f%%", stall);
  else
    std::snprintf(cause, sizeof cause, "runqueue wait %.1f%%", wait);
  g_verdict.peak_c = peak >= 0 ? peak / 1000.0 : 0.0;
  g_verdict.clock_ratio = ratio;

  char* why = g_verdict.verdict_why;
  const std::size_t cap = sizeof g_verdict.verdict_why;
  const double peak_c = g_verdict.peak_c;
  if (thermal_mark_reached && contended) {
    g_verdict.verdict = VERDICT_UNTRUSTED;
    std::snprintf(why, cap,
                  "%s AND the package reached %.1f°C — other work was competing while "
                  "the CPU was also thermally limited, so this is not a reading of the CPU alone",
                  cause, peak_c);
  } else if (thermal_mark_reached) {
    g_verdict.verdict = VERDICT_THROTTLED;
    char clock[64];
    if (clock_was_read())
      std::snprintf(clock, sizeof clock, "the clock held at %.0f%% of peak", ratio * 100);
    else
      std::snprintf(clock, sizeof clock, "the clock was not readable");
    std::snprintf(why, cap,
                  "sustained all-core figure: the package reached %.1f°C and %s — this is what the unit "
                  "delivers under its own cooling, not a cold-start burst",
                  peak_c, clock);
  } else if (ratio < 0.9 && contended) {
    g_verdict.verdict = VERDICT_UNTRUSTED;
    std::snprintf(why, cap, "%s AND same-core freq sag to %.0f%%", cause, ratio * 100);
  } else if (ratio < 0.9) {
    g_verdict.verdict = VERDICT_THROTTLED;
    std::snprintf(why, cap, "a core's frequency dropped to %.0f%% of its own peak mid-run (>10%%)", ratio * 100);
  } else if (by_stalls) {
    g_verdict.verdict = VERDICT_CONTENDED;
    std::snprintf(why, cap,
                  "hidden stalls %.1f%% of phase time (longest %.0f ms) — paused without run-queue wait or "
                  "steal",
                  stall, g_verdict.run_stall_max_ms);
  } else if (contended) {
    g_verdict.verdict = VERDICT_CONTENDED;
    std::snprintf(why, cap,
                  "runqueue wait %.1f%% of on-cpu time (nivcsw %ld, steal +%ld) — a LOWER BOUND, not a "
                  "measurement",
                  wait, nivcsw, steal);
  } else if (wait < 1.0) {
    g_verdict.verdict = VERDICT_CLEAN;
    char sensors[96];
    sensor_phrases(sensors, sizeof sensors, peak);
    std::snprintf(why, cap, "runqueue wait %.2f%%, %s", wait, sensors);
  } else {
    g_verdict.verdict = VERDICT_CLEAN;
    std::snprintf(why, cap, "runqueue wait %.2f%%", wait);
  }

  if (probe) {
    g_verdict.verdict = VERDICT_INDICATIVE;
    append_why(" [probe: 3s capability reading, not a benchmark]");
  } else if (g_rounds.rounds > 0) {
    // The precision of the index is the spread of the very rounds it is the median of; until
    // four exist it is not known, and a run that cannot say how precise it is is not clean. A run
    // that converged on the undisturbed index can still have delivered rounds that spread widely,
    // so the rule reads the range of the index it reports, not the convergence.
    if (!(g_rounds.range_known && g_rounds.range <= TARGET_SPREAD)) {
      char suffix[160];
      if (g_rounds.range_known)
        std::snprintf(suffix, sizeof suffix, " [precision: range %.1f%% over index rounds %d-%d of %d, target %.1f%%]",
                      g_rounds.range * 100, g_rounds.range_first, g_rounds.range_last, g_rounds.rounds,
                      TARGET_SPREAD * 100);
      else if (g_rounds.rounds >= ROUND_WINDOW)
        std::snprintf(suffix, sizeof suffix, " [no index, so no precision]");
      else
        std::snprintf(suffix, sizeof suffix, " [precision not known yet: %d round%s, %d needed]", g_rounds.rounds,
                      g_rounds.rounds == 1 ? "" : "s", ROUND_WINDOW);
      append_why(suffix);
      if (g_verdict.verdict == VERDICT_CLEAN && (!g_rounds.range_known || g_rounds.range > 0.05))
        g_verdict.verdict = VERDICT_INDICATIVE;
    }
    // A step of the machine's speed beyond the target: the index holds for one level of it only.
    const Drift& d = g_verdict.drift;
    if (d.detected && std::fabs(d.pct) > TARGET_SPREAD * 100) {
      char text[160], suffix[170];
      drift_text(d, text, sizeof text);
      std::snprintf(suffix, sizeof suffix, " [%s]", text);
      append_why(suffix);
      if (g_verdict.verdict == VERDICT_CLEAN && !drift_explained(d)) g_verdict.verdict = VERDICT_INDICATIVE;
    }
  }
}
