#include "isolation/cpuset.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "isolation/guardian.h"
#include "isolation/host_safety.h"
#include "machine/paths.h"
#include "machine/topology.h"
#include "run/config.h"

namespace {

constexpr const char* kRestName = "tallyfox_rest";

// Formed before anything is moved; the cleanup reads them from signal handlers.
char g_rest_path[320];
char g_root_tasks[320];
char g_rest_tasks[340];
char g_rest_cpus[340];
char g_rest_mems[340];
int g_moved[MAX_MOVED_PIDS];
int g_moved_count;

// Writes "<id>\n" with one write; async-signal-safe (no stdio).
bool write_id(int fd, int id) {
  char buf[16];
  int n = 0;
  char digits[12];
  int k = 0;
  unsigned v = id < 0 ? 0u : static_cast<unsigned>(id);
  do {
    digits[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && k < 11);
  while (k > 0) buf[n++] = digits[--k];
  buf[n++] = '\n';
  return write(fd, buf, static_cast<size_t>(n)) > 0;
}

// Moves every task listed in from_tasks into to_tasks, one write per id. Returns how many ids
// were written, -1 when either file cannot be opened. Async-signal-safe.
int move_listed_tasks(const char* from_tasks, const char* to_tasks) {
  const int in = open(from_tasks, O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  const int out = open(to_tasks, O_WRONLY | O_CLOEXEC);
  if (out < 0) {
    close(in);
    return -1;
  }
  int moved = 0;
  char buf[4096];
  long id = 0;
  bool digits = false;
  for (;;) {
    const ssize_t n = read(in, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c >= '0' && c <= '9') {
        if (id < 100000000) id = id * 10 + (c - '0');
        digits = true;
      } else {
        if (digits && c == '\n' && write_id(out, static_cast<int>(id))) ++moved;
        id = 0;
        digits = false;
      }
    }
  }
  if (digits && write_id(out, static_cast<int>(id))) ++moved;
  close(out);
  close(in);
  return moved;
}

// The rest cpuset's paths, formed from its directory.
struct RestPaths {
  char dir[320];
  char root_tasks[320];
  char tasks[340];
  char cpus[340];
  char mems[340];
};

bool form_rest_paths(RestPaths& p) {
  if (make_path(p.root_tasks, sizeof p.root_tasks, "%s/tasks", CPUSET_ROOT) < 0) return false;
  if (make_path(p.dir, sizeof p.dir, "%s/%s", CPUSET_ROOT, kRestName) < 0) return false;
  std::snprintf(p.tasks, sizeof p.tasks, "%s/tasks", p.dir);
  std::snprintf(p.cpus, sizeof p.cpus, "%s/cpuset.cpus", p.dir);
  std::snprintf(p.mems, sizeof p.mems, "%s/cpuset.mems", p.dir);
  return true;
}

// Every task still in the rest cpuset goes back to the root, then the directory goes. The kernel
// refuses to unlink a cpuset's control files (harmless); a plain-directory copy of the hierarchy
// needs them gone before rmdir. Returns the ids written back (-1: none could be read) and sets
// `removed`. Async-signal-safe.
int undo_rest(const char* dir, const char* rest_tasks, const char* root_tasks, const char* cpus,
              const char* mems, bool* removed) {
  const int moved = move_listed_tasks(rest_tasks, root_tasks);
  unlink(rest_tasks);
  unlink(cpus);
  unlink(mems);
  const bool gone = rmdir(dir) == 0 || errno == ENOENT;
  if (removed) *removed = gone;
  return moved;
}

// Fails with a fixed reason; after the directory exists, undoes what was done so far.
int fail(char* msg, std::size_t size, bool release, const char* reason) {
  std::snprintf(msg, size, "%s", reason);
  if (release) release_isolation();
  return -1;
}

bool in_list(const int* list, int n, int cpu) {
  for (int i = 0; i < n; ++i)
    if (list[i] == cpu) return true;
  return false;
}

// The control files of a cpuset always exist; O_CREAT only matters for a plain-directory copy
// of the hierarchy (the test trees), where it stands in for the kernel creating them.
bool write_text(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const ssize_t n = write(fd, text, std::strlen(text));
  close(fd);
  return n >= 0;
}

// The first child cpuset of the root, if any; the rest cpuset of an earlier run does not count.
bool find_nested(char* found, std::size_t size) {
  char root[320];
  if (make_path(root, sizeof root, "%s", CPUSET_ROOT) < 0) return false;
  DIR* d = opendir(root);
  if (!d) return false;
  bool nested = false;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || std::strcmp(e->d_name, kRestName) == 0) continue;
    char p[640];
    struct stat st {};
    std::snprintf(p, sizeof p, "%s/%s/cpuset.cpus", root, e->d_name);
    if (stat(p, &st) == 0) {
      std::snprintf(found, size, "%s", e->d_name);
      nested = true;
      break;
    }
  }
  closedir(d);
  return nested;
}

}  // namespace

bool isolation_active() { return g_rest_path[0] != '\0'; }

