#include "machine/cpu_ident.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "machine/paths.h"
#include "machine/topology.h"

namespace {

struct NamedId {
  long id;
  const char* name;
};

// CPU implementer codes; 0x41 names further through kArmParts.
constexpr NamedId kImplementers[] = {
    {0x41, "ARM"},     {0x42, "Broadcom"}, {0x43, "Cavium"},  {0x44, "DEC"},
    {0x4E, "NVIDIA"},  {0x50, "APM"},      {0x51, "Qualcomm"}, {0x53, "Samsung"},
    {0x56, "Marvell"}, {0x61, "Apple"},    {0x69, "Intel"},   {0xC0, "Ampere"},
};
static_assert(sizeof kImplementers / sizeof kImplementers[0] == 12);

constexpr long ARM_IMPLEMENTER = 0x41;

constexpr NamedId kArmParts[] = {
    {0xC05, "Cortex-A5"},   {0xC07, "Cortex-A7"},   {0xC08, "Cortex-A8"},   {0xC09, "Cortex-A9"},
    {0xC0D, "Cortex-A12"},  {0xC0E, "Cortex-A17"},  {0xC0F, "Cortex-A15"},  {0xD01, "Cortex-A32"},
    {0xD03, "Cortex-A53"},  {0xD04, "Cortex-A35"},  {0xD05, "Cortex-A55"},  {0xD06, "Cortex-A65"},
    {0xD07, "Cortex-A57"},  {0xD08, "Cortex-A72"},  {0xD09, "Cortex-A73"},  {0xD0A, "Cortex-A75"},
    {0xD0B, "Cortex-A76"},  {0xD0C, "Neoverse-N1"}, {0xD0D, "Cortex-A77"},  {0xD40, "Neoverse-V1"},
    {0xD41, "Cortex-A78"},  {0xD44, "Cortex-X1"},   {0xD46, "Cortex-A510"}, {0xD47, "Cortex-A710"},
    {0xD49, "Neoverse-N2"}, {0xD4F, "Neoverse-V2"},
};
static_assert(sizeof kArmParts / sizeof kArmParts[0] == 26);

template <std::size_t N>
const char* find_name(const NamedId (&table)[N], long id) {
  for (const NamedId& row : table)
    if (row.id == id) return row.name;
  return nullptr;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void store_value(char* dst, std::size_t size, std::string_view value) {
  std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(dst, value.data(), n);
  dst[n] = '\0';
}

void compose_name(const CpuinfoFacts& f, char* out, std::size_t size) {
  unsigned part = static_cast<unsigned>(f.part);
  if (f.implementer == ARM_IMPLEMENTER) {
    if (const char* name = find_name(kArmParts, f.part)) {
      std::snprintf(out, size, "%s", name);
      return;
    }
  }
  if (const char* maker = find_name(kImplementers, f.implementer))
    std::snprintf(out, size, "%s part 0x%03x", maker, part);
  else
    std::snprintf(out, size, "ARM impl 0x%02x part 0x%03x", static_cast<unsigned>(f.implementer), part);
}

}  // namespace

void scan_cpuinfo_line(CpuinfoFacts* f, const char* line) {
  std::string_view text(line);
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view key = text.substr(0, colon);
  std::string_view value = text.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  std::size_t nl = value.find('\n');
  if (nl != std::string_view::npos) value = value.substr(0, nl);

  if (f->model[0] == '\0' && (starts_with(key, "model name") || starts_with(key, "Processor")))
    store_value(f->model, sizeof f->model, value);
  if (f->hardware[0] == '\0' && starts_with(key, "Hardware"))
    store_value(f->hardware, sizeof f->hardware, value);
  // value points into the NUL-terminated line, so strtol may read it in place.
  if (f->implementer == 0 && starts_with(key, "CPU implementer"))
    f->implementer = std::strtol(value.data(), nullptr, 0);
  if (f->part == 0 && starts_with(key, "CPU part")) f->part = std::strtol(value.data(), nullptr, 0);
}

void scan_cpuinfo(std::FILE* in, CpuinfoFacts* facts) {
  *facts = CpuinfoFacts{};
  char line[256];
  while (std::fgets(line, sizeof line, in)) scan_cpuinfo_line(facts, line);
}

void choose_cpu_model(const CpuinfoFacts& f, const char* dt_model, char* out, std::size_t size) {
  if (size == 0) return;
  if (f.model[0] != '\0') {
    std::snprintf(out, size, "%s", f.model);
  } else if (f.implementer == 0) {
    const char* text = "(unknown CPU)";
    if (f.hardware[0] != '\0')
      text = f.hardware;
    else if (dt_model && dt_model[0] != '\0')
      text = dt_model;
    std::snprintf(out, size, "%s", text);
  } else {
    char name[96];
    compose_name(f, name, sizeof name);
    if (f.hardware[0] != '\0')
      std::snprintf(out, size, "%s (%s)", name, f.hardware);
    else
      std::snprintf(out, size, "%s", name);
  }
}

long read_device_tree_model(char* buf, std::size_t size) {
  return read_pseudo_file(buf, size, "/proc/device-tree/model");
}

void identify_cpu() {
  if (g_machine.cpu_model[0] != '\0') return;
  char path[ROOTED_PATH_MAX];
  if (make_path(path, sizeof path, "/proc/cpuinfo") < 0) return;
  // O_NONBLOCK: a FIFO in place of cpuinfo reads as empty instead of blocking the start.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  std::FILE* in = ::fdopen(fd, "r");
  if (!in) {
    ::close(fd);
    return;
  }
  CpuinfoFacts facts;
  scan_cpuinfo(in, &facts);
  std::fclose(in);

  char dt[128];
  const char* dt_model = nullptr;
  if (facts.model[0] == '\0' && facts.implementer == 0 && facts.hardware[0] == '\0' &&
      read_device_tree_model(dt, sizeof dt) > 0)
    dt_model = dt;
  choose_cpu_model(facts, dt_model, g_machine.cpu_model, sizeof g_machine.cpu_model);
}
