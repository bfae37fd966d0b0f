#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/round_state.h"
#include "events/compare.h"
#include "synthetic_noise.h"

namespace {

constexpr int SUBTESTS = 10;  // 20 figures: ST and MT of each

double median_of_last(const std::vector<double>& v) {
  const int k = v.size() < 4 ? static_cast<int>(v.size()) : 4;
  return median(v.data() + v.size() - k, k);
}

// A saved full run as the reader leaves it: index rounds (all-core twice the single-thread one,
// unless mt is false), and SUBTESTS subtests whose per-round rates follow `rates` (or the index
// rounds scaled, when empty).
std::unique_ptr<DashModel> run(const std::vector<double>& rounds, bool mt = true,
                               const std::vector<std::vector<double>>& rates = {}) {
  auto m = std::make_unique<DashModel>();
  std::snprintf(m->mode, sizeof m->mode, "full");
  std::snprintf(m->verdict, sizeof m->verdict, "clean");
  std::snprintf(m->cpu_model, sizeof m->cpu_model, "Test CPU");
  std::snprintf(m->quiesce, sizeof m->quiesce, "rt");
  std::snprintf(m->profile, sizeof m->profile, "standard");
  m->phase_seconds = 0.6;
  m->ncpu = m->cpus_used = 2;
  m->ref_version = 2;
  m->result_received = true;
  m->result_rounds = m->round_count = static_cast<int>(rounds.size());
  for (std::size_t k = 0; k < rounds.size(); ++k) {
    m->rounds[k].index_st = rounds[k];
    m->rounds[k].index_mt = mt ? 2 * rounds[k] : 0;
  }
  m->index_st = median_of_last(rounds);
  m->index_mt = mt ? 2 * m->index_st : 0;
  m->row_count = SUBTESTS;
  for (int i = 0; i < SUBTESTS; ++i) {
    DashSubtestRow& r = m->rows[i];
    std::snprintf(r.name, sizeof r.name, "sub%d", i);
    std::snprintf(r.isa, sizeof r.isa, "base");
    std::snprintf(r.unit, sizeof r.unit, "Mops");
    const std::vector<double>& v = i < static_cast<int>(rates.size()) ? rates[i] : rounds;
    r.sample_count = static_cast<int>(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) {
      r.st_samples[k] = v[k] / (i + 1);
      r.mt_samples[k] = mt ? 2 * v[k] / (i + 1) : 0;
      r.sample_round[k] = static_cast<int>(k);
    }
  }
  return m;
}

struct Outcome {
  int status;
  std::string outcome;
};

Outcome compare(const std::vector<DashModel*>& a, const std::vector<DashModel*>& b, double min_change = 2.0) {
  const char* outcome = "";
  const int status = compare_decision(const_cast<DashModel* const*>(a.data()), static_cast<int>(a.size()),
                                      const_cast<DashModel* const*>(b.data()), static_cast<int>(b.size()),
                                      min_change, &outcome);
  return {status, outcome};
}

Outcome compare(const std::unique_ptr<DashModel>& a, const std::unique_ptr<DashModel>& b, double min_change = 2.0) {
  return compare(std::vector<DashModel*>{a.get()}, std::vector<DashModel*>{b.get()}, min_change);
}

TEST(CompareDecision, OneRunASide) {
  const auto base = run({1000, 1002, 999, 1001, 1000});
  // A subtest that is slower beyond noise sets no status on its own: only the index decides.
  std::vector<std::vector<double>> sub(SUBTESTS, {1003, 998, 1001, 1000, 1002});
  sub[3] = {940, 941, 939, 942, 940};
  const auto same_but_one = run({1003, 998, 1001, 1000, 1002}, true, sub);
  const auto drop5 = run({951, 949, 950, 952, 950});
  const auto drop1 = run({985, 986, 984, 985, 986});
  // The same 5 % drop inside a run whose speed stepped by about 9 % while it ran.
  const auto drifted = run({1045, 1046, 1044, 1045, 1046, 1045, 951, 949, 950, 952});
  // The single-thread index slower, the all-core one not: the all-core index decides.
  auto st_only_slower = run({951, 949, 950, 952, 950});
  for (int k = 0; k < 5; ++k) st_only_slower->rounds[k].index_mt = 2 * base->rounds[k].index_st;
  const auto st_base = run({1000, 1002, 999, 1001, 1000}, false);
  const auto st_drop = run({951, 949, 950, 952, 950}, false);
  const auto wide = run({1000, 1080, 930, 1040, 990});  // its own index range is 11 %

  const struct {
    const char* what;
    const DashModel* old_run;
    const DashModel* new_run;
    double min_change;
    Outcome want;
  } cases[] = {
      {"identical runs, one subtest of 20 figures slower", base.get(), same_but_one.get(), 2, {0, "no_difference"}},
      {"a 5 % index drop, tight rounds", base.get(), drop5.get(), 2, {3, "slower"}},
      {"the same the other way", drop5.get(), base.get(), 2, {0, "faster"}},
      {"a 1.5 % drop is below the 2 % minimum", base.get(), drop1.get(), 2, {0, "no_difference"}},
      {"--min-change 1 lets it count", base.get(), drop1.get(), 1, {3, "slower"}},
      {"--min-change 6 hides the 5 % drop", base.get(), drop5.get(), 6, {0, "no_difference"}},
      {"a 5 % drop inside a run that drifted 9 %", base.get(), drifted.get(), 2, {0, "no_difference"}},
      {"a 5 % drop within a run's own 11 % range", wide.get(), drop5.get(), 2, {0, "no_difference"}},
      {"single-thread slower, all-core not", base.get(), st_only_slower.get(), 2, {0, "no_difference"}},
      {"no all-core index: the single-thread one decides", st_base.get(), st_drop.get(), 2, {3, "slower"}},
  };
  for (const auto& c : cases) {
    const char* outcome = "";
    DashModel* a[] = {const_cast<DashModel*>(c.old_run)};
    DashModel* b[] = {const_cast<DashModel*>(c.new_run)};
    const int status = compare_decision(a, 1, b, 1, c.min_change, &outcome);
    EXPECT_EQ(status, c.want.status) << c.what;
    EXPECT_EQ(std::string(outcome), c.want.outcome) << c.what;
  }
}

TEST(CompareDecision, SeveralRunsASide) {
  std::vector<std::unique_ptr<DashModel>> runs;
  auto side = [&](std::vector<double> indexes) {
    std::vector<DashModel*> out;
    for (const double x : indexes) {
      runs.push_back(run({x, x + 1, x - 1, x}));
      out.push_back(runs.back().get());
    }
    return out;
  };
  // Run-to-run noise of about 3 %: five runs a side at the same level show no change, five at a
  // level 6 % lower show one.
  const auto old_runs = side({1000, 1030, 975, 1010, 990});
  EXPECT_EQ(compare(old_runs, side({1020, 985, 1005, 970, 1025})).status, 0);
  const Outcome slower = compare(old_runs, side({940, 955, 925, 945, 930}));
  EXPECT_EQ(slower.status, 3);
  EXPECT_EQ(slower.outcome, "slower");
  // Two runs a side can never separate: the noise is unknown, not "within".
  EXPECT_EQ(compare(side({1000, 1010}), side({900, 905})).outcome, "noise_unknown");
  // Each run counts once, however many rounds it had: one old run against five new ones is
  // no sample of the old side's noise.
  EXPECT_EQ(compare(side({1000}), side({900, 905, 910, 902, 899})).outcome, "noise_unknown");
}

// Unchanged machine, ideal noise: pairs of runs drawn from one distribution. The status that a
// script gates on must not cry wolf: at most one pair in twenty called slower, with 20 figures a
// run and 4 to 8 rounds each. Both the within-run noise and a run-to-run level shift as large as
// it are drawn; a larger shift, which no round shows, needs several runs a side.
TEST(CompareDecision, UnchangedMachineIsRarelyCalledSlower) {
  Noise g{2026};
  for (const double shift_sd : {0.0, 1.0}) {
    int slower = 0;
    const int pairs = 400;
    for (int p = 0; p < pairs; ++p) {
      std::unique_ptr<DashModel> side[2];
      for (auto& s : side) {
        const int n = 4 + static_cast<int>(g.uniform() * 5);
        const double level = 1000 * (1 + shift_sd / 100 * g.gauss());
        std::vector<double> rounds(n);
        for (double& x : rounds) x = level * (1 + 0.01 * g.gauss());
        std::vector<std::vector<double>> rates(SUBTESTS, std::vector<double>(n));
        for (auto& r : rates)
          for (double& x : r) x = level * (1 + 0.02 * g.gauss());
        s = run(rounds, true, rates);
      }
      slower += compare(side[0], side[1]).status == 3;
    }
    std::printf("unchanged machine, run-to-run shift sd %.1f%%: called slower in %d of %d pairs\n", shift_sd, slower,
                pairs);
    EXPECT_LE(slower, pairs / 20) << "shift sd " << shift_sd;
  }
}

}  // namespace
