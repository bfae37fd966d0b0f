#include "dashboard/supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "dashboard/bounded_write.h"
#include "dashboard/grid.h"
#include "dashboard/outbuf.h"
#include "dashboard/screen.h"
#include "run/config.h"
#include "run/control.h"
#include "run/seatbelts.h"
#include "run/summary.h"
#include "subtests/registry.h"

namespace {

constexpr char ENTER_SCREEN[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr char LEAVE_SCREEN[] = "\x1b[0m\x1b[?25h\x1b[?1049l";
static_assert(sizeof ENTER_SCREEN - 1 == 18 && sizeof LEAVE_SCREEN - 1 == 18);

constexpr std::size_t PATH_BYTES = 4096;
constexpr std::size_t READ_CHUNK = 8192;
constexpr long WAIT_USEC = 100000;
constexpr double STOP_GRACE_SECONDS = 15.0;
constexpr int KEY_ESC = 27;
constexpr std::size_t SUMMARY_BYTES = 8192;

char g_self_path[PATH_BYTES];
LineAssembler g_lines;

// What the termination handlers need to give the terminal back and end the child.
volatile sig_atomic_t g_child_pid;
volatile sig_atomic_t g_screen_on;
volatile sig_atomic_t g_raw_keys;
termios g_saved_termios;

constexpr int LEAVE_WAIT_MS = 200;        // longest wait for a stalled terminal from a signal handler
constexpr int CHILD_CLEANUP_WAIT_MS = 3000;  // for the child's cleanup before the supervisor ends

void write_all(const char* p, std::size_t n) { write_bounded(STDOUT_FILENO, p, n, -1); }

// Async-signal-safe.
void leave_terminal(int max_wait_ms) {
  if (g_screen_on) write_bounded(STDOUT_FILENO, LEAVE_SCREEN, sizeof LEAVE_SCREEN - 1, max_wait_ms);
  if (g_raw_keys) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  g_screen_on = 0;
  g_raw_keys = 0;
}

// Every fatal signal: the terminal back, SIGTERM to the child and a bounded wait for the child's
// cleanup, so the machine is restored when the shell gets its prompt back; then this signal.
void on_termination_signal(int sig) {
  const int saved_errno = errno;
  leave_terminal(LEAVE_WAIT_MS);
  const pid_t child = static_cast<pid_t>(g_child_pid);
  if (child > 0) {
    kill(child, SIGTERM);
    const timespec tick = {0, 10000000L};
    for (int waited = 0; waited < CHILD_CLEANUP_WAIT_MS && waitpid(child, nullptr, WNOHANG) == 0; waited += 10)
      nanosleep(&tick, nullptr);
  }
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns
  errno = saved_errno;
}

volatile sig_atomic_t g_resumed;  // the supervisor went on after a stop: the screen comes back

// Ctrl-Z, or the terminal from the background: the terminal goes back to the shell and the child
// gives the machine back and stops too; going on, the child ends its run like a stop key and the
// screen comes back.
void on_job_stop(int sig) {
  const int saved_errno = errno;
  leave_terminal(LEAVE_WAIT_MS);
  const pid_t child = static_cast<pid_t>(g_child_pid);
  if (child > 0) kill(child, SIGTSTP);
  signal(sig, SIG_DFL);
  raise(sig);
  // SIGCONT waits in this handler: one already pending came while the terminal was given back
  // (the shell's fg can be that quick), and nothing would continue a stop after it, so the stop
  // is dropped. One that comes from here on discards the pending stop itself.
  sigset_t pending;
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 1) {
    signal(sig, SIG_IGN);  // discards the pending stop
  } else {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);  // stops here
  }
  if (child > 0) kill(child, SIGCONT);
  struct sigaction again = {};
  again.sa_handler = on_job_stop;
  job_stop_signals(&again.sa_mask);
  sigaddset(&again.sa_mask, SIGCONT);
  again.sa_flags = SA_RESTART;
  sigaction(sig, &again, nullptr);
  g_resumed = 1;
  errno = saved_errno;
}

// Dispositions before the supervisor took the signals, given back when it returns.
struct SavedSignals {
  struct sigaction action[NSIG];
  sigset_t taken;
};

