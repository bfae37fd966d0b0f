#include "run/seatbelts.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "dashboard/inprocess.h"
#include "isolation/cpuset.h"
#include "isolation/guardian.h"
#include "machine/paths.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"

namespace {

char g_tombstone[320];       // formed once, read by signal handlers
int g_tombstone_fd = -1;     // held open with an exclusive lock while this run measures
bool g_tombstone_found;      // a tombstone was there before this run made its own
std::atomic<int> g_cleanup_finished{0};
std::atomic<int> g_cleanup_thread{0};  // thread id of the thread running the cleanup
// The release of the machine (isolation undone) runs once too: at the end of measuring, before
// the report, or as the first part of the cleanup, whichever comes first.
std::atomic<int> g_release_started{0};
std::atomic<int> g_release_finished{0};
std::atomic<int> g_release_thread{0};
constexpr int CLEANUP_WRITE_MS = 200;  // longest wait for a stalled standard output on the way out
constexpr int CLEANUP_RELEASE_WAIT_MS = 2000;  // for a release another thread is running
// Besides SIGRTMIN..SIGRTMAX, every signal whose default action ends the process, but SIGKILL,
// which cannot be caught, and the stop signals SIGUSR1 and SIGALRM.
constexpr int kFatalSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,
                                 SIGFPE,  SIGUSR2, SIGSEGV, SIGPIPE, SIGTERM,   SIGSTKFLT, SIGXCPU,
                                 SIGXFSZ, SIGPROF, SIGIO,   SIGPWR,  SIGVTALRM, SIGSYS};
// Signals a parent may have set to be ignored on purpose (nohup; a shell's background job).
constexpr int kKeptIgnored[] = {SIGHUP, SIGINT, SIGQUIT};

// The stop signals restart an interrupted write, so an event blocked on a slow reader is never
// dropped. The fatal handlers block every fatal signal, so one never cuts another's cleanup short.
void install_handler(int sig, void (*handler)(int), int flags, const sigset_t& mask) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_mask = mask;
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

void install_stop_handler(int sig) {
  sigset_t none;
  sigemptyset(&none);
  install_handler(sig, on_stop_signal, SA_RESTART, none);
}

