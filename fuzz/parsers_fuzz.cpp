// libFuzzer target for the hand-written parsers of text from outside the program: the CPU list,
// cpuinfo lines, numbers of small pseudo-files, peer-file lines, the host checks, schedstat and
// the JSON escaper. The first byte picks the parser; the rest is its input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dashboard/peers.h"
#include "engine/interference.h"
#include "events/ndjson.h"
#include "isolation/host_safety.h"
#include "machine/cpu_ident.h"
#include "machine/paths.h"
#include "machine/sensors.h"
#include "run/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char* t = text.c_str();
  switch (data[0] % 8) {
    case 0: parse_cpu_list(t); break;
    case 1: {
      CpuinfoFacts facts{};
      scan_cpuinfo_line(&facts, t);
      char model[128];
      choose_cpu_model(facts, t, model, sizeof model);
      break;
    }
    case 2: (void)parse_long(t); break;
    case 3: {
      PeerResult row{};
      (void)parse_peer_line(t, &row);
      break;
    }
    case 4:
      (void)mdstat_reason(t);
      (void)iscsi_session_present(t);
      (void)zfs_state_unhealthy(t);
      (void)comm_is_vm(t);
      break;
    case 5: {
      uint64_t run = 0, wait = 0;
      (void)parse_schedstat(t, &run, &wait);
      (void)parse_steal(t);
      break;
    }
    case 6: {
      char out[300];
      json_escape(t, out, (size % sizeof out) + 1);
      if (std::strlen(out) >= sizeof out) __builtin_trap();
      break;
    }
    default: (void)filter_selects(t, "int_scalar"); break;
  }
  return 0;
}