// Every signal that would end the supervisor, SIGALRM among them (the child's stop signal is no
// business of the parent's), gives the terminal back first. A hangup or quit that was ignored when
// the supervisor started (nohup) stays ignored.
void install_signals(SavedSignals& saved) {
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGINT, &ign, &saved.action[SIGINT]);
  struct sigaction act = {};
  act.sa_handler = on_termination_signal;
  fatal_signals(&act.sa_mask);
  sigaddset(&act.sa_mask, SIGALRM);
  saved.taken = act.sa_mask;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGINT || sigismember(&saved.taken, sig) != 1) continue;
    struct sigaction old {};
    if ((sig == SIGHUP || sig == SIGQUIT) && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      saved.action[sig] = old;
      continue;
    }
    sigaction(sig, &act, &saved.action[sig]);
  }
  // The terminal is given back from the background when the shell took it first: with the stop
  // signals held, that never stops the handler half-way.
  struct sigaction stop = {};
  stop.sa_handler = on_job_stop;
  job_stop_signals(&stop.sa_mask);
  const sigset_t stops = stop.sa_mask;
  sigaddset(&stop.sa_mask, SIGCONT);
  stop.sa_flags = SA_RESTART;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&stops, sig) != 1) continue;
    sigaddset(&saved.taken, sig);
    sigaction(sig, &stop, &saved.action[sig]);
  }
}

// This process group has the terminal (or there is no terminal to have).
bool in_foreground() {
  const pid_t owner = tcgetpgrp(STDIN_FILENO);
  return owner < 0 || owner == getpgrp();
}

// Raw keys and the alternate screen, hidden cursor; the handlers are in place first, so a signal
// always finds one to give them back.
void enter_terminal() {
  if (tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) {
    termios raw = g_saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) g_raw_keys = 1;
  }
  g_screen_on = 1;
  write_all(ENTER_SCREEN, sizeof ENTER_SCREEN - 1);
}

void restore_signals(const SavedSignals& saved) {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sigismember(&saved.taken, sig) == 1) sigaction(sig, &saved.action[sig], nullptr);
}

// Runs in the forked child; never returns.
[[noreturn]] void exec_child(pid_t supervisor, int pipe_fds[2], char** child_argv) {
  // Ends with the supervisor, whichever way the supervisor goes.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != supervisor) _exit(127);
  dup2(pipe_fds[1], STDOUT_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  if (pipe_fds[0] > STDERR_FILENO) close(pipe_fds[0]);
  if (pipe_fds[1] > STDERR_FILENO) close(pipe_fds[1]);
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0 && null_fd != STDIN_FILENO) {
    dup2(null_fd, STDIN_FILENO);
    close(null_fd);
  }
  setenv("TFX_DASH_CHILD", "1", 1);
  execv(child_argv[0], child_argv);
  _exit(127);
}

