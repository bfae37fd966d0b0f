"""Runs a command whose standard output is a pipe of one page, and reads that pipe slowly.

usage: slow_reader.py OUT -- COMMAND [ARGS...]

Nothing is read until the pipe is nearly full (or holds the same bytes for 1 s, as a write
longer than the pipe can leave it with less), then 128 bytes every 50 ms, so the writer spends
most of its time blocked in write, where any signal it catches lands. Everything read goes to
OUT; the exit status is the command's (128 + N for signal N).
"""
import array
import fcntl
import os
import subprocess
import sys
import termios
import time

F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
PIPE_BYTES = 4096
CHUNK = 128      # bytes per read
PAUSE = 0.05     # seconds between reads: about 2.5 KiB/s


def unread(fd):
    n = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, n)
    return n[0]


out_path, cmd = sys.argv[1], sys.argv[3:]
r, w = os.pipe()
fcntl.fcntl(w, F_SETPIPE_SZ, PIPE_BYTES)
proc = subprocess.Popen(cmd, stdout=w)
os.close(w)
held, since = -1, time.monotonic()
while proc.poll() is None:
    n = unread(r)
    if n != held:
        held, since = n, time.monotonic()
    if n >= PIPE_BYTES - 512 or (n > 0 and time.monotonic() - since >= 1):
        break
    time.sleep(0.01)
with open(out_path, "wb") as out:
    while True:
        chunk = os.read(r, CHUNK)
        if not chunk:
            break
        out.write(chunk)
        time.sleep(PAUSE)
status = proc.wait()
sys.exit(128 - status if status < 0 else status)
