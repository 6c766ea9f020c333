#!/usr/bin/env python3
"""Runs a command and writes "wall cpu own" in milliseconds to descriptor 3.

wall is the wall-clock time, cpu the processor time (user + system) of the command with all its
children, own that of the command's process alone, read from its /proc entry while it is a zombie,
before it is reaped. Exits 0 when the command succeeded, 1 otherwise.

usage: fanrun_measure.py COMMAND [ARGUMENT]... 3>RESULT
"""
import os
import sys
import time

start = time.monotonic()
pid = os.fork()
if pid == 0:
    try:
        os.execvp(sys.argv[1], sys.argv[1:])
    except OSError as error:
        os.write(2, f"{sys.argv[1]}: {error.strerror}\n".encode())
    os._exit(127)
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
with open(f"/proc/{pid}/stat") as stat:
    fields = stat.read().rsplit(")", 1)[1].split()
own = (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")
_, status, usage = os.wait4(pid, 0)
wall = (time.monotonic() - start) * 1000
cpu = (usage.ru_utime + usage.ru_stime) * 1000
os.write(3, f"{wall:.0f} {cpu:.0f} {own:.0f}\n".encode())
sys.exit(0 if status == 0 else 1)