pid_t wait_child(pid_t pid, int* status) {
  pid_t r;
  do {
    r = waitpid(pid, status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

struct Session {
  pid_t child;
  int pipe_fd;
  double stop_time;
  bool quit;
};

// Reads everything the pipe holds; at its end collects the child.
void drain_pipe(Session& s, DashModel& m) {
  char buf[READ_CHUNK];
  ssize_t n;
  while ((n = ::read(s.pipe_fd, buf, sizeof buf)) > 0)
    line_feed(g_lines, m, buf, static_cast<std::size_t>(n), now_seconds());
  if (n != 0) return;
  int status = 0;
  const bool collected = wait_child(s.child, &status) == s.child;
  m.child_exit = collected ? child_exit_code(status) : 128;
  m.child_done = true;
  g_child_pid = 0;
  // A child that died by a signal may have left the machine isolated (killed with its guardian):
  // the same repair as a start, said among the child's messages.
  if (collected && WIFSIGNALED(status)) {
    char msg[256];
    if (repair_after_run(msg, sizeof msg, CHILD_CLEANUP_WAIT_MS) != 0) dash_handle_line(m, msg, now_seconds());
  }
  if (m.end_time == 0) m.end_time = now_seconds();
  close(s.pipe_fd);
  s.pipe_fd = -1;
}

bool stdin_ready() {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(STDIN_FILENO, &set);
  timeval zero = {0, 0};
  return select(STDIN_FILENO + 1, &set, nullptr, nullptr, &zero) > 0;
}

// Single bytes while the terminal has them; a terminal left in line mode never blocks here.
void read_keys(Session& s, DashModel& m) {
  unsigned char c;
  while (!s.quit && stdin_ready() && ::read(STDIN_FILENO, &c, 1) == 1) {
    switch (supervisor_key_action(m, c)) {
      case KEY_STOP:
        kill(s.child, SIGUSR1);
        m.stop_sent = true;
        s.stop_time = now_seconds();
        break;
      case KEY_TERMINATE_AND_LEAVE:
        kill(s.child, SIGTERM);
        s.quit = true;
        break;
      case KEY_LEAVE:
        s.quit = true;
        break;
      case KEY_THEME:
        g_dash_theme ^= 1;
        break;
      case KEY_NONE:
        break;
    }
  }
}

void run_loop(Session& s, DashModel& m) {
  while (!s.quit) {
    fd_set set;
    FD_ZERO(&set);
    if (!m.child_done) FD_SET(s.pipe_fd, &set);
    FD_SET(STDIN_FILENO, &set);
    timeval tv = {0, WAIT_USEC};
    const int nfds = (s.pipe_fd > STDIN_FILENO ? s.pipe_fd : STDIN_FILENO) + 1;
    const int ready = select(nfds, &set, nullptr, nullptr, &tv);
    if (ready > 0 && !m.child_done && FD_ISSET(s.pipe_fd, &set)) drain_pipe(s, m);
    if (ready > 0 && FD_ISSET(STDIN_FILENO, &set)) read_keys(s, m);
    const double now = now_seconds();
    if (m.stop_sent && !m.child_done && now - s.stop_time > STOP_GRACE_SECONDS) kill(s.child, SIGTERM);
    // A stop waits for the frame being written: half of it would land on the shell's screen.
    sigset_t stops, old;
    job_stop_signals(&stops);
    sigprocmask(SIG_BLOCK, &stops, &old);
    // Back from a stop: the screen first, then the frame; continued in the background (bg), the
    // terminal is the shell's until the job is brought to the foreground again.
    if (g_resumed && in_foreground()) {
      g_resumed = 0;
      enter_terminal();
    }
    if (!g_resumed) draw_dashboard_screen(static_cast<int>(static_cast<long long>(now * 3) % 2));
    sigprocmask(SIG_SETMASK, &old, nullptr);
  }
}

struct Appender {
  char* out;
  std::size_t cap;
  std::size_t len;

  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (len + 1 >= cap) return;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(out + len, cap - len, fmt, ap);
    va_end(ap);
    if (n > 0) len += static_cast<std::size_t>(n) < cap - len ? static_cast<std::size_t>(n) : cap - len - 1;
  }
};

}  // namespace

int build_child_argv(const char* path, int argc, char** argv, char** out) {
  int n = 0;
  out[n++] = const_cast<char*>(path);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ui") == 0 || std::strcmp(argv[i], "--ui2") == 0 || std::strcmp(argv[i], "--json") == 0)
      continue;
    out[n++] = argv[i];
  }
  out[n++] = const_cast<char*>("--json");
  out[n] = nullptr;
  return n;
}

KeyAction supervisor_key_action(const DashModel& m, int byte) {
  if (byte == 't' || byte == 'T') return KEY_THEME;
  if (byte != 'q' && byte != 'Q' && byte != KEY_ESC) return KEY_NONE;
  if (m.child_done) return KEY_LEAVE;
  return m.stop_sent ? KEY_TERMINATE_AND_LEAVE : KEY_STOP;
}

int child_exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128; }

