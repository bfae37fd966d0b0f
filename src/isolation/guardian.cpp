#include "isolation/guardian.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "isolation/cpuset.h"
#include "run/control.h"

namespace {

constexpr int kLookMs = 100;          // how often the guardian looks at the run
constexpr int kReapWaitMs = 500;      // a done guardian is collected within this
constexpr char kDone = 'D';

int g_tombstone_fd = -1;
char g_tombstone_path[320];
std::atomic<int> g_socket{-1};  // the run's end
std::atomic<int> g_pid{0};

double monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The program's arguments, when the kernel laid them out one after another (as it does for
// main's argv): the guardian writes its own name over them, so `pidof tallyfox` and a look at
// `ps` tell it from the run.
char* g_args = nullptr;
std::size_t g_args_len = 0;

// "/proc/PID/stat" without stdio.
void stat_path(char* out, pid_t pid) {
  const char head[] = "/proc/", tail[] = "/stat";
  char digits[16];
  int k = 0;
  unsigned v = static_cast<unsigned>(pid);
  do {
    digits[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && k < 15);
  std::size_t n = 0;
  for (const char c : head)
    if (c) out[n++] = c;
  while (k > 0) out[n++] = digits[--k];
  for (const char c : tail) out[n++] = c;  // with its NUL
}

// Closes every descriptor but the two kept.
void close_all_but(int a, int b) {
  if (a > b) {
    const int t = a;
    a = b;
    b = t;
  }
  const unsigned lo = static_cast<unsigned>(a), hi = static_cast<unsigned>(b);
  bool done = true;
  if (lo > 0) done = syscall(SYS_close_range, 0u, lo - 1, 0u) == 0 && done;
  if (hi > lo + 1) done = syscall(SYS_close_range, lo + 1, hi - 1, 0u) == 0 && done;
  if (hi != lo) done = syscall(SYS_close_range, hi + 1, ~0u, 0u) == 0 && done;
  if (done) return;
  rlimit rl{};
  const long limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 1048576 ? static_cast<long>(rl.rlim_cur) : 1048576;
  for (int fd = 0; fd < limit; ++fd)
    if (fd != a && fd != b) close(fd);
}

// The state letter of /proc/PID/stat: 'T' stopped, 't' stopped by a tracer.
bool stopped(pid_t pid) {
  char path[64], buf[512];
  stat_path(path, pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* close_paren = std::strrchr(buf, ')');
  if (close_paren == nullptr || close_paren[1] != ' ') return false;
  return close_paren[2] == 'T' || close_paren[2] == 't';
}

// The run's tombstone goes only while it is still the file the run made.
void remove_tombstone() {
  if (g_tombstone_fd < 0 || g_tombstone_path[0] == '\0') return;
  struct stat held {}, now {};
  if (fstat(g_tombstone_fd, &held) == 0 && lstat(g_tombstone_path, &now) == 0 && held.st_dev == now.st_dev &&
      held.st_ino == now.st_ino)
    unlink(g_tombstone_path);
}

// The guardian itself: only async-signal-safe calls, since the run that forked it has threads.
[[noreturn]] void guard(int sock, pid_t run, double deadline) {
  // Out of the run's session and process group: the terminal's Ctrl-C, Ctrl-Z and hangup are the
  // run's business, not this process's.
  setsid();
  constexpr char kName[] = "tallyfox-guard";
  prctl(PR_SET_NAME, kName);
  if (g_args != nullptr && g_args_len >= sizeof kName) {
    std::memset(g_args, 0, g_args_len);
    std::memcpy(g_args, kName, sizeof kName);
  }
  sched_param sp{};
  sched_setscheduler(0, SCHED_OTHER, &sp);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
  struct sigaction ign = dfl;
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Nothing of the run's stays open here but the socket and the tombstone: a reader of the run's
  // output must see its end when the run ends.
  close_all_but(sock, g_tombstone_fd >= 0 ? g_tombstone_fd : sock);

  bool restored = false;
  double stopped_since = 0.0;
  for (;;) {
    pollfd p{sock, POLLIN, 0};
    const int ready = poll(&p, 1, kLookMs);
    bool alive = true;
    if (ready > 0) {
      char c = 0;
      const ssize_t n = read(sock, &c, 1);
      if (n == 1 && c == kDone) _exit(0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) alive = false;
    }
    const double now = monotonic();
    const bool is_stopped = alive && stopped(run);
    if (!is_stopped) stopped_since = 0.0;
    else if (stopped_since == 0.0) stopped_since = now;
    const GuardianAction a =
        guardian_decide(alive, is_stopped, is_stopped ? now - stopped_since : 0.0, now, deadline);
    if (a == GUARD_WAIT) continue;
    if (!restored) undo_rest_group();
    restored = true;
    if (a == GUARD_RESTORE_AND_END) {
      remove_tombstone();
      _exit(0);
    }
  }
}

}  // namespace

GuardianAction guardian_decide(bool run_alive, bool run_stopped, double stopped_for, double now, double deadline) {
  if (!run_alive) return GUARD_RESTORE_AND_END;
  if (run_stopped && stopped_for >= GUARDIAN_STOP_GRACE) return GUARD_RESTORE;
  if (deadline > 0 && now >= deadline + GUARDIAN_DEADLINE_GRACE) return GUARD_RESTORE;
  return GUARD_WAIT;
}

void guardian_set_args(int argc, char** argv) {
  g_args = nullptr;
  g_args_len = 0;
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  char* end = argv[0] + std::strlen(argv[0]) + 1;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != end) return;  // not the kernel's layout: left alone
    end = argv[i] + std::strlen(argv[i]) + 1;
  }
  g_args = argv[0];
  g_args_len = static_cast<std::size_t>(end - argv[0]) - 1;
}

void guardian_set_tombstone(int fd, const char* path) {
  g_tombstone_fd = fd;
  std::snprintf(g_tombstone_path, sizeof g_tombstone_path, "%s", path ? path : "");
}

int start_guardian(char* why, std::size_t why_size) {
  if (g_pid.load() > 0) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    std::snprintf(why, why_size, "socketpair: %s", std::strerror(errno));
    return -1;
  }
  const pid_t run = getpid();
  const double deadline = g_run.deadline;
  const pid_t pid = fork();
  if (pid < 0) {
    std::snprintf(why, why_size, "fork: %s", std::strerror(errno));
    close(sv[0]);
    close(sv[1]);
    return -1;
  }
  if (pid == 0) guard(sv[1], run, deadline);
  close(sv[1]);
  g_socket.store(sv[0]);
  g_pid.store(pid);
  return 0;
}

void guardian_done() {
  const int sock = g_socket.exchange(-1);
  const pid_t pid = g_pid.exchange(0);
  if (sock < 0) return;
  send(sock, &kDone, 1, MSG_NOSIGNAL);
  close(sock);
  // Collected at once in the usual case, so no process of the run's is left for its reader.
  const timespec tick = {0, 10000000L};
  for (int waited = 0; pid > 0 && waited < kReapWaitMs; waited += 10) {
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    nanosleep(&tick, nullptr);
  }
}
