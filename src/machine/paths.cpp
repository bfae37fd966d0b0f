#include "machine/paths.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
char g_root[256];
}

void set_path_root(const char* root) {
  std::snprintf(g_root, sizeof g_root, "%s", root ? root : "");
}

const char* path_root() { return g_root; }

int make_path(char* buf, std::size_t size, const char* fmt, ...) {
  if (size == 0) return -1;
  int n = std::snprintf(buf, size, "%s", g_root);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    buf[0] = '\0';
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  int m = std::vsnprintf(buf + n, size - static_cast<std::size_t>(n), fmt, ap);
  va_end(ap);
  if (m < 0 || static_cast<std::size_t>(n + m) >= size) return -1;
  return n + m;
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

long parse_long(const char* text) {
  if (!text) return 0;
  errno = 0;
  return std::strtol(text, nullptr, 10);
}
