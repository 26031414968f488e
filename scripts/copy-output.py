#!/usr/bin/env python3
"""Copies a program's output files to this process's stdout and stderr while the
program runs, and all that is left once it has ended.
usage: copy-output.py PID STDOUT-FILE STDERR-FILE"""
import os
import sys
import time

pid = int(sys.argv[1])
sources = [(open(sys.argv[2], "rb"), sys.stdout.buffer), (open(sys.argv[3], "rb"), sys.stderr.buffer)]


def copy():
    moved = False
    for source, target in sources:
        while True:
            chunk = source.read(65536)
            if not chunk:
                break
            target.write(chunk)
            target.flush()
            moved = True
    return moved


def running():
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


while running():
    if not copy():
        time.sleep(0.05)
# Everything the program wrote was written before it ended.
copy()
