#include <gtest/gtest.h>

#include <string>

#include "machine/sensors.h"
#include "machine_fixture.h"

namespace {

class SensorTest : public MachineFixture {};

TEST_F(SensorTest, TemperatureFromFixtureTrees) {
  const struct {
    const char* fixture;
    int32_t milli_c;
  } cases[] = {
      // acpitz 45000, coretemp 52000 and 61000; nvme 70000 and zone 99000 are not consulted
      {"sensors-hwmon", 61000},
      // only an nvme device: every thermal zone, whatever its type, with a gap before zone 5
      {"sensors-nvme-only", 51000},
      // a CPU sensor reading 0 counts, so the zones stay unread
      {"sensors-zero", 0},
      {"no-such-tree", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    use_fixture(c.fixture);
    EXPECT_EQ(read_temperature(), c.milli_c);
  }
}

TEST_F(SensorTest, TemperatureScanBounds) {
  use_scratch();
  put("/sys/class/hwmon/hwmon15/name", "k10temp\n");
  put("/sys/class/hwmon/hwmon15/temp8_input", "40000\n");
  put("/sys/class/hwmon/hwmon15/temp9_input", "90000\n");
  put("/sys/class/hwmon/hwmon16/name", "coretemp\n");
  put("/sys/class/hwmon/hwmon16/temp1_input", "91000\n");
  put("/sys/class/thermal/thermal_zone3/temp", "92000\n");
  EXPECT_EQ(read_temperature(), 40000);

  put("/sys/class/hwmon/hwmon15/name", "nvme\n");
  put("/sys/class/thermal/thermal_zone31/temp", "93000\n");
  put("/sys/class/thermal/thermal_zone32/temp", "94000\n");
  EXPECT_EQ(read_temperature(), 93000);
}

TEST(SensorName, CpuSensorNames) {
  for (const char* name : {"coretemp", "k10temp", "cpu_thermal", "soc_thermal", "acpitz", "zenpower_cpu"})
    EXPECT_TRUE(is_cpu_sensor_name(name)) << name;
  for (const char* name : {"nvme", "iwlwifi_1", "amdgpu", "CPU", ""})
    EXPECT_FALSE(is_cpu_sensor_name(name)) << name;
}

TEST_F(SensorTest, CurrentClock) {
  use_fixture("sensors-hwmon");
  EXPECT_EQ(read_cur_khz(0), 2394512);
  EXPECT_EQ(read_cur_khz(1), 0);
  EXPECT_EQ(read_cur_khz(-1), 0);
}

TEST_F(SensorTest, StealFromProcStat) {
  use_fixture("sensors-hwmon");
  EXPECT_EQ(read_steal(), 7);
  use_fixture("no-such-tree");
  EXPECT_EQ(read_steal(), 0);
}

TEST(SensorSteal, ParsesTheEighthNumberOfTheCpuLine) {
  const struct {
    const char* text;
    long steal;
  } cases[] = {
      {"cpu  4705 150 1120 16250 520 0 30 7 0 0\ncpu0 1 2 3 4 5 6 7 8", 7},
      {"cpu 4705 150 1120 16250 520 0 30 7", 7},
      {"cpu  4705 150 1120 16250 520 0 30\ncpu0 1 2 3 4 5 6 7 8", 0},
      {"cpu  1 2 3 4 5 6 7 123456789012", 123456789012},
      {"intr 1 2 3 4 5 6 7 8", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_steal(c.text), c.steal) << c.text;
}

}  // namespace