// True when a live run holds the tombstone's lock. A tombstone nobody holds is a crash's mark.
bool tombstone_held_by_live_run() {
  const int fd = open(g_tombstone, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// Creates the tombstone without following links, blocking on a FIFO or creating anything but a
// regular file. Returns 0, -1 when it could not be created, 1 when another run holds it.
int create_tombstone() {
  const int fd = open(g_tombstone, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  // Held by a live run: busy. Any other failure to lock leaves this run's file unlocked but its
  // own, so that it is still removed at the end.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return 1;
  }
  g_tombstone_fd = fd;
  return 0;
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int this_thread_id() { return static_cast<int>(syscall(SYS_gettid)); }

// Removes the tombstone this run made, once, whichever thread gets here first.
void remove_own_tombstone() {
  const int fd = __atomic_exchange_n(&g_tombstone_fd, -1, __ATOMIC_SEQ_CST);
  if (fd < 0) return;
  if (g_tombstone[0] != '\0') unlink(g_tombstone);
  close(fd);
}

// Undoes the isolation once; a second caller on another thread waits until it is done.
void release_exactly_once(int max_wait_ms) {
  const int self = this_thread_id();
  if (g_release_started.exchange(1) == 0) {
    g_release_thread.store(self);
    if (isolation_active()) release_isolation();
    g_release_finished.store(1);
    return;
  }
  if (g_release_thread.load() == self) return;
  for (int waited = 0; !g_release_finished.load() && (max_wait_ms < 0 || waited < max_wait_ms); waited += 10)
    sleep_ms(10);
}

// Runs the cleanup once. A caller that finds another thread cleaning waits until it has finished,
// so the process never ends half-way through restoring the machine; the cleanup's own writes are
// bounded, so that wait is too. `max_wait_ms` < 0 waits as long as it takes. A thread never waits
// for itself.
void cleanup_exactly_once(int max_wait_ms) {
  const int self = this_thread_id();
  if (g_run.cleanup_done.exchange(1) == 0) {
    g_cleanup_thread.store(self);
    cleanup_run();
    return;
  }
  if (g_cleanup_thread.load() == self) return;
  for (int waited = 0; !g_cleanup_finished.load() && (max_wait_ms < 0 || waited < max_wait_ms); waited += 10)
    sleep_ms(10);
}

constexpr int kJobStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// Ctrl-Z, or terminal input or output from the background: the machine and the terminal are
// given back before the process stops as asked. The run then ends like a stop key once it goes
// on: what it measures after the pause is not comparable with what it measured before.
void on_job_stop(int sig) {
  const int saved = errno;
  if (g_run.frame_writing.load() && this_thread_id() != static_cast<int>(getpid())) {
    // The main thread stops once its frame is out. Should it have finished meanwhile without
    // seeing this stop, the stop is taken back and handled here.
    g_run.stop_deferred.store(sig);
    if (g_run.frame_writing.load() || g_run.stop_deferred.exchange(0) == 0) {
      errno = saved;
      return;
    }
  }
  const int continued_before = g_run.continued.load();
  sched_param sp{};
  sched_setscheduler(0, SCHED_OTHER, &sp);
  release_exactly_once(CLEANUP_RELEASE_WAIT_MS);
  if (g_run.dash_terminal.exchange(0) != 0) dash_terminal_leave(CLEANUP_WRITE_MS);
  g_run.suspended.store(1);
  g_run.stop_requested.store(1);
  signal(sig, SIG_DFL);
  raise(sig);  // pending until unblocked below; the default action stops the process there
  // A SIGCONT that came while the machine was being given back (the shell's fg can be that quick)
  // must not be followed by the stop, which nothing would continue then: the stop is dropped.
  // One that comes from here on discards the pending stop itself.
  if (g_run.continued.load() != continued_before) {
    signal(sig, SIG_IGN);  // discards the pending stop
  } else {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  }
  sigset_t stops;
  job_stop_signals(&stops);
  install_handler(sig, on_job_stop, SA_RESTART, stops);
  errno = saved;
}

// A stop that could not be caught (SIGSTOP) ends in SIGCONT: after a second or more stopped the
// run ends like a stop key (the guardian may have given the isolation back meanwhile). The
// watchdog's looks tell how long: it looks every 50 ms, and whichever of it and this handler runs
// first after the stop sees the gap.
void on_continue(int) {
  g_run.continued.fetch_add(1);
  // Before the watchdog's first look nothing tells how long the stop lasted: the run goes on, and
  // the pause shows in its figures as a hidden stall.
  const long tick = g_run.watchdog_tick_ms.load();
  if (tick == 0 || (now_ms() - tick < SUSPEND_MIN_MS && !g_run.watchdog_gap.load())) return;
  g_run.suspended.store(1);
  g_run.stop_requested.store(1);
}

}  // namespace

long cpu_limit_soft(double deadline, double launch_time, int ncpu) {
  const long c = static_cast<long>((deadline - launch_time) * ncpu);
  return c + 2;
}

double full_run_budget(int subtests, double seconds) { return 300.0 + 2.0 * subtests * seconds * 1.3 + 20.0; }

void fatal_signals(sigset_t* set) {
  sigemptyset(set);
  for (int sig : kFatalSignals) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(set, sig);
}

void job_stop_signals(sigset_t* set) {
  sigemptyset(set);
  for (const int sig : kJobStopSignals) sigaddset(set, sig);
}

void install_stop_signal() {
  install_stop_handler(SIGUSR1);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

void refuse_unsafe_rt() {
  if (g_config.quiesce != QUIESCE_RT) return;
  if (g_tombstone_found) {
    std::fprintf(stderr,
                 "tallyfox: tombstone %s present (previous run did not exit cleanly) — refusing "
                 "--quiesce=rt for this run\n",
                 TOMBSTONE_PATH);
    g_config.quiesce = QUIESCE_NONE;
  } else if (g_machine.rt_runtime_us == -1) {
    std::fprintf(stderr,
                 "tallyfox: sched_rt_runtime_us=-1 (RT throttling disabled) — refusing L1, falling back "
                 "to SCHED_OTHER\n");
    g_config.quiesce = QUIESCE_NONE;
  }
}

bool kept_ignored(int sig) {
  for (const int s : kKeptIgnored)
    if (s == sig) return true;
  return false;
}

int install_seatbelts() {
  make_path(g_tombstone, sizeof g_tombstone, "%s", TOMBSTONE_PATH);
  // The handlers come first: a signal between the tombstone's creation and them would leave it.
  // A hangup or interrupt that was ignored when the run started (nohup, a background job) stays
  // ignored; every other way out still restores the machine.
  sigset_t fatal;
  fatal_signals(&fatal);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&fatal, sig) != 1) continue;
    struct sigaction old {};
    if (kept_ignored(sig) && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    install_handler(sig, on_fatal_signal, 0, fatal);
  }
  install_stop_signal();
  sigset_t none, stops;
  sigemptyset(&none);
  job_stop_signals(&stops);
  for (const int sig : kJobStopSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    install_handler(sig, on_job_stop, SA_RESTART, stops);
  }
  install_handler(SIGCONT, on_continue, SA_RESTART, none);
  if (tombstone_held_by_live_run()) return SEATBELTS_BUSY;
  g_tombstone_found = access(g_tombstone, F_OK) == 0;
  refuse_unsafe_rt();
  // A fatal signal between the file's creation and its descriptor being kept would leave it.
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &fatal, &old);
  const int made = create_tombstone();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (made == 1) return SEATBELTS_BUSY;
  guardian_set_tombstone(g_tombstone_fd, g_tombstone);
  // Nobody else is measuring: a rest cpuset still there was left by a run that could not give it
  // back (it was killed together with its guardian).
  char repaired[256];
  if (repair_leftover_rest(repaired, sizeof repaired) != 0) std::fprintf(stderr, "tallyfox: %s\n", repaired);
  atexit(cleanup_once);
  return SEATBELTS_OK;
}

