#!/usr/bin/python3
"""Time from SIGTERM or SIGINT to the exit of the ISP server, against its 50 ms poll period.

Each run starts the server under a fresh root, waits until it is up, waits a random part of a
poll period, sends the signal and times the exit (the stop sequence and the process teardown
included).

    bench/ispserver/stop_latency.py [--build DIR] [--runs N]

Needs the build's kavo_ispserver_gen2 (cmake --build DIR --target kavo_ispserver_gen2).
"""
import argparse
import os
import random
import signal
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TREE, "tests", "ispserver"))
import ispserver_harness  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(TREE, "build"))
    ap.add_argument("--runs", type=int, default=40)
    args = ap.parse_args()
    ispserver_harness.PROGRAM = os.path.abspath(os.path.join(args.build, "bin", "kavo_ispserver_gen2"))
    ispserver_harness.SETTINGS = os.path.join(TREE, "kavo_ispserver_gen2", "kavo_ispserver.json")

    figures = {signal.SIGTERM: [], signal.SIGINT: []}
    for i in range(args.runs):
        signum = (signal.SIGTERM, signal.SIGINT)[i % 2]
        root = ispserver_harness.IspRoot()
        try:
            s = root.start(level=6)
            root.wait_ready(s)
            time.sleep(random.uniform(0, 0.05))
            t0 = time.monotonic()
            s.proc.send_signal(signum)
            if s.wait() != 0:
                sys.exit("run %d: exit status %d" % (i, s.proc.returncode))
            figures[signum].append((time.monotonic() - t0) * 1000)
        finally:
            root.cleanup()
    for signum, ms in figures.items():
        ms.sort()
        print("%-7s runs %3d  min %5.1f  median %5.1f  p90 %5.1f  max %5.1f ms  (poll period 50 ms)" % (
            signal.Signals(signum).name, len(ms), ms[0], statistics.median(ms), ms[int(len(ms) * 0.9)], ms[-1]))


if __name__ == "__main__":
    main()
