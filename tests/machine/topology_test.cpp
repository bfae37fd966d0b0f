#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/topology.h"
#include "machine_fixture.h"

namespace {

class TopologyTest : public MachineFixture {
 protected:
  static void load(const char* fixture, long online) {
    reset_machine();
    use_fixture(fixture);
    set_online(online);
    read_topology();
  }
};

std::vector<int> found_ids() {
  return std::vector<int>(g_machine.cpu_ids, g_machine.cpu_ids + g_machine.ncpu);
}

struct TreeCase {
  const char* fixture;
  long online;
  std::vector<int> ids;
  int p_threads, e_threads, hybrid, ncores, p_cores, e_cores;
  const char* isolcpus;
  long rt_runtime_us;
};

TEST_F(TopologyTest, FixtureTreesGiveCountsSplitAndSettings) {
  const TreeCase cases[] = {
      // capacity 446 vs 1024; E cores single-threaded, P cores with two threads each
      {"topo-hybrid-capacity", 8, {0, 1, 2, 3, 4, 5, 6, 7}, 4, 4, 1, 6, 2, 4, "2-3", -1},
      // no cpu_capacity: 1700000 kHz is below 1750000
      {"topo-max-freq", 4, {0, 1, 2, 3}, 2, 2, 1, 4, 2, 2, "", 950000},
      // core 0 in packages 0 and 1, two threads each; isolated holds only a newline
      {"topo-two-packages", 4, {0, 1, 2, 3}, 4, 0, 0, 2, 2, 0, "", 800000},
      // no topology anywhere: every CPU its own core; rt file missing
      {"topo-no-core-id", 3, {0, 1, 2}, 3, 0, 0, 3, 3, 0, "", 950000},
      // cpu1 offline but present, cpu3 absent: the scan stops at the online count
      {"topo-offline-gap", 2, {0, 1}, 2, 0, 0, 2, 2, 0, "", 950000},
      {"topo-offline-gap", 3, {0, 1, 2}, 3, 0, 0, 3, 3, 0, "", 950000},
      {"topo-offline-gap", 8, {0, 1, 2, 4}, 4, 0, 0, 4, 4, 0, "", 950000},
      // sysconf below 1: a lone P CPU 0, platform settings still read
      {"topo-hybrid-capacity", 0, {0}, 1, 0, 0, 1, 1, 0, "2-3", -1},
      {"topo-hybrid-capacity", -1, {0}, 1, 0, 0, 1, 1, 0, "2-3", -1},
      // nothing readable at all
      {"no-such-tree", 4, {0}, 1, 0, 0, 1, 1, 0, "", 950000},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " online=" + std::to_string(c.online));
    load(c.fixture, c.online);
    EXPECT_EQ(found_ids(), c.ids);
    EXPECT_EQ(g_machine.p_threads, c.p_threads);
    EXPECT_EQ(g_machine.e_threads, c.e_threads);
    EXPECT_EQ(g_machine.hybrid, c.hybrid);
    EXPECT_EQ(g_machine.ncores, c.ncores);
    EXPECT_EQ(g_machine.p_cores, c.p_cores);
    EXPECT_EQ(g_machine.e_cores, c.e_cores);
    EXPECT_STREQ(g_machine.isolcpus, c.isolcpus);
    EXPECT_EQ(g_machine.rt_runtime_us, c.rt_runtime_us);
  }
}

TEST_F(TopologyTest, PerCpuFactsAreIndexedByPosition) {
  load("topo-offline-gap", 8);
  ASSERT_EQ(g_machine.ncpu, 4);
  // position 1 is the offline cpu1: present, but nothing readable
  EXPECT_EQ(g_machine.core_id[1], -1);
  EXPECT_EQ(g_machine.package_id[1], -1);
  EXPECT_EQ(g_machine.max_khz[1], 0);
  EXPECT_EQ(g_machine.capacity[1], 0);
  // position 3 is cpu4
  EXPECT_EQ(g_machine.core_id[3], 4);
  EXPECT_EQ(g_machine.package_id[3], 0);

  EXPECT_EQ(cpu_position(4), 3);
  EXPECT_EQ(cpu_position(1), 1);
  EXPECT_EQ(cpu_position(3), -1);
  EXPECT_EQ(cpu_position(-1), -1);
  EXPECT_EQ(cpu_position(MAX_CPUS), -1);
}

