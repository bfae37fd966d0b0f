#!/usr/bin/env python3
"""Stops one thread of a process (not the others) for a while, as a hang of that thread would.
Usage: freeze_thread.py TID SECONDS. The thread runs on when this program ends."""
import ctypes
import sys
import time

PTRACE_SEIZE = 0x4206
PTRACE_INTERRUPT = 0x4207

libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
tid, seconds = int(sys.argv[1]), float(sys.argv[2])
if libc.ptrace(PTRACE_SEIZE, tid, None, None) != 0 or libc.ptrace(PTRACE_INTERRUPT, tid, None, None) != 0:
    sys.exit(f"freeze_thread: cannot stop {tid}: errno {ctypes.get_errno()}")
time.sleep(seconds)
