#pragma once
// L2 isolation: every other task of the root cpuset moves to a sibling cpuset holding the CPUs
// the run does not use, and back at the end.
#include <cstddef>

constexpr const char* CPUSET_ROOT = "/sys/fs/cgroup/cpuset";
constexpr int MAX_MOVED_PIDS = 4096;

// 0 when isolation is in force; -1 with the reason in msg otherwise.
int isolate_rest(const int* bench, int n, char* msg, std::size_t msg_size);
// Undoes isolate_rest; async-signal-safe, so the cleanup may run it from a signal handler.
void release_isolation();
// True while the rest cpuset exists (created or reused by this run).
bool isolation_active();
