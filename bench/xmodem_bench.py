#!/usr/bin/env python3
"""XModem-1K and YModem upload benchmark: chanfold-xfer against lrzsz's sx -k / sb -k.

Both senders upload the same 1 MB random file to the same receiver (lrzsz's rx -c or rb)
through linesim, at 57600 and 115200 bit/s:

    efficiency = payload bytes * 10 / bit rate / wall time

where the wall time runs from the sender's start until the receiver has exited with the file
complete (the receiver's end is the same for both senders, and our sender's wait for an ACK
that lrzsz's rx flushes away is not counted). Then the CPU seconds per MB of each sender over an
unthrottled link (linesim --baud 0).

Run on demand, not by CI:
    python3 bench/xmodem_bench.py [--build build] [--size 1048576]
                                  [--protocols xmodem-1k,ymodem] [--bauds 57600,115200]
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def start_line(linesim, baud, workdir):
    paths = os.path.join(workdir, "paths")
    if os.path.exists(paths):
        os.remove(paths)
    proc = subprocess.Popen([linesim, "--quiet", "--baud", str(baud), "--paths-file", paths],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(400):
        if os.path.exists(paths):
            words = open(paths).read().split()
            if len(words) >= 4:
                return proc, words[1], words[3]
        time.sleep(0.01)
    proc.terminate()
    raise RuntimeError("linesim did not start")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_once(args, sender, protocol, baud, data_path, size):
    """Returns (wall seconds until the receiver ended, sender CPU seconds, file ok)."""
    work = tempfile.mkdtemp(prefix="xbench-")
    recv_dir = os.path.join(work, "r")
    os.mkdir(recv_dir)
    line, a, b = start_line(args.linesim, baud, work)
    try:
        tty = open(b, "r+b", buffering=0)
        if protocol == "xmodem-1k":
            receiver_cmd = ["rx", "-c", "f.bin"]
        else:
            receiver_cmd = ["rb"]
        receiver = subprocess.Popen(receiver_cmd, cwd=recv_dir, stdin=tty, stdout=tty,
                                    stderr=subprocess.DEVNULL)
        time.sleep(0.2)
        src_dir = os.path.dirname(data_path)
        if sender == "ours":
            cmd = [args.xfer, "send", "--port", a, "--protocol", protocol, "--dir", src_dir,
                   "--timeout", "1000", "--timeouts", "2", "-q", "--baud", str(baud or 115200),
                   "f.bin"]
            stdio = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL}
        else:
            cmd = ["sx" if protocol == "xmodem-1k" else "sb", "-k", "f.bin"]
            peer_tty = open(a, "r+b", buffering=0)
            stdio = {"stdin": peer_tty, "stdout": peer_tty}
        t0 = time.monotonic()
        snd = subprocess.Popen(cmd, cwd=src_dir, stderr=subprocess.DEVNULL, **stdio)
        receiver.wait(timeout=600)
        wall = time.monotonic() - t0
        cpu_mid = children_cpu()  # the receiver is reaped; the sender's time comes next
        # The sender may linger after the end (lrzsz's sx retries its EOT; ours waits for the
        # ACK that rx flushed): give it a moment, then stop it.
        try:
            snd.wait(timeout=3)
        except subprocess.TimeoutExpired:
            snd.terminate()
            snd.wait()
        cpu = children_cpu() - cpu_mid  # the sender alone
        got = open(os.path.join(recv_dir, "f.bin"), "rb").read()
        want = open(data_path, "rb").read()
        ok = got[: len(want)] == want and set(got[len(want):]) <= {0x1A}
        return wall, cpu, ok
    finally:
        line.terminate()
        line.wait()
        shutil.rmtree(work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build")
    p.add_argument("--size", type=int, default=1 << 20)
    p.add_argument("--protocols", default="xmodem-1k,ymodem")
    p.add_argument("--bauds", default="57600,115200")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    args.xfer = os.path.join(args.build, "tools/chanfold-xfer/chanfold-xfer")
    args.linesim = os.path.join(args.build, "tools/linesim/linesim")
    for tool in (args.xfer, args.linesim):
        if not os.access(tool, os.X_OK):
            sys.exit(f"{tool} is missing: build it first")
    for prog in ("sx", "rx", "sb", "rb"):
        if shutil.which(prog) is None:
            sys.exit("lrzsz is missing: apt-get install lrzsz")

    src = tempfile.mkdtemp(prefix="xbench-src-")
    data_path = os.path.join(src, "f.bin")
    with open(data_path, "wb") as f:
        f.write(os.urandom(args.size))

    print(f"payload {args.size} bytes")
    print(f"{'protocol':10} {'baud':>7} {'sender':6} {'wall s':>8} {'efficiency':>10} {'ok':>3}")
    protocols = args.protocols.split(",")
    for protocol in protocols:
        for baud in [int(b) for b in args.bauds.split(",")]:
            for sender in ("ours", "lrzsz"):
                wall, _, ok = run_once(args, sender, protocol, baud, data_path, args.size)
                eff = args.size * 10 / baud / wall
                print(f"{protocol:10} {baud:7} {sender:6} {wall:8.1f} {eff:10.3f} {str(ok):>3}",
                      flush=True)
    print()
    print("CPU seconds per MB of the sender over an unthrottled link (the receiver is lrzsz)")
    for protocol in protocols:
        for sender in ("ours", "lrzsz"):
            wall, cpu, ok = run_once(args, sender, protocol, 0, data_path, args.size)
            print(f"{protocol:10} {sender:6} wall {wall:6.1f} s  cpu {cpu / (args.size / 1e6):6.2f}"
                  f" s/MB  ok {ok}", flush=True)
    shutil.rmtree(src, ignore_errors=True)


if __name__ == "__main__":
    main()
