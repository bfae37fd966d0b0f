#include "dashboard/peers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine/paths.h"

PeerResult g_peers[MAX_PEERS];
int g_peer_count;

bool parse_peer_line(const char* line, PeerResult* out) {
  const char* tab = std::strchr(line, '\t');
  if (tab == nullptr) return false;
  char number[PEER_LINE_BYTES];
  const std::size_t n = static_cast<std::size_t>(tab - line);
  if (n >= sizeof number) return false;
  std::memcpy(number, line, n);
  number[n] = '\0';
  const double value = std::strtod(number, nullptr);
  if (!(value > 0.0) || !std::isfinite(value)) return false;
  const char* label = tab + 1;
  std::size_t len = std::strcspn(label, "\r\n");
  if (len == 0) return false;
  if (len > PEER_NAME_BYTES - 1) len = PEER_NAME_BYTES - 1;
  out->value = value;
  std::memcpy(out->name, label, len);
  out->name[len] = '\0';
  return true;
}

void load_peer_results() {
  g_peer_count = 0;
  char path[ROOTED_PATH_MAX];
  if (make_path(path, sizeof path, "%s", PEER_FILE) < 0) return;
  // Non-blocking, and regular files only: a FIFO or a device at the path must not hang the run.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  std::FILE* f = fdopen(fd, "r");
  if (f == nullptr) {
    close(fd);
    return;
  }
  char line[PEER_LINE_BYTES];
  while (g_peer_count < MAX_PEERS && std::fgets(line, sizeof line, f) != nullptr) {
    PeerResult row;
    if (parse_peer_line(line, &row)) g_peers[g_peer_count++] = row;
  }
  std::fclose(f);
}
