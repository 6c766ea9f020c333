#!/usr/bin/env python3
"""Runs a command and writes its own peak resident set size in KiB to descriptor 3.

The figure is the command's VmHWM, read from its /proc entry while it is alive, and not the
maximum that wait4 reports: that one also counts every child (a bash of about 3.6 MiB) and the
runner's own pages copied into each child before it execs. The command's standard output and error
go into a pipe of one page that this script drains: a runner writing its report or its dry run
blocks on the full pipe with all its records still held, and the size is read before every drain,
so that the last reading comes after the peak. Exits 0 when the command succeeded, 1 otherwise.

usage: fanrun_peak.py COMMAND [ARGUMENT]... 3>RESULT
"""
import fcntl
import os
import select
import sys

F_SETPIPE_SZ = 1031


def high_water(pid):
    """The process's VmHWM in KiB, or 0 once it has ended."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


read_end, write_end = os.pipe()
fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
# Closed by the exec: until then the child is a copy of this interpreter, whose pages are no part
# of the command's peak.
exec_seen, exec_done = os.pipe2(os.O_CLOEXEC)
pid = os.fork()
if pid == 0:
    os.close(exec_seen)
    os.dup2(write_end, 1)
    os.dup2(write_end, 2)
    os.close(read_end)
    os.close(write_end)
    try:
        os.execvp(sys.argv[1], sys.argv[1:])
    except OSError as error:
        os.write(2, f"{sys.argv[1]}: {error.strerror}\n".encode())
    os._exit(127)
os.close(write_end)
os.close(exec_done)
os.read(exec_seen, 1)
os.close(exec_seen)
peak = 0
tail = b""
while True:
    ready, _, _ = select.select([read_end], [], [], 0.01)
    peak = max(peak, high_water(pid))
    if ready:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        tail = (tail + chunk)[-4096:]
_, status = os.waitpid(pid, 0)
if status != 0:
    sys.stderr.write(tail.decode(errors="replace"))
os.write(3, f"{peak}\n".encode())
sys.exit(0 if status == 0 else 1)
