#include "run/summary.h"

#include <cstdio>

#include "engine/round_state.h"
#include "run/config.h"
#include "run/control.h"
#include "verdict/verdict.h"

void figure_or_dash(char* out, std::size_t cap, double value) {
  if (value > 0)
    std::snprintf(out, cap, "%.0f", value);
  else
    std::snprintf(out, cap, "—");
}

void print_summary(int ui) {
  const char* mode = mode_name(g_config.mode);
  const char* verdict = verdict_name(g_verdict.verdict);
  if (ui == UI_DASHBOARD)
    std::printf("\n%s: %d subtests, verdict %s — %s\n", mode, g_result_count, verdict, g_verdict.verdict_why);
  else
    std::printf("%s %s verdict=%s (%s)\n", TOOL_NAME, mode, verdict, g_verdict.verdict_why);
  // The index is what a full run exists for; a probe has none and says nothing of one. A figure
  // nobody measured is a dash, never a 0.
  char mt[16], umt[16];
  figure_or_dash(mt, sizeof mt, g_rounds.index_mt);
  figure_or_dash(umt, sizeof umt, g_rounds.uindex_mt);
  if (g_config.mode == MODE_FULL) {
    const double headline = g_rounds.index_mt > 0 ? g_rounds.index_mt : g_rounds.index_st;
    if (g_rounds.rounds == 0)
      std::printf("  TFX index not measured: the run ended before round 1 did\n");
    else if (g_rounds.index_n == 0)
      std::printf("  TFX index not measured: no selected subtest has a reference value\n");
    else
      std::printf("  TFX index %.0f (ST %.0f · MT %s) over %d portable subtests, ref v%d\n", headline,
                  g_rounds.index_st, mt, g_rounds.index_n, REF_VERSION);
  }
  if (all_core_note[0] != '\0') std::printf("  %s\n", all_core_note);
  // How precise the index is: the spread of the rounds it is the median of, and whether the
  // machine's speed moved while the rounds ran.
  if (g_config.mode == MODE_FULL && g_rounds.rounds > 0) {
    if (g_rounds.range_known)
      std::printf("  precision: range %.1f%% over index rounds %d-%d (%.1f to %.1f), target %.1f%%\n",
                  g_rounds.range * 100, g_rounds.range_first, g_rounds.range_last, g_rounds.range_lo,
                  g_rounds.range_hi, TARGET_SPREAD * 100);
    else if (g_rounds.rounds >= ROUND_WINDOW)
      std::printf("  precision: none, the rounds have no index\n");
    else
      std::printf("  precision not known yet: %d round%s, %d needed\n", g_rounds.rounds, g_rounds.rounds == 1 ? "" : "s",
                  ROUND_WINDOW);
    const Drift& d = g_verdict.drift;
    char text[160];
    drift_text(d, text, sizeof text);
    if (d.detected)
      std::printf("  drift: %s\n", text);
    else if (d.checked)
      std::printf("  drift: none beyond noise over %d rounds\n", g_rounds.rounds);
    else if (g_rounds.rounds >= 2 * DRIFT_MIN_SIDE)
      std::printf("  drift: not checked (a round has no index)\n");
    else
      std::printf("  drift: not checked (%d rounds needed)\n", 2 * DRIFT_MIN_SIDE);
  }
  // Hidden stalls beside wait and steal: the time no kernel counter showed, and what the CPU did
  // when left alone. The probe's few lines stay as they are.
  if (g_config.mode == MODE_FULL && g_rounds.rounds == 0)
    std::printf("  hidden stalls %.1f%% of phase time (longest %.0f ms) · undisturbed index not measured\n",
                g_verdict.stall_pct, g_verdict.run_stall_max_ms);
  else if (g_config.mode == MODE_FULL)
    std::printf("  hidden stalls %.1f%% of phase time (longest %.0f ms) · undisturbed index ST %.0f · MT %s\n",
                g_verdict.stall_pct, g_verdict.run_stall_max_ms, g_rounds.uindex_st, umt);
  // The longest time any worker of the run was held off its CPU before its first chunk, when it
  // lasted long enough to matter.
  if (g_config.mode == MODE_FULL && g_verdict.run_late_start_name && g_verdict.run_late_start_ms > LATE_START_NOTE_MS)
    std::printf("  late start: a worker began %.0f ms after its phase (%s %s), counted as run-queue wait\n",
                g_verdict.run_late_start_ms, g_verdict.run_late_start_name,
                g_verdict.run_late_start_mt ? "all-core" : "single-thread");
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    std::printf("  %-11s %-8s ST %10.1f %-7s", r.spec->name, r.spec->isa, r.st.rate / 1e6, r.spec->unit);
    if (r.mt_ran) std::printf("  MT %10.1f  scaling %3.0f%%", r.mt.rate / 1e6, r.scaling * 100);
    std::printf("\n");
  }
  std::fflush(stdout);
}
