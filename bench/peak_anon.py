#!/usr/bin/env python3
"""Runs a command and prints its peak anonymous memory (RssAnon: heap, stacks, slabs; not mapped files),
sampled every 5 ms.

    peak_anon.py COMMAND [ARG...]
"""
import subprocess
import sys
import time

p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
peak = 0
while p.poll() is None:
    try:
        with open("/proc/%d/status" % p.pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.005)
print("%.0f MB" % (peak / 1024))
sys.exit(p.returncode)
