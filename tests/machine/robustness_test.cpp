// Every pseudo-file the machine readers open, replaced by something no kernel writes: the
// readers must neither crash nor hang, and must land on their documented fallbacks.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "machine/cpu_ident.h"
#include "machine/fingerprint.h"
#include "machine/sensors.h"
#include "machine/topology.h"
#include "machine_fixture.h"

namespace {

const char* const kPseudoFiles[] = {
    "/sys/devices/system/cpu/cpu0/topology/core_id",
    "/sys/devices/system/cpu/cpu0/topology/physical_package_id",
    "/sys/devices/system/cpu/cpu0/cpu_capacity",
    "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
    "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/isolated",
    "/proc/sys/kernel/sched_rt_runtime_us",
    "/proc/cpuinfo",
    "/proc/device-tree/model",
    "/proc/stat",
    "/sys/class/hwmon/hwmon0/name",
    "/sys/class/hwmon/hwmon0/temp1_input",
    "/sys/class/thermal/thermal_zone0/temp",
    "/proc/self/exe",
};

enum class Kind { Empty, Huge, Binary, Directory, Fifo };

const std::string kBinary("\x01\x80\xff\0\x7f:\n", 7);

struct Expected {
  const char* name;
  Kind kind;
  int32_t core_id, package_id, capacity, max_khz;
  long cur_khz;
  std::string isolcpus;
  long rt_runtime_us;
  std::string cpu_model;
  long steal;
  int32_t temperature;
  const char* digest;  // nullptr: any
};

class CpuFactsRobustness : public MachineFixture {
 protected:
  void plant(Kind kind) {
    for (const char* p : kPseudoFiles) {
      switch (kind) {
        case Kind::Empty: put(p, ""); break;
        case Kind::Huge: put(p, std::string(1 << 20, '9')); break;
        case Kind::Binary: put(p, kBinary); break;
        case Kind::Directory: put_dir(p); break;
        case Kind::Fifo: put_fifo(p); break;
      }
    }
  }
};

TEST_F(CpuFactsRobustness, ReadersFallBackOnMalformedFiles) {
  const std::string nines(127, '9');
  const Expected cases[] = {
      // numbers parse as 0, an empty device tree is no model
      {"empty", Kind::Empty, 0, 0, 0, 0, 0, "", 0, "(unknown CPU)", 0, 0, "e3b0c44298fc1c14"},
      // one bounded read of the beginning; numbers saturate
      {"huge", Kind::Huge, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, LONG_MAX, nines, LONG_MAX,
       nines, 0, INT32_MAX, nullptr},
      // text ends at the first NUL
      {"binary", Kind::Binary, 0, 0, 0, 0, 0, "\x01\x80\xff", 0, "\x01\x80\xff", 0, 0, nullptr},
      // opens but cannot be read: the unreadable fallbacks
      {"directory", Kind::Directory, -1, -1, 0, 0, 0, "", 950000, "(unknown CPU)", 0, -1,
       "e3b0c44298fc1c14"},
      // no writer: reads as empty instead of blocking
      {"fifo", Kind::Fifo, 0, 0, 0, 0, 0, "", 0, "(unknown CPU)", 0, 0, "e3b0c44298fc1c14"},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.name);
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
    scratch_.clear();
    use_scratch();
    ASSERT_FALSE(scratch_.empty());
    plant(c.kind);
    reset_machine();
    set_online(1);

    read_topology();
    ASSERT_EQ(g_machine.ncpu, 1);
    EXPECT_EQ(g_machine.core_id[0], c.core_id);
    EXPECT_EQ(g_machine.package_id[0], c.package_id);
    EXPECT_EQ(g_machine.capacity[0], c.capacity);
    EXPECT_EQ(g_machine.max_khz[0], c.max_khz);
    EXPECT_EQ(g_machine.ncores, 1);
    EXPECT_EQ(std::string(g_machine.isolcpus), c.isolcpus);
    EXPECT_EQ(g_machine.rt_runtime_us, c.rt_runtime_us);
    EXPECT_EQ(read_cur_khz(0), c.cur_khz);

    identify_cpu();
    EXPECT_EQ(std::string(g_machine.cpu_model), c.cpu_model);

    EXPECT_EQ(read_steal(), c.steal);
    EXPECT_EQ(read_temperature(), c.temperature);

    char fp[192];
    format_fingerprint("c", "f", (scratch_ + "/proc/self/exe").c_str(), fp, sizeof fp);
    if (c.digest) {
      EXPECT_EQ(std::string(fp), std::string("c f sha256:") + c.digest);
    }
  }
}

}  // namespace
