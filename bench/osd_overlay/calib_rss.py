#!/usr/bin/python3
"""Runs kavo_osd_overlay in calibration mode for a long time on numpy-drawn frames (the DSP
stand-in of tests/osd_overlay preloaded into it) and follows its resident size.

    /usr/bin/python3 bench/osd_overlay/calib_rss.py [--seconds 600] [--build build]

The frames change every 100 buffer queries (about 2 s): discs of other sizes and places, one frame
without any, and every 7th picture with padded rows. Prints the resident size every 30 s and a
summary: the size after the first 30 s, the largest, the last, and the frames written.
"""
import argparse
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "osd_overlay"))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    a = ap.parse_args()
    os.environ.setdefault("KAVO_OSD_OVERLAY", os.path.join(a.build, "bin", "kavo_osd_overlay"))
    os.environ.setdefault("KAVO_OSD_FAKE_DSP", os.path.join(a.build, "lib", "libkavo_osd_fake_dsp.so"))
    import osd_harness as h

    rng = random.Random(7)
    root = h.Root()
    pictures = []
    for i in range(24):
        discs = [] if i == 5 else [(rng.uniform(90, 550) // 1 + 0.5, rng.uniform(90, 280) // 1 + 0.5,
                                    rng.randint(30, 80)) for _ in range(rng.randint(1, 3))]
        frame = h.disc_frame(discs)
        pictures.append(root.picture(frame, pitch=704 if i % 7 == 0 else 640))
    # Two buffers a pass, about 17 passes a second: enough steps for the whole run, the last for ever.
    steps = []
    for k in range(a.seconds // 2 + 10):
        p = pictures[k % len(pictures)]
        steps.append({"queries": 100, "pictures": {"0": p, "1": p}})
    root.script(steps)

    program = h.Program(root, ["--mode=calib"])
    debug = root.path("/tmp/debug.pgm")
    samples = []
    writes, last_mtime = 0, None
    start = time.monotonic()
    next_print = 0
    try:
        while time.monotonic() - start < a.seconds:
            if program.proc.poll() is not None:
                print("program ended early: %s\n%s" % (program.proc.returncode, program.log()[-2000:]))
                return 1
            now = time.monotonic() - start
            samples.append((now, rss_kib(program.proc.pid)))
            try:
                m = os.stat(debug).st_mtime_ns
                if m != last_mtime:
                    writes += 1
                    last_mtime = m
            except FileNotFoundError:
                pass
            if now >= next_print:
                print("%6.0f s  RSS %6d KiB" % (now, samples[-1][1]), flush=True)
                next_print += 30
            time.sleep(0.01)
    finally:
        rc = program.stop()
        root.close()
    settled = [r for t, r in samples if t >= 30] or [samples[-1][1]]
    print("exit %d after SIGTERM; RSS after 30 s %d KiB, largest %d KiB, last %d KiB; "
          "debug.pgm rewritten at least %d times (seen at 100 Hz polling)"
          % (rc, settled[0], max(settled), settled[-1], writes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