int repair_after_run(char* msg, std::size_t msg_size, int max_wait_ms) {
  msg[0] = '\0';
  if (g_tombstone[0] == '\0') make_path(g_tombstone, sizeof g_tombstone, "%s", TOMBSTONE_PATH);
  // The repair holds the tombstone's lock, as a start does, so a run starting meanwhile never
  // loses its own rest cpuset to it. A guardian still restoring holds the lock: it finishes
  // first. A tombstone that was there stays (it marks the killed run); one made here goes.
  for (int waited = 0;; waited += 10) {
    bool made = false;
    int fd = open(g_tombstone, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = open(g_tombstone, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
      made = fd >= 0;
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      const int repaired = repair_leftover_rest(msg, msg_size);
      if (made) unlink(g_tombstone);
      close(fd);
      return repaired;
    }
    if (made) unlink(g_tombstone);
    if (fd >= 0) close(fd);
    if (waited >= max_wait_ms) return 0;
    sleep_ms(10);
  }
}

void arm_deadline(double x) {
  g_run.deadline = x;
  install_stop_handler(SIGALRM);
  const double left = x - now_seconds();
  timer_t timer;
  sigevent sev{};
  sev.sigev_notify = SIGEV_SIGNAL;
  sev.sigev_signo = SIGALRM;
  if (timer_create(CLOCK_MONOTONIC, &sev, &timer) == 0) {
    itimerspec its{};
    if (left < 0.01) {
      its.it_value.tv_nsec = 10000000;
    } else {
      its.it_value.tv_sec = static_cast<time_t>(left);
      its.it_value.tv_nsec = static_cast<long>((left - static_cast<double>(its.it_value.tv_sec)) * 1e9);
    }
    timer_settime(timer, 0, &its, nullptr);
  }
  alarm(static_cast<unsigned>(left > 0 ? static_cast<long>(left) : 0) + 2);
  const long soft = cpu_limit_soft(x, g_run.launch_time, g_machine.ncpu);
  rlimit rl{};
  rl.rlim_cur = static_cast<rlim_t>(soft);
  rl.rlim_max = static_cast<rlim_t>(soft + 2);
  setrlimit(RLIMIT_CPU, &rl);
}

void* watchdog_thread(void*) {
  // Process-directed signals go to the main thread, whose handlers run the cleanup there.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  sched_param sp{};
  sp.sched_priority = 20;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
  long gap_seen_ms = 0;
  for (;;) {
    const double now = now_seconds();
    // A gap between looks is a stop (or a starved watchdog); it counts for a SIGCONT that comes
    // with it, not for one a minute later.
    const long tick = now_ms();
    const long last = g_run.watchdog_tick_ms.load();
    if (last > 0 && tick - last >= SUSPEND_MIN_MS) {
      g_run.watchdog_gap.store(1);
      gap_seen_ms = tick;
    } else if (gap_seen_ms > 0 && tick - gap_seen_ms >= SUSPEND_MIN_MS) {
      g_run.watchdog_gap.store(0);
      gap_seen_ms = 0;
    }
    g_run.watchdog_tick_ms.store(tick);
    const double deadline = g_run.deadline;
    // A reader that stopped reading holds nothing of the machine for long: the run gives it back
    // and ends as if stopped once the reader takes the output again.
    const long writing = g_run.output_wait_ms.load(std::memory_order_relaxed);
    if (writing > 0 && now * 1000.0 - static_cast<double>(writing) > OUTPUT_STALL_SECONDS * 1000.0 &&
        g_run.machine_held.load() != 0 && g_release_started.load() == 0) {
      sched_param other{};
      sched_setscheduler(getpid(), SCHED_OTHER, &other);  // the main thread, waiting in the write
      release_exactly_once(CLEANUP_RELEASE_WAIT_MS);
      g_run.output_released.store(1);
      g_run.stop_requested.store(1, std::memory_order_relaxed);
    }
    if (deadline > 0) {
      if (now >= deadline) g_run.stop_requested.store(1, std::memory_order_relaxed);
      if (now >= deadline + 0.5) {
        // Bounded: a main thread stuck in its own cleanup cannot keep the process alive.
        cleanup_exactly_once(2000);
        _exit(1);
      }
    } else if (g_run.stop_requested.load(std::memory_order_relaxed)) {
      return nullptr;
    }
    sleep_ms(50);
  }
}

void start_watchdog() {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, watchdog_thread, nullptr) == 0) pthread_detach(thread);
}

