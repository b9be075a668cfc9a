#!/usr/bin/python3
"""Round trip of an ISP settings change and the ISP server's idle CPU.

Round trip: a client sends "ChangeIspSettings" with a brightness that alternates between two
values, so every request is a real change; the server announces it to an analytics stand-in,
which answers 0 at once from a thread of its own; the time is taken from the client's send to its
answer. Idle: after the changes the server is left alone and its CPU time (all threads, from
/proc/<pid>/task/*/schedstat) is taken over the given span.

    bench/ispserver/change_roundtrip.py [--build DIR] [--changes N] [--idle S]

Needs the build's kavo_ispserver_gen2. The peers are those of tests/ispserver/isp_peers.py.
"""
import argparse
import glob
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TREE, "tests", "ispserver"))
import ispserver_harness  # noqa: E402
from isp_peers import Analytics, Client  # noqa: E402


def cpu_ns(pid):
    """CPU time of every thread of `pid` so far, in nanoseconds."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return total


def answer_everything(analytics, stop):
    while not stop.is_set():
        note = analytics.announcement(timeout=0.1)
        if note is not None:
            analytics.answer(note, 0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(TREE, "build"))
    ap.add_argument("--changes", type=int, default=1000)
    ap.add_argument("--idle", type=float, default=60.0, help="seconds of idle CPU measurement")
    args = ap.parse_args()
    ispserver_harness.PROGRAM = os.path.abspath(os.path.join(args.build, "bin", "kavo_ispserver_gen2"))
    ispserver_harness.SETTINGS = os.path.join(TREE, "kavo_ispserver_gen2", "kavo_ispserver.json")

    root = ispserver_harness.IspRoot()
    stop = threading.Event()
    try:
        s = root.start(level=4)  # the change logs of level 6 stay out of the figures
        root.wait_ready(s)
        analytics = Analytics(root.dir)
        helper = threading.Thread(target=answer_everything, args=(analytics, stop), daemon=True)
        helper.start()
        client = Client(root.dir)
        client.call("ChangeIspSettings")  # connections made
        ms = []
        for i in range(args.changes):
            t0 = time.perf_counter()
            answer = client.call("ChangeIspSettings", {"brightness": 40 if i % 2 else 60})
            ms.append((time.perf_counter() - t0) * 1000)
            if answer is None or answer["statusCode"] != 0:
                sys.exit("change %d: answer %r" % (i, answer))
        ms.sort()
        print("change round trip over %d changes: p50 %.3f ms  p99 %.3f ms  max %.3f ms  mean %.3f ms" % (
            len(ms), statistics.median(ms), ms[int(len(ms) * 0.99) - 1], ms[-1], statistics.mean(ms)))

        stop.set()
        helper.join()
        time.sleep(1)
        c0, t0 = cpu_ns(s.pid), time.monotonic()
        time.sleep(args.idle)
        c1, t1 = cpu_ns(s.pid), time.monotonic()
        print("idle CPU over %.0f s: %.3f %% of a core (%.1f ms of CPU)" % (
            t1 - t0, (c1 - c0) / 1e7 / (t1 - t0), (c1 - c0) / 1e6))
        client.close()
        analytics.close()
        if s.stop() != 0:
            sys.exit("the server did not stop with 0")
    finally:
        stop.set()
        root.cleanup()


if __name__ == "__main__":
    main()
