#!/usr/bin/env python3
"""Measures linesim's achieved line rate and its CPU use over one direction.

Usage: measure-rate.py [--bytes N] [--linesim PATH] -- <linesim options, e.g. --baud 115200>
Sends N random bytes from A to B, checks they arrive unchanged, and prints the achieved
character rate against the nominal one and the CPU time linesim used.
"""
import argparse
import os
import select
import subprocess
import sys
import time


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime + stime
    return ticks / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bytes", type=int, default=1_000_000)
    parser.add_argument("--linesim", default="build/tools/linesim/linesim")
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    extra = [a for a in args.rest if a != "--"]

    sim = subprocess.Popen([args.linesim, "--quiet"] + extra, stdout=subprocess.PIPE)
    path_a = sim.stdout.readline().split()[1]
    path_b = sim.stdout.readline().split()[1]
    fa = os.open(path_a, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    fb = os.open(path_b, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    data = os.urandom(args.bytes)
    got = bytearray()
    sent = 0
    cpu0 = cpu_seconds(sim.pid)
    t0 = time.monotonic()
    last = t0
    while len(got) < len(data):
        r, w, _ = select.select([fb], [fa] if sent < len(data) else [], [], 5.0)
        if not r and not w:
            sys.exit(f"stalled after {len(got)} bytes")
        if w:
            sent += os.write(fa, data[sent:sent + 4096])
        if r:
            got += os.read(fb, 65536)
            last = time.monotonic()
    cpu = cpu_seconds(sim.pid) - cpu0
    sim.terminate()
    sim.wait()
    elapsed = last - t0
    ok = bytes(got) == data
    baud = int(extra[extra.index("--baud") + 1]) if "--baud" in extra else 0
    framing = extra[extra.index("--framing") + 1] if "--framing" in extra else "8N1"
    bits = 1 + int(framing[0]) + (0 if framing[1].upper() == "N" else 1) + int(framing[2])
    rate = len(data) / elapsed
    line = f"bytes {len(data)} intact {ok} elapsed {elapsed:.3f} s rate {rate:.1f} char/s"
    if baud:
        nominal = baud / bits
        line += f" nominal {nominal:.1f} char/s ratio {rate / nominal:.5f}"
    line += f" linesim-cpu {cpu:.2f} s ({100 * cpu / elapsed:.2f}% of one core)"
    print(line)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