void cleanup_run() {
  g_run.cleanup_done.store(1);
  sched_param sp{};
  sp.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &sp);
  release_exactly_once(CLEANUP_RELEASE_WAIT_MS);
  if (g_run.dash_terminal.load()) dash_terminal_leave(CLEANUP_WRITE_MS);
  // Only a tombstone this run made and holds: another run's, or a crash's mark, stays. A release
  // still under way on another thread when this cleanup must end leaves it too: the machine may
  // not be whole, and the mark says so.
  if (g_release_finished.load()) remove_own_tombstone();
  g_cleanup_finished.store(1);
}

void cleanup_once() {
  // The fatal signals wait while this thread restores the machine.
  sigset_t fatal, old;
  fatal_signals(&fatal);
  pthread_sigmask(SIG_BLOCK, &fatal, &old);
  cleanup_exactly_once(-1);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void release_machine() {
  // The fatal signals wait until the release is whole: a handler on this thread would otherwise
  // find it started and leave it half done.
  sigset_t fatal, old;
  fatal_signals(&fatal);
  pthread_sigmask(SIG_BLOCK, &fatal, &old);
  sched_param sp{};
  sp.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &sp);
  release_exactly_once(-1);
  // The machine is whole again: the tombstone's mark and lock go now, so a reader that stalls on
  // the report, or a kill while it is written, leaves no false mark and refuses no other run.
  remove_own_tombstone();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void on_fatal_signal(int sig) {
  const int saved = errno;
  cleanup_exactly_once(-1);
  signal(sig, SIG_DFL);
  errno = saved;
  raise(sig);
}

void on_stop_signal(int) { g_run.stop_requested.store(1, std::memory_order_relaxed); }