TEST_F(TopologyTest, ReadsEveryPerCpuFile) {
  load("topo-hybrid-capacity", 8);
  EXPECT_EQ(g_machine.capacity[0], 446);
  EXPECT_EQ(g_machine.capacity[7], 1024);
  EXPECT_EQ(g_machine.core_id[5], 8);
  EXPECT_EQ(g_machine.is_e[3], 1);
  EXPECT_EQ(g_machine.is_e[4], 0);

  load("topo-max-freq", 4);
  EXPECT_EQ(g_machine.max_khz[0], 1700000);
  EXPECT_EQ(g_machine.max_khz[3], 2000000);
  EXPECT_EQ(g_machine.capacity[3], 0);
}

TEST_F(TopologyTest, SingleCpuFallbackKeepsZeroFacts) {
  load("topo-no-core-id", 0);
  ASSERT_EQ(g_machine.ncpu, 1);
  // not the -1 / 0 kHz of a CPU that was found and unreadable: the start values stay
  EXPECT_EQ(g_machine.core_id[0], 0);
  EXPECT_EQ(g_machine.package_id[0], 0);
  EXPECT_EQ(g_machine.max_khz[0], 0);
}

TEST_F(TopologyTest, ScanCoversCpuNumbersUpTo255Only) {
  use_scratch();
  put("/sys/devices/system/cpu/cpu0/topology/core_id", "0\n");
  put("/sys/devices/system/cpu/cpu255/topology/core_id", "255\n");
  put("/sys/devices/system/cpu/cpu256/topology/core_id", "256\n");
  set_online(1000);
  read_topology();
  EXPECT_EQ(found_ids(), (std::vector<int>{0, 255}));
}

TEST_F(TopologyTest, IsolatedListIsCutTo127Characters) {
  use_scratch();
  put("/sys/devices/system/cpu/isolated", std::string(200, '7') + "\n");
  read_topology();
  EXPECT_EQ(std::string(g_machine.isolcpus), std::string(127, '7'));
}

struct SplitCase {
  const char* name;
  std::vector<int> capacity;
  std::vector<int> max_khz;
  std::vector<int> is_e;
  int hybrid;
};

TEST(TopologySplit, RanksByCapacityElseMaxClock) {
  const SplitCase cases[] = {
      {"all equal", {1024, 1024, 1024, 1024}, {0, 0, 0, 0}, {0, 0, 0, 0}, 0},
      {"900 is not below 896", {900, 1024}, {0, 0}, {0, 0}, 0},
      {"896 is the threshold itself", {896, 1024}, {0, 0}, {0, 0}, 0},
      {"895 is below it", {895, 1024}, {0, 0}, {1, 0}, 1},
      {"1800000 kHz is not below 1750000", {0, 0}, {1800000, 2000000}, {0, 0}, 0},
      {"1700000 kHz is", {0, 0}, {1700000, 2000000}, {1, 0}, 1},
      {"capacity wins over max_khz", {1024, 1024}, {1000000, 2000000}, {0, 0}, 0},
      // capacity against kHz as the numbers stand
      {"mixed sources", {1024, 0}, {0, 2000000}, {1, 0}, 1},
      {"unreadable CPU is P", {0, 1024}, {0, 0}, {0, 0}, 0},
      {"nothing readable", {0, 0}, {0, 0}, {0, 0}, 0},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    MachineInfo m{};
    m.ncpu = static_cast<int>(c.capacity.size());
    for (int i = 0; i < m.ncpu; ++i) {
      m.capacity[i] = c.capacity[i];
      m.max_khz[i] = c.max_khz[i];
    }
    split_pe(&m);
    EXPECT_EQ(std::vector<int>(m.is_e, m.is_e + m.ncpu), c.is_e);
    EXPECT_EQ(m.hybrid, c.hybrid);
    EXPECT_EQ(m.p_threads + m.e_threads, m.ncpu);
  }
}

TEST(TopologyCores, SiblingsMustShareCoreAndPackage) {
  MachineInfo m{};
  m.ncpu = 5;
  const int core[] = {0, 1, 0, -1, -1};
  const int package[] = {0, 0, 1, 0, 0};
  const int is_e[] = {0, 1, 0, 1, 1};
  for (int i = 0; i < m.ncpu; ++i) {
    m.core_id[i] = core[i];
    m.package_id[i] = package[i];
    m.is_e[i] = is_e[i];
  }
  count_cores(&m);
  // core 0 in two packages is two cores; each unknown core id is a core of its own
  EXPECT_EQ(m.ncores, 5);
  EXPECT_EQ(m.p_cores, 2);
  EXPECT_EQ(m.e_cores, 3);
}

}  // namespace