int isolate_rest(const int* bench, int n, char* msg, std::size_t msg_size) {
  char path[320];
  struct stat st {};
  if (make_path(path, sizeof path, "%s/cpuset.cpus", CPUSET_ROOT) < 0 || stat(path, &st) != 0)
    return fail(msg, msg_size, false, "no cgroup-v1 cpuset at /sys/fs/cgroup/cpuset");
  char nested[256];
  if (find_nested(nested, sizeof nested)) {
    std::snprintf(msg, msg_size, "cpuset hierarchy is not flat (found '%s')", nested);
    return -1;
  }
  if (!g_config.accept_risk) {
    if (const char* reason = check_host_safety()) {
      std::snprintf(msg, msg_size, "%s (use --i-accept-the-risk to override)", reason);
      return -1;
    }
  }

  char rest_list[256] = "";
  std::size_t len = 0;
  for (int i = 0; i < g_machine.ncpu; ++i) {
    const int cpu = g_machine.cpu_ids[i];
    if (in_list(bench, n, cpu)) continue;
    char item[16];
    const int w = std::snprintf(item, sizeof item, "%s%d", len ? "," : "", cpu);
    if (w < 0 || len + static_cast<std::size_t>(w) > 255) continue;
    std::memcpy(rest_list + len, item, static_cast<std::size_t>(w) + 1);
    len += static_cast<std::size_t>(w);
  }
  if (g_machine.ncpu < 1 || len == 0)
    return fail(msg, msg_size, false, "every cpu is a bench cpu — nowhere to move anything");

  char root_tasks[320];
  make_path(root_tasks, sizeof root_tasks, "%s/tasks", CPUSET_ROOT);
  make_path(g_rest_path, sizeof g_rest_path, "%s/%s", CPUSET_ROOT, kRestName);
  std::snprintf(g_rest_tasks, sizeof g_rest_tasks, "%s/tasks", g_rest_path);
  std::snprintf(g_rest_cpus, sizeof g_rest_cpus, "%s/cpuset.cpus", g_rest_path);
  std::snprintf(g_rest_mems, sizeof g_rest_mems, "%s/cpuset.mems", g_rest_path);
  if (mkdir(g_rest_path, 0755) != 0) {
    if (errno != EEXIST) {
      const int saved = errno;
      std::snprintf(msg, msg_size, "mkdir %s: %s", g_rest_path, std::strerror(saved));
      g_rest_path[0] = '\0';
      return -1;
    }
    // A crashed run left its rest cpuset behind: give its tasks their CPUs back first.
    move_listed_tasks(g_rest_tasks, root_tasks);
  }

  char mems[256] = "";
  make_path(path, sizeof path, "%s/cpuset.mems", CPUSET_ROOT);
  read_small_file(path, mems, sizeof mems);

  if (!write_text(g_rest_cpus, rest_list)) return fail(msg, msg_size, true, "cannot set cpuset.cpus (need root)");
  write_text(g_rest_mems, mems[0] ? mems : "0");

  std::snprintf(g_root_tasks, sizeof g_root_tasks, "%s", root_tasks);
  // Before the first task moves: a process of its own that gives the tasks back should this one
  // die, stay stopped or overrun its deadline.
  char why[128];
  if (start_guardian(why, sizeof why) != 0) {
    std::snprintf(msg, msg_size, "cannot start the guardian process: %s", why);
    release_isolation();
    return -1;
  }
  FILE* list = std::fopen(g_root_tasks, "r");
  if (!list) return fail(msg, msg_size, true, "cannot read the root cpuset task list");
  const int out = open(g_rest_tasks, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) {
    std::fclose(list);
    return fail(msg, msg_size, true, "cannot open our tasks file");
  }
  const long self = static_cast<long>(getpid());
  char line[32];
  while (g_moved_count < MAX_MOVED_PIDS && std::fgets(line, sizeof line, list)) {
    const long id = std::strtol(line, nullptr, 10);
    if (id < 2 || id == self) continue;
    // Kernel threads cannot be moved; their failed writes are skipped silently.
    if (write(out, line, std::strlen(line)) > 0) g_moved[g_moved_count++] = static_cast<int>(id);
  }
  close(out);
  std::fclose(list);
  return 0;
}

int undo_rest_group() {
  if (g_rest_path[0] == '\0' || g_root_tasks[0] == '\0') return -1;
  bool removed = false;
  const int moved = undo_rest(g_rest_path, g_rest_tasks, g_root_tasks, g_rest_cpus, g_rest_mems, &removed);
  return removed ? (moved < 0 ? 0 : moved) : -1;
}

int repair_leftover_rest(char* msg, std::size_t msg_size) {
  msg[0] = '\0';
  RestPaths p{};
  struct stat st {};
  if (!form_rest_paths(p) || stat(p.dir, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  bool removed = false;
  const int moved = undo_rest(p.dir, p.tasks, p.root_tasks, p.cpus, p.mems, &removed);
  const int n = moved < 0 ? 0 : moved;
  if (removed)
    std::snprintf(msg, msg_size,
                  "cpuset %s of a run that is no longer running was left behind: moved its %d task%s back and "
                  "removed it",
                  kRestName, n, n == 1 ? "" : "s");
  else
    std::snprintf(msg, msg_size,
                  "cpuset %s of a run that is no longer running was left behind: moved %d task%s back but cannot "
                  "remove it (%s)",
                  kRestName, n, n == 1 ? "" : "s", std::strerror(errno));
  return removed ? 1 : -1;
}

void release_isolation() {
  if (g_root_tasks[0] != '\0' && g_moved_count > 0) {
    const int fd = open(g_root_tasks, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      for (int i = 0; i < g_moved_count; ++i) write_id(fd, g_moved[i]);
      close(fd);
    }
  }
  g_moved_count = 0;
  // Anything still in the rest cpuset (children forked by moved tasks) goes back too, so the
  // directory can go and no task stays confined.
  if (g_rest_path[0] != '\0') undo_rest(g_rest_path, g_rest_tasks, g_root_tasks, g_rest_cpus, g_rest_mems, nullptr);
  guardian_done();
  g_rest_path[0] = '\0';
}
