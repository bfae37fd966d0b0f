#pragma once
// Machine facts found once at start, read-only afterwards.
#include <cstdint>

constexpr int MAX_CPUS = 256;
constexpr int ISA_FLAG_COUNT = 12;

struct MachineInfo {
  int32_t isa[ISA_FLAG_COUNT];  // order of kIsaFlags (isa.h)
  char cpu_model[128];
  int32_t ncpu;
  int32_t cpu_ids[MAX_CPUS];    // ascending logical CPU numbers; per-CPU arrays index by position
  int32_t max_khz[MAX_CPUS];    // 0 when unreadable
  int32_t capacity[MAX_CPUS];   // 0 when unreadable
  int32_t is_e[MAX_CPUS];
  int32_t core_id[MAX_CPUS];    // -1 when unreadable
  int32_t package_id[MAX_CPUS]; // -1 when unreadable
  int32_t hybrid;
  int32_t p_threads;
  int32_t e_threads;
  int32_t ncores;
  int32_t p_cores;
  int32_t e_cores;
  char isolcpus[128];
  long rt_runtime_us;           // 950000 when unreadable, -1 when RT throttling is off
};

extern MachineInfo g_machine;

// Online processor count; sysconf(_SC_NPROCESSORS_ONLN) unless a test points it elsewhere.
extern long (*g_online_cpus)();

// Fills ncpu .. rt_runtime_us of g_machine from sysfs/procfs (through the path root).
// Counters add to the zero values of program start, so it runs once per process.
void read_topology();

// Marks E CPUs among the ncpu found ones and counts p_threads, e_threads, hybrid. A CPU ranks by
// capacity, else max_khz; it is E when 0 < rank < maxv - maxv/8 of the highest rank maxv.
void split_pe(MachineInfo* m);

// Counts physical cores: a CPU sharing core_id and package_id with an earlier one is an SMT
// sibling; an unknown (negative) core_id is always a core of its own.
void count_cores(MachineInfo* m);

// Position of a logical CPU number in g_machine.cpu_ids, or -1.
int cpu_position(int cpu);
