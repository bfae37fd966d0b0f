#include "machine/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
char g_root[PATH_ROOT_MAX];
}

void set_path_root(const char* root) {
  std::snprintf(g_root, sizeof g_root, "%s", root ? root : "");
}

const char* path_root() { return g_root; }

int make_path_v(char* buf, std::size_t size, const char* fmt, va_list ap) {
  if (size == 0) return -1;
  int n = std::snprintf(buf, size, "%s", g_root);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    buf[0] = '\0';
    return -1;
  }
  int m = std::vsnprintf(buf + n, size - static_cast<std::size_t>(n), fmt, ap);
  if (m < 0 || static_cast<std::size_t>(n + m) >= size) return -1;
  return n + m;
}

int make_path(char* buf, std::size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = make_path_v(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

long read_small_file(const char* path, char* buf, std::size_t size) {
  if (size == 0) return -1;
  buf[0] = '\0';
  // O_NONBLOCK: a FIFO planted in place of a pseudo-file must not hang the reader.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  ssize_t n;
  do {
    n = ::read(fd, buf, size - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n < 0) return -1;
  buf[n] = '\0';
  while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\n')) buf[--n] = '\0';
  return static_cast<long>(n);
}

long read_pseudo_file(char* buf, std::size_t size, const char* fmt, ...) {
  if (size > 0) buf[0] = '\0';
  char path[ROOTED_PATH_MAX];
  va_list ap;
  va_start(ap, fmt);
  int n = make_path_v(path, sizeof path, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  return read_small_file(path, buf, size);
}

long read_pseudo_long(long fallback, const char* fmt, ...) {
  char path[ROOTED_PATH_MAX];
  va_list ap;
  va_start(ap, fmt);
  int n = make_path_v(path, sizeof path, fmt, ap);
  va_end(ap);
  if (n < 0) return fallback;
  char buf[64];
  if (read_small_file(path, buf, sizeof buf) < 0) return fallback;
  return parse_long(buf);
}

long parse_long(const char* text) {
  if (!text) return 0;
  errno = 0;
  return std::strtol(text, nullptr, 10);
}
