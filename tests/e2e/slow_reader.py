"""Runs a command whose standard output is a pipe of one page, and reads that pipe slowly.

usage: slow_reader.py OUT GO -- COMMAND [ARGS...]

Nothing is read until the file GO exists, so the writer fills the pipe and then waits in write,
where any signal it catches lands. From then on 128 bytes are read every 50 ms, slower than a run
writes, so it keeps waiting there often. Everything read goes to OUT; the exit status is the
command's (128 + N for signal N).
"""
import fcntl
import os
import subprocess
import sys
import time

F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
CHUNK = 128      # bytes per read
PAUSE = 0.05     # seconds between reads: about 2.5 KiB/s

out_path, go_path, cmd = sys.argv[1], sys.argv[2], sys.argv[4:]
r, w = os.pipe()
fcntl.fcntl(w, F_SETPIPE_SZ, 4096)
proc = subprocess.Popen(cmd, stdout=w)
os.close(w)
while not os.path.exists(go_path) and proc.poll() is None:
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
