#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/interference.h"
#include "engine/round_state.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "temp_tree.h"
#include "verdict/verdict.h"

namespace {

struct Outcome {
  std::string name;
  std::string why;
};

// One run's worth of inputs: a single result row carrying the aggregated figures.
struct Inputs {
  int probe = 0;
  double wait = 0.0;
  double ratio = 1.0;
  int32_t peak_mc = -1;
  int thermal = 0;
  long steal = 0;
  int quiesce = QUIESCE_NONE;
  long rt = 950000;
  int rounds = 0;  // full runs: every round's wait equals `wait`
  int converged = 1;
  double precision = 0.01;
  int32_t nivcsw = 0;
  int32_t khz = 2000000;  // the highest clock read; 0 when no clock was readable
  std::vector<double> index_rounds;  // when given: every round's index (and rounds = their count)
  std::vector<double> clock_rounds;  // and each round's sampled clock, kHz
};

Outcome decide(const Inputs& in) {
  TempTree tree;
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 " + std::to_string(100 + in.steal) + "\n");
  reset_config();
  reset_round_state();
  reset_verdict();
  reset_interference();
  g_config.quiesce = in.quiesce;
  g_machine.rt_runtime_us = in.rt;
  thermal_mark_reached = in.thermal;
  g_verdict.steal_baseline = 100;
  g_verdict.steal_baseline_ok = 1;
  g_result_count = 1;
  g_results[0] = SubtestResult{};
  g_results[0].st.wait_pct = in.wait;
  g_results[0].st.wait_seconds = in.wait / 100.0;  // over one second on the CPU
  g_results[0].st.run_seconds = 1.0;
  g_results[0].st.clock_ratio = in.ratio;
  g_results[0].st.peak_mc = in.peak_mc;
  g_results[0].st.nivcsw = in.nivcsw;
  g_results[0].st.khz_lo = g_results[0].st.khz_hi = in.khz;
  verdict_fold_phase(g_results[0].st);
  g_rounds.rounds = in.rounds;
  for (std::size_t i = 0; i < in.index_rounds.size(); ++i) {
    g_rounds.st_history[i] = in.index_rounds[i];
    g_rounds.clock_history[i] = i < in.clock_rounds.size() ? in.clock_rounds[i] : 0.0;
    g_rounds.steal_history[i] = -1;
  }
  for (int i = 0; i < in.rounds; ++i) {
    g_rounds.waittime_history[i] = in.wait / 100.0;
    g_rounds.runtime_history[i] = 1.0;
    g_rounds.roundtime_history[i] = 1.0;
  }
  g_rounds.converged = in.converged;
  g_rounds.precision = in.precision;
  // The index rounds' own spread, the precision the verdict reads.
  g_rounds.range_known = in.rounds >= ROUND_WINDOW;
  g_rounds.range = in.precision;
  g_rounds.range_first = in.rounds >= ROUND_WINDOW ? in.rounds - ROUND_WINDOW + 1 : 1;
  g_rounds.range_last = in.rounds;
  decide_verdict(in.probe);
  return {verdict_name(g_verdict.verdict), g_verdict.verdict_why};
}

TEST(Verdict, RowsOfTheDecision) {
  Inputs clean;
  clean.wait = 0.4;
  clean.ratio = 0.97;
  clean.steal = 3;
  clean.peak_mc = 61000;
  clean.rounds = 6;
  Outcome o = decide(clean);
  EXPECT_EQ(o.name, "clean");
  EXPECT_EQ(o.why, "runqueue wait 0.40%, freq stable, thermal max 61.0°C");

  Inputs mid;
  mid.wait = 2.5;
  EXPECT_EQ(decide(mid).why, "runqueue wait 2.50%");

  Inputs sag;
  sag.ratio = 0.85;
  o = decide(sag);
  EXPECT_EQ(o.name, "throttled");
  EXPECT_EQ(o.why, "a core's frequency dropped to 85% of its own peak mid-run (>10%)");

  Inputs hot;
  hot.thermal = 1;
  hot.ratio = 0.80;
  hot.peak_mc = 96000;
  o = decide(hot);
  EXPECT_EQ(o.name, "throttled");
  EXPECT_EQ(o.why, "sustained all-core figure: the package reached 96.0°C and the clock held at 80% of peak — "
                   "this is what the unit delivers under its own cooling, not a cold-start burst");
  hot.khz = 0;
  EXPECT_EQ(decide(hot).why, "sustained all-core figure: the package reached 96.0°C and the clock was not readable — "
                             "this is what the unit delivers under its own cooling, not a cold-start burst");

  hot.wait = 12.0;
  o = decide(hot);
  EXPECT_EQ(o.name, "untrusted");
  EXPECT_EQ(o.why.rfind("runqueue wait 12.0% AND the package reached 96.0°C", 0), 0u);

  Inputs sag_busy;
  sag_busy.ratio = 0.5;
  sag_busy.wait = 7.0;
  EXPECT_EQ(decide(sag_busy).why, "runqueue wait 7.0% AND same-core freq sag to 50%");

  Inputs busy;
  busy.wait = 6.0;
  busy.nivcsw = 42;
  busy.steal = 9;
  o = decide(busy);
  EXPECT_EQ(o.name, "contended");
  EXPECT_EQ(o.why, "runqueue wait 6.0% of on-cpu time (nivcsw 42, steal +9) — a LOWER BOUND, not a measurement");
}

TEST(Verdict, Thresholds) {
  Inputs at;
  at.wait = 5.0;
  EXPECT_EQ(decide(at).name, "clean");
  Inputs steal50;
  steal50.steal = 50;
  EXPECT_EQ(decide(steal50).name, "clean");
  steal50.steal = 51;
  EXPECT_EQ(decide(steal50).name, "contended");

  Inputs rt;
  rt.wait = 8.0;
  rt.quiesce = QUIESCE_RT;
  EXPECT_EQ(decide(rt).name, "clean");
  rt.quiesce = QUIESCE_NONE;
  EXPECT_EQ(decide(rt).name, "contended");

  EXPECT_DOUBLE_EQ(wait_threshold(QUIESCE_RT, 950000), 10.0);
  EXPECT_DOUBLE_EQ(wait_threshold(QUIESCE_RT, -1), 5.0);
  EXPECT_DOUBLE_EQ(wait_threshold(QUIESCE_RT, 1000000), 5.0);
  EXPECT_DOUBLE_EQ(wait_threshold(QUIESCE_NONE, 500000), 5.0);
}

TEST(Verdict, ProbeAndPrecisionSuffixes) {
  Inputs probe;
  probe.probe = 1;
  probe.wait = 0.12;
  probe.peak_mc = 55000;
  Outcome o = decide(probe);
  EXPECT_EQ(o.name, "indicative");
  EXPECT_EQ(o.why, "runqueue wait 0.12%, freq stable, thermal max 55.0°C [probe: 3s capability reading, not a benchmark]");

  // The precision is the spread of the rounds the index is the median of, named a range.
  Inputs loose;
  loose.rounds = 12;
  loose.converged = 0;
  loose.precision = 0.062;
  o = decide(loose);
  EXPECT_EQ(o.name, "indicative");
  EXPECT_NE(o.why.find(" [precision: range 6.2% over index rounds 9-12 of 12, target 1.5%]"), std::string::npos)
      << o.why;
  loose.precision = 0.031;
  o = decide(loose);
  EXPECT_EQ(o.name, "clean");
  EXPECT_NE(o.why.find("[precision: range 3.1% over index rounds 9-12 of 12, target 1.5%]"), std::string::npos);
  loose.wait = 9.0;
  loose.precision = 0.2;
  EXPECT_EQ(decide(loose).name, "contended");

  // Before four rounds no spread exists: it is said to be unknown, never shown as a figure, and
  // a run that cannot state its precision is not clean.
  for (const int rounds : {1, 3}) {
    Inputs early;
    early.rounds = rounds;
    early.converged = 0;
    early.precision = 1.0;
    o = decide(early);
    EXPECT_EQ(o.name, "indicative") << rounds;
    const std::string want = " [precision not known yet: " + std::to_string(rounds) + (rounds == 1 ? " round" : " rounds") +
                             ", 4 needed]";
    EXPECT_NE(o.why.find(want), std::string::npos) << o.why;
    EXPECT_EQ(o.why.find("100.0"), std::string::npos) << o.why;
  }

  // No clock and no temperature read: the reason says so instead of showing figures.
  Inputs nothing;
  nothing.rounds = 0;
  nothing.khz = 0;
  o = decide(nothing);
  EXPECT_EQ(o.why, "runqueue wait 0.00%, clock not readable, no temperature sensor");
  EXPECT_DOUBLE_EQ(g_verdict.clock_ratio, 1.0);
}

// A step of the machine's speed beyond the target that no counter explains makes a converged,
// quiet run indicative, with the step in the reason; one the clock explains is named but leaves it
// clean; a step within the target is no reason at all.
TEST(Verdict, DriftOfTheMachineSpeed) {
  Inputs in;
  in.wait = 0.4;
  in.index_rounds = {2025, 2036, 2029, 1946, 1828, 1817, 1886, 1839, 1829};
  in.rounds = static_cast<int>(in.index_rounds.size());
  Outcome o = decide(in);
  EXPECT_EQ(o.name, "indicative");
  EXPECT_NE(o.why.find(" [machine speed moved -9.8% at round 5 (no counter explains it: host-level)]"),
            std::string::npos)
      << o.why;
  EXPECT_EQ(g_verdict.drift.round, 5);

  in.clock_rounds = {3e6, 3e6, 3e6, 3e6, 2.72e6, 2.72e6, 2.72e6, 2.72e6, 2.72e6};
  o = decide(in);
  EXPECT_EQ(o.name, "clean");
  EXPECT_NE(o.why.find("(explained by clock)"), std::string::npos) << o.why;

  in.clock_rounds.clear();
  in.index_rounds = {2025, 2026, 2024, 2025, 2012, 2011, 2013, 2012, 2011};  // -0.6 %, beyond noise
  o = decide(in);
  EXPECT_EQ(g_verdict.drift.detected, 1);
  EXPECT_EQ(o.name, "clean");
  EXPECT_EQ(o.why.find("machine speed"), std::string::npos) << o.why;
}

// The precision rule reads the range of the index the run reports, also when the rounds converged
// on another one (--converge undisturbed): delivered rounds that spread 18 % are not clean.
TEST(Verdict, ConvergedOnTheUndisturbedIndexWithAWideDeliveredRange) {
  Inputs in;
  in.rounds = 6;
  in.converged = 1;
  in.precision = 0.18;  // the delivered index rounds' range
  Outcome o = decide(in);
  EXPECT_EQ(o.name, "indicative");
  EXPECT_NE(o.why.find(" [precision: range 18.0% over index rounds 3-6 of 6, target 1.5%]"), std::string::npos)
      << o.why;
  in.precision = 0.012;
  o = decide(in);
  EXPECT_EQ(o.name, "clean");
  EXPECT_EQ(o.why.find("precision"), std::string::npos) << o.why;
}

TEST(Verdict, WaitOfFullRunsIsPooledOverTheIndexRounds) {
  Inputs in;
  in.rounds = 5;
  in.wait = 50.0;  // the row's own wait is ignored for full runs with rounds
  reset_round_state();
  Outcome o = decide(in);
  EXPECT_EQ(o.name, "contended");
  // Now the history says otherwise.
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  // Round 1 lies outside the index's rounds; rounds 2 to 5 read 1.25 %, 0, 0 and 0.625 % of
  // rounds of 1, 1, 1 and 2 s on the CPU: 0.025 s of wait in 5 s (the median share would be 0.31).
  const double wait_s[] = {0.9, 0.0125, 0, 0, 0.0125};
  const double run_s[] = {1, 1, 1, 1, 2};
  for (int i = 0; i < 5; ++i) {
    g_rounds.waittime_history[i] = wait_s[i];
    g_rounds.runtime_history[i] = run_s[i];
    g_rounds.roundtime_history[i] = 2 * run_s[i];  // long enough rounds: no earlier one is pooled
  }
  g_rounds.range_known = 1;  // a tight index: no precision note
  g_rounds.range = 0.01;
  decide_verdict(0);
  EXPECT_STREQ(g_verdict.verdict_why, "runqueue wait 0.50%, freq stable, no temperature sensor");
  // Real-time throttling in rounds of one 0.3 s phase: a 60 ms pause every third round, two of
  // them among the index's last four rounds (0.12 s over 1.08 s, 11 %: contended at rt). Pooled
  // back over 5 s of rounds, it is the 7 % that throttling really takes, within what rt allows.
  reset_round_state();
  g_config.quiesce = QUIESCE_RT;
  g_rounds.rounds = 21;
  for (int i = 0; i < g_rounds.rounds; ++i) {
    g_rounds.waittime_history[i] = i % 3 == 2 ? 0.06 : 0.0;
    g_rounds.runtime_history[i] = i % 3 == 2 ? 0.24 : 0.3;
    g_rounds.roundtime_history[i] = 0.31;
  }
  g_rounds.converged = 1;
  g_rounds.range_known = 1;  // a tight index: no precision note
  g_rounds.range = 0.01;
  decide_verdict(0);
  EXPECT_STREQ(verdict_name(g_verdict.verdict), "clean") << g_verdict.verdict_why;
}

TEST(Verdict, FiguresOfEveryPhaseNotOnlyTheLastPass) {
  Inputs last_pass;  // the table's row: cool and steady
  last_pass.peak_mc = 60000;
  last_pass.nivcsw = 3;
  PhaseResult earlier{};  // an earlier round: hot and sagging
  earlier.clock_ratio = 0.67;
  earlier.peak_mc = 96000;
  earlier.nivcsw = 40;
  TempTree tree;
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  decide(last_pass);
  verdict_fold_phase(earlier);
  decide_verdict(0);
  EXPECT_STREQ(verdict_name(g_verdict.verdict), "throttled");
  EXPECT_DOUBLE_EQ(g_verdict.peak_c, 96.0);
  EXPECT_DOUBLE_EQ(g_verdict.clock_ratio, 0.67);
  g_results[0].st.wait_seconds = 0.3;
  decide_verdict(0);
  EXPECT_STREQ(g_verdict.verdict_why, "runqueue wait 30.0% AND same-core freq sag to 67%");
  EXPECT_EQ(g_verdict.run_nivcsw, 43);
}

// The longest late start of the whole run, with the phase it was in, whatever the table's
// medians say.
TEST(Verdict, TheLongestLateStartOfTheRunIsKept) {
  reset_verdict();
  const SubtestSpec a = {"a", "base", "Mops", nullptr, 1, 1, 1};
  const SubtestSpec b = {"b", "base", "Mops", nullptr, 1, 1, 1};
  PhaseResult p{};
  const struct {
    const SubtestSpec* spec;
    int mt;
    double ms;
  } phases[] = {{&a, 0, 3.0}, {&b, 1, 40.0}, {&a, 1, 7.0}, {&b, 0, 0.2}};
  for (const auto& ph : phases) {
    p.start_delay_ms = ph.ms;
    verdict_fold_phase(p, ph.spec, ph.mt);
  }
  EXPECT_DOUBLE_EQ(g_verdict.run_late_start_ms, 40.0);
  EXPECT_STREQ(g_verdict.run_late_start_name, "b");
  EXPECT_EQ(g_verdict.run_late_start_mt, 1);
}

// A run stopped early in round 2: the cut round's rows read no clock, round 1 did. Every phrase of
// the reason comes from the whole run.
TEST(Verdict, TheReasonNamesTheClockOfTheWholeRun) {
  TempTree tree;
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  Inputs cut;
  cut.thermal = 1;
  cut.peak_mc = 96000;
  cut.khz = 0;
  EXPECT_NE(decide(cut).why.find("the clock was not readable"), std::string::npos);
  PhaseResult round1{};
  round1.clock_ratio = 0.75;
  round1.khz_lo = 1500000;
  round1.khz_hi = 2000000;
  round1.peak_mc = 96000;
  verdict_fold_phase(round1);
  decide_verdict(0);
  EXPECT_NE(std::string(g_verdict.verdict_why).find("reached 96.0°C and the clock held at 75% of peak"), std::string::npos)
      << g_verdict.verdict_why;
}

TEST(Verdict, HiddenStallsAreContentionWaitDecidesFirst) {
  auto with_stalls = [](double wait, double stall_share, double ratio) {
    Inputs in;
    in.wait = wait;
    in.ratio = ratio;
    decide(in);
    g_results[0].st.stall_seconds = stall_share * 0.6;
    g_results[0].st.worker_seconds = 0.6;
    g_verdict.run_stall_max_ms = 21.0;
    decide_verdict(0);
    return std::string(verdict_name(g_verdict.verdict)) + ": " + g_verdict.verdict_why;
  };
  TempTree tree;
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  EXPECT_EQ(with_stalls(0.5, 0.198, 1.0),
            "contended: hidden stalls 19.8% of phase time (longest 21 ms) — paused without run-queue wait or steal");
  EXPECT_EQ(with_stalls(0.5, 0.05, 1.0), "clean: runqueue wait 0.50%, freq stable, no temperature sensor");
  EXPECT_EQ(with_stalls(7.0, 0.30, 1.0).rfind("contended: runqueue wait 7.0% of on-cpu time", 0), 0u);
  EXPECT_EQ(with_stalls(0.5, 0.30, 0.5), "untrusted: hidden stalls 30.0% AND same-core freq sag to 50%");
  EXPECT_DOUBLE_EQ(g_verdict.stall_pct, 30.0);
}

TEST(Verdict, AReadableClockThatNoPhaseSampledIsNotCalledStable) {
  TempTree tree;
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 100\n");
  tree.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "2000000\n");
  reset_config();
  reset_round_state();
  reset_verdict();
  reset_interference();
  g_verdict.steal_baseline = 100;
  g_verdict.steal_baseline_ok = 1;
  bench_cpus[0] = 0;
  cpus_used = 1;
  g_result_count = 1;
  g_results[0] = SubtestResult{};  // a short phase: no clock sample
  decide_verdict(1);
  EXPECT_EQ(std::string(g_verdict.verdict_why).rfind("runqueue wait 0.00%, clock not sampled, no temperature sensor", 0), 0u)
      << g_verdict.verdict_why;
  cpus_used = 0;
}

TEST(Verdict, StealNeedsTwoRealReadings) {
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  reset_verdict();
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7\n");  // a kernel line without steal
  take_steal_baseline();
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 900\n");
  EXPECT_EQ(steal_since_baseline(), 0);  // the unreadable baseline counts no steal
  take_steal_baseline();
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 960\n");
  EXPECT_EQ(steal_since_baseline(), 60);
  tree.write("/proc/stat", "");
  EXPECT_EQ(steal_since_baseline(), 0);
  tree.write("/proc/stat", "cpu  1 2 3 4 5 6 7 10\n");  // stepped back
  EXPECT_EQ(steal_since_baseline(), 0);
}

TEST(Verdict, LongReasonNeverOverflows) {
  Inputs in;
  in.rounds = 3;
  in.converged = 0;
  in.thermal = 1;
  in.wait = 1e300;
  in.peak_mc = 100000;
  decide(in);
  EXPECT_LE(std::string(g_verdict.verdict_why).size(), 511u);
}

}  // namespace
