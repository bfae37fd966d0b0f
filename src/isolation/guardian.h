#pragma once
// The guardian of the isolation: a process forked before the first task is moved, which gives
// the tasks back and removes the rest cpuset (and the run's tombstone) when the run cannot:
//  - the run has died (its end of a socket pair closed with no word from it: SIGKILL, the OOM
//    killer, a crash past every handler);
//  - the run has been stopped (SIGSTOP, a stop it could not act on) for GUARDIAN_STOP_GRACE s;
//  - the run is still alive GUARDIAN_DEADLINE_GRACE s past its deadline.
// A run that released the machine itself says so, and the guardian ends. Killed, the guardian
// leaves the machine as it was; the next start repairs what a run left.
#include <cstddef>

constexpr double GUARDIAN_STOP_GRACE = 2.0;
constexpr double GUARDIAN_DEADLINE_GRACE = 1.0;

// The tombstone the run holds (an open descriptor and its path): the guardian keeps the lock while
// it lives, and removes the file after a run that died, if it is still the same file.
void guardian_set_tombstone(int fd, const char* path);
// The program's arguments, which the guardian overwrites with its name when they lie one after
// another as the kernel passes them (main's argv); any other layout is left alone.
void guardian_set_args(int argc, char** argv);
// Forks the guardian. 0 when it runs; -1 with the reason in why.
int start_guardian(char* why, std::size_t why_size);
// The run has given the machine back: the guardian ends. Async-signal-safe; nothing when no
// guardian runs.
void guardian_done();
// What the guardian decides each time it looks. `run_alive` false: the run died.
enum GuardianAction { GUARD_WAIT, GUARD_RESTORE, GUARD_RESTORE_AND_END };
GuardianAction guardian_decide(bool run_alive, bool run_stopped, double stopped_for, double now, double deadline);
