#pragma once
// What keeps a real-time run from hurting the machine: the tombstone, the RT-throttling check,
// the deadline (timer, alarm, CPU-time limit, watchdog) and the cleanup on every way out.
#include <cstddef>
#include <signal.h>

constexpr const char* TOMBSTONE_PATH = "/tmp/.tallyfox_tombstone";

// Outcome of install_seatbelts.
constexpr int SEATBELTS_OK = 0;
constexpr int SEATBELTS_BUSY = 1;  // another run is measuring; refused

// Tombstone and throttling checks (may lower the quiesce level), tombstone creation, cleanup
// registration and signal handlers.
int install_seatbelts();
// The tombstone and throttling checks for the level in force: a run that reaches rt later (a
// fall-back from isolate) meets them as a direct rt does. Prints the refusal and sets none.
void refuse_unsafe_rt();
// SIGUSR1 sets the stop flag from here on, also when it arrived (blocked) before this call.
void install_stop_signal();
// Every signal whose default action ends the process and that a handler can catch, other than
// the stop signals SIGUSR1 and SIGALRM.
void fatal_signals(sigset_t* set);
// SIGTSTP, SIGTTIN and SIGTTOU: the stops of job control, held while a stop gives the terminal
// back (from the background, once the shell has taken it, that would stop the process half-way).
void job_stop_signals(sigset_t* set);
void arm_deadline(double deadline);
// Starts the watchdog thread; the run goes on when it cannot be created.
void start_watchdog();
void* watchdog_thread(void*);
void cleanup_run();
void cleanup_once();
// Measuring is over: the isolation is undone and this thread leaves real-time priority now,
// before the result and the summary are written, so a reader that stalls holds nothing of the
// machine. The cleanup does the same if this never ran.
void release_machine();
void on_fatal_signal(int sig);
// After a run ended by a signal: once no live process holds the tombstone (a guardian gets
// max_wait_ms to finish), a rest cpuset still there is given back and removed. The return and msg
// are those of repair_leftover_rest; 0 also when the tombstone stayed held.
int repair_after_run(char* msg, std::size_t msg_size, int max_wait_ms);
void on_stop_signal(int sig);

// Whole seconds of the soft CPU-time limit for a deadline; the hard limit is 2 more.
long cpu_limit_soft(double deadline, double launch_time, int ncpu);
// The full run's deadline offset from now: 300 + 2 × subtests × seconds × 1.3 + 20.
double full_run_budget(int subtests, double seconds);
