#pragma once
// Writes on the way out of a run: a reader that has stopped reading (a full pipe, a terminal held
// with Ctrl-S) must never keep the cleanup, and with it the process, from ending.
#include <cstddef>

// Writes n bytes to fd, retrying interrupted and partial writes, for at most max_wait_ms
// milliseconds of waiting for the reader; max_wait_ms < 0 waits as long as it takes. With a bound
// the open file is switched to non-blocking for the call and switched back before it returns.
// Returns the number of bytes written. Async-signal-safe.
std::size_t write_bounded(int fd, const char* bytes, std::size_t n, int max_wait_ms);
