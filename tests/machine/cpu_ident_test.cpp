#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "machine/cpu_ident.h"
#include "machine/topology.h"
#include "machine_fixture.h"

namespace {

// The model text that cpuinfo `text` yields, with `dt` as the device-tree model (nullptr: none).
std::string model_for(const std::string& text, const char* dt = nullptr) {
  std::string copy = text;
  std::FILE* in = fmemopen(copy.data(), copy.size(), "r");
  if (!in) return "<fmemopen failed>";
  CpuinfoFacts facts;
  std::memset(&facts, 0x5a, sizeof facts);  // scan_cpuinfo must not rely on zeroed memory
  scan_cpuinfo(in, &facts);
  std::fclose(in);
  char out[128];
  choose_cpu_model(facts, dt, out, sizeof out);
  return out;
}

struct ModelCase {
  const char* name;
  std::string cpuinfo;
  const char* dt;
  std::string expected;
};

TEST(CpuIdentScan, ChoosesModelText) {
  const std::string arm = "processor\t: 0\nCPU implementer\t: 0x41\n";
  const ModelCase cases[] = {
      {"model line wins over implementer and part",
       "model name\t: ACME CPU 3.4GHz\nCPU implementer\t: 0x41\nCPU part\t: 0xd08\n", nullptr,
       "ACME CPU 3.4GHz"},
      {"Processor line without Hardware suffix",
       "Processor\t: ARMv7 Processor rev 1 (v7l)\nHardware\t: Board X\nCPU implementer\t: 0x41\n",
       nullptr, "ARMv7 Processor rev 1 (v7l)"},
      {"known ARM part", arm + "CPU part\t: 0xd08\n", nullptr, "Cortex-A72"},
      {"known ARM part with Hardware", arm + "CPU part\t: 0xd08\nHardware\t: Board\n", nullptr,
       "Cortex-A72 (Board)"},
      {"first row of the part table", arm + "CPU part\t: 0xc05\n", nullptr, "Cortex-A5"},
      {"last row of the part table", arm + "CPU part\t: 0xd4f\n", nullptr, "Neoverse-V2"},
      {"unnamed ARM part", arm + "CPU part\t: 0xd02\n", nullptr, "ARM part 0xd02"},
      {"unnamed ARM part next to a named one", arm + "CPU part\t: 0xd4e\n", nullptr,
       "ARM part 0xd4e"},
      {"implementer outside the table", "CPU implementer\t: 0x46\nCPU part\t: 0x1\n", nullptr,
       "ARM impl 0x46 part 0x001"},
      {"implementer in the table", "CPU implementer\t: 0x51\nCPU part\t: 0x802\n", nullptr,
       "Qualcomm part 0x802"},
      {"implementer without part", "CPU implementer\t: 0xc0\n", nullptr, "Ampere part 0x000"},
      {"decimal implementer", "CPU implementer\t: 65\nCPU part\t: 0xd03\n", nullptr, "Cortex-A53"},
      {"lower-case processor is no model line", "processor\t: 0\nmodel\t\t: 151\n", "Some Board",
       "Some Board"},
      {"Hardware before device tree", "processor\t: 0\nHardware\t: Board X\n", "Some Board",
       "Board X"},
      {"no device tree", "processor\t: 0\n", nullptr, "(unknown CPU)"},
      {"empty device tree text", "processor\t: 0\n", "", "(unknown CPU)"},
      {"empty file", "", nullptr, "(unknown CPU)"},
      {"first model line wins", "model name\t: First\nmodel name\t: Second\n", nullptr, "First"},
      {"parsed 0 counts as not seen",
       "CPU implementer\t: 0x41\nCPU part\t: 0x0\nCPU part\t: 0xd03\nCPU part\t: 0xd08\n", nullptr,
       "Cortex-A53"},
      {"empty value counts as not seen", "model name\t:\nmodel name\t: Later\n", nullptr, "Later"},
      {"trailing blanks stay, carriage return too", "model name\t: ACME  \r\n", nullptr,
       "ACME  \r"},
      {"value after the first colon", "model name\t: A: B\n", nullptr, "A: B"},
      {"line without colon skipped", "model name ACME\nHardware\t: X\n", nullptr, "X"},
      {"over-long value cut to 127", "model name\t: " + std::string(200, 'x') + "\n", nullptr,
       std::string(127, 'x')},
      {"over-long Hardware cut with the composed name",
       arm + "CPU part\t: 0xd08\nHardware\t: " + std::string(200, 'h') + "\n", nullptr,
       "Cortex-A72 (" + std::string(127 - 12, 'h')},
      // 255 characters fill one read; the rest of the line is read as a line of its own
      {"long line continues as its own line",
       "flags\t: " + std::string(247, 'a') + "model name\t: Tail\n", nullptr, "Tail"},
      {"one character less keeps it one line",
       "flags\t: " + std::string(246, 'a') + "model name\t: Tail\n", nullptr, "(unknown CPU)"},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(model_for(c.cpuinfo, c.dt), c.expected);
  }
}

class CpuIdentTest : public MachineFixture {};

TEST_F(CpuIdentTest, IdentifiesFromFixtureFiles) {
  const struct {
    const char* fixture;
    const char* model;
  } cases[] = {
      {"cpuinfo-x86", "ACME CPU 3.4GHz"},
      {"cpuinfo-arm32", "ARMv7 Processor rev 1 (v7l)"},
      {"cpuinfo-arm64", "Cortex-A72"},
      {"cpuinfo-arm64-board", "Cortex-A72 (Board)"},
      {"cpuinfo-device-tree", "Some Board"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    reset_machine();
    use_fixture(c.fixture);
    identify_cpu();
    EXPECT_STREQ(g_machine.cpu_model, c.model);
  }
}

TEST_F(CpuIdentTest, DeviceTreeModelKeepsItsNulInsideTheLength) {
  use_fixture("cpuinfo-device-tree");
  char buf[128];
  EXPECT_EQ(read_device_tree_model(buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "Some Board");

  use_fixture("cpuinfo-x86");
  EXPECT_EQ(read_device_tree_model(buf, sizeof buf), -1);
}

TEST_F(CpuIdentTest, UnopenableCpuinfoLeavesModelEmptyForALaterTry) {
  use_scratch();
  put("/proc/device-tree/model", std::string("Some Board\0", 11));
  identify_cpu();
  EXPECT_STREQ(g_machine.cpu_model, "");

  use_fixture("cpuinfo-arm64");
  identify_cpu();
  EXPECT_STREQ(g_machine.cpu_model, "Cortex-A72");
}

TEST_F(CpuIdentTest, SecondCallChangesNothing) {
  use_fixture("cpuinfo-x86");
  identify_cpu();
  use_fixture("cpuinfo-arm64");
  identify_cpu();
  EXPECT_STREQ(g_machine.cpu_model, "ACME CPU 3.4GHz");
}

}  // namespace
