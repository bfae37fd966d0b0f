#!/usr/bin/env python3
"""Runs a command and, AFTER seconds later, stops its main thread (not the others) for SECONDS,
as a hang of that thread would.

Usage: freeze_thread.py AFTER SECONDS COMMAND [ARGS...]

The command runs as this program's child: machines that let a process trace only its own
descendants allow that. The exit status is the command's (128 + N when signal N ended it)."""
import ctypes
import os
import sys
import time

PTRACE_DETACH = 17
PTRACE_SEIZE = 0x4206
PTRACE_INTERRUPT = 0x4207

libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
after, seconds, cmd = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
pid = os.fork()
if pid == 0:
    os.execvp(cmd[0], cmd)
time.sleep(after)
if libc.ptrace(PTRACE_SEIZE, pid, None, None) != 0 or libc.ptrace(PTRACE_INTERRUPT, pid, None, None) != 0:
    print(f"freeze_thread: cannot stop {pid}: errno {ctypes.get_errno()}", file=sys.stderr)
time.sleep(seconds)
libc.ptrace(PTRACE_DETACH, pid, None, None)  # fails harmlessly when the process has ended
while True:
    _, status = os.waitpid(pid, 0)
    if os.WIFSTOPPED(status):  # a stop reported while still traced: let it run on untraced
        libc.ptrace(PTRACE_DETACH, pid, None, None)
        continue
    break
sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))