std::size_t format_supervisor_summary(const DashModel& m, char* out, std::size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  Appender a = {out, cap, 0};
  // The child's diagnostics, oldest first, each once: they start with the program's name
  // already, which is added only where it is missing.
  for (int i = 0; i < m.message_count && i < DASH_MAX_MESSAGES; ++i) {
    char msg[DASH_MESSAGE_BYTES];
    copy_printable(msg, sizeof msg, m.messages[i]);
    const bool named = std::strncmp(msg, "tallyfox: ", 10) == 0;
    a.add("%s%s\n", named ? "" : "tallyfox: ", msg);
  }
  if (m.result_received) {
    char mode[sizeof m.mode], verdict[sizeof m.verdict], why[sizeof m.verdict_why];
    copy_printable(mode, sizeof mode, m.mode);
    copy_printable(verdict, sizeof verdict, m.verdict);
    copy_printable(why, sizeof why, m.verdict_why);
    a.add("tallyfox %s: verdict %s — %s\n", mode, verdict, why);
    char mt[16];
    figure_or_dash(mt, sizeof mt, m.index_mt);
    if (m.index_st > 0 || m.index_mt > 0)
      a.add("  TFX index ST %.0f · MT %s over %d round%s\n", m.index_st, mt, m.result_rounds,
            m.result_rounds == 1 ? "" : "s");
    if (m.all_core_note[0] != '\0') {
      char note[sizeof m.all_core_note];
      copy_printable(note, sizeof note, m.all_core_note);
      a.add("  %s\n", note);
    }
    for (int i = 0; i < m.row_count; ++i) {
      const DashSubtestRow& r = m.rows[i];
      char name[sizeof r.name], isa[sizeof r.isa], unit[sizeof r.unit];
      copy_printable(name, sizeof name, r.name);
      copy_printable(isa, sizeof isa, r.isa);
      copy_printable(unit, sizeof unit, r.unit);
      a.add("  %-11s %-8s ST %10.1f %-7s", name, isa, r.st, unit);
      if (r.mt > 0) a.add("  MT %10.1f  scaling %3.0f%%", r.mt, r.scaling * 100);
      a.add("\n");
    }
  }
  return a.len;
}

int run_dashboard_supervisor(int argc, char** argv) {
  const ssize_t plen = readlink("/proc/self/exe", g_self_path, sizeof g_self_path - 1);
  if (plen <= 0) return -1;
  g_self_path[plen] = '\0';

  char** child_argv = static_cast<char**>(std::malloc(sizeof(char*) * (static_cast<std::size_t>(argc) + 2)));
  if (child_argv == nullptr) return -1;
  build_child_argv(g_self_path, argc, argv, child_argv);

  int fds[2];
  if (pipe(fds) != 0) {
    std::free(child_argv);
    return -1;
  }
  const pid_t self = getpid();
  // The child starts with the stop signal blocked: a q pressed before the program in it has
  // installed its handler stays pending there (across exec) instead of killing it.
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old_mask);
  const pid_t child = fork();
  if (child != 0) sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (child < 0) {
    std::free(child_argv);
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (child == 0) exec_child(self, fds, child_argv);

  std::free(child_argv);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  g_child_pid = child;

  DashModel& m = g_dash_model;
  m = DashModel{};
  m.start_time = now_seconds();
  // The child arms the same deadline after its own start-up, so this bound is short of its own by
  // that moment only.
  m.time_limit = g_config.mode == MODE_PROBE ? PROBE_SECONDS : full_run_budget(g_registry_count, g_config.seconds);
  g_lines.len = 0;
  g_dash_theme = g_config.colour256 ? 1 : 0;

  // The handlers first: a signal while the terminal is raw always finds one to give it back.
  static SavedSignals saved;
  install_signals(saved);
  g_resumed = 0;
  enter_terminal();

  Session s = {child, fds[0], 0.0, false};
  run_loop(s, m);

  if (!m.child_done) {
    int ignored;
    wait_child(child, &ignored);
  }
  g_child_pid = 0;
  leave_terminal(-1);
  restore_signals(saved);
  if (s.pipe_fd >= 0) close(s.pipe_fd);

  char summary[SUMMARY_BYTES];
  const std::size_t n = format_supervisor_summary(m, summary, sizeof summary);
  std::fflush(stdout);
  write_all(summary, n);
  return m.child_done ? m.child_exit : 1;
}
