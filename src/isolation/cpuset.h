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
// Gives every task of this run's rest cpuset back and removes it: what the guardian does when
// the run cannot. Returns the ids written back, -1 when the cpuset could not be removed.
// Async-signal-safe.
int undo_rest_group();
// A rest cpuset found at start belongs to a run that is no longer running (the caller holds the
// tombstone's lock, or found nobody holding it): its tasks go back and it is removed. Returns 0
// when there was none, 1 when it was repaired, -1 when it could not be removed; msg says what was
// done in both latter cases.
int repair_leftover_rest(char* msg, std::size_t msg_size);
// True while the rest cpuset exists (created or reused by this run).
bool isolation_active();
