#include "dashboard/bounded_write.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

long elapsed_ms(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

}  // namespace

std::size_t write_bounded(int fd, const char* bytes, std::size_t n, int max_wait_ms) {
  const bool bounded = max_wait_ms >= 0;
  const int flags = bounded ? fcntl(fd, F_GETFL) : -1;
  // Without O_NONBLOCK a write after a ready poll could still wait for the whole text (a terminal
  // writes all or sleeps), or behind another thread's write stuck on the same terminal.
  const bool switched = flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  const bool poll_first = bounded && !switched && (flags < 0 || (flags & O_NONBLOCK) == 0);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::size_t done = 0;
  bool wait = poll_first;
  while (done < n) {
    if (wait) {
      const long left = bounded ? max_wait_ms - elapsed_ms(start) : -1;
      if (bounded && left <= 0) break;
      pollfd pfd = {fd, POLLOUT, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) break;
      if (ready == 0) break;
    }
    wait = poll_first;
    const ssize_t w = ::write(fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      wait = true;
    } else if (w == 0 || errno != EINTR) {
      break;
    }
  }
  if (switched) fcntl(fd, F_SETFL, flags);
  return done;
}
