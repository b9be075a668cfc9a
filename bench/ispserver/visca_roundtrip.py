#!/usr/bin/python3
"""Round trips of the ISP server's VISCA camera channel, as the client tool makes them.

Each round trip is one request through the channel's semaphore protocol, from taking the channel
to releasing it after the reply is read (tools/visca_client). Two series: inquiries that need no
lens (09 04 39, the AE mode, answered from the camera state) on a fixed-lens board, and zoom
inquiries (09 04 47) on a zoom-lens board, answered by the lens-MCU emulator on its pseudo-terminal.
Printed: round trips per second, p50, p99 and max of one round trip.

    bench/ispserver/visca_roundtrip.py [--build DIR] [--inquiries N] [--zoom N]

Needs the build's kavo_ispserver_gen2 (and for the zoom series the lens-MCU emulator).
"""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TREE, "tests", "ispserver"))
sys.path.insert(0, os.path.join(TREE, "tools", "visca_client"))
import ispserver_harness  # noqa: E402
from kavo_visca_client import ViscaChannel  # noqa: E402


def series(channel, packet, count):
    packet = bytes.fromhex(packet)
    channel.exchange(packet)  # first use out of the figures
    us = []
    start = time.perf_counter()
    for _ in range(count):
        t0 = time.perf_counter()
        reply = channel.exchange(packet)
        us.append((time.perf_counter() - t0) * 1e6)
        if reply[0] == 0:
            sys.exit("no reply to %s" % packet.hex())
    total = time.perf_counter() - start
    us.sort()
    return "%d round trips: %.0f per second, p50 %.1f us, p99 %.1f us, max %.1f us" % (
        count, count / total, us[len(us) // 2], us[int(len(us) * 0.99) - 1], us[-1])


def run(board, packet, count, mcu=None):
    root = ispserver_harness.IspRoot(board=board)
    emulator = None
    try:
        if mcu:
            root.write("/etc/kavo_sim/lens_mcu.json", json.dumps({"lens": 0, "zoom": 300}))
            emulator = subprocess.Popen([mcu, "--root", root.dir], stdout=subprocess.PIPE, text=True)
            if not emulator.stdout.readline().startswith("ready "):
                sys.exit("the lens-MCU emulator did not start")
        root.dsp_up()
        s = root.start(level=4)
        root.wait_ready(s)
        channel = ViscaChannel(root.dir, timeout=10.0)
        try:
            return series(channel, packet, count)
        finally:
            channel.close()
            if s.stop() != 0:
                sys.exit("the server did not stop with 0")
    finally:
        if emulator:
            emulator.terminate()
            emulator.wait()
        root.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(TREE, "build"))
    ap.add_argument("--inquiries", type=int, default=10000)
    ap.add_argument("--zoom", type=int, default=1000)
    args = ap.parse_args()
    ispserver_harness.PROGRAM = os.path.abspath(os.path.join(args.build, "bin", "kavo_ispserver_gen2"))
    ispserver_harness.SETTINGS = os.path.join(TREE, "kavo_ispserver_gen2", "kavo_ispserver.json")
    ispserver_harness.ETC = os.path.join(TREE, "kavo_ispserver_gen2", "etc", "ispserver")
    camera = os.path.join(args.build, "bin", "kavo_sim_camera")
    if os.path.exists(camera):
        ispserver_harness.SIM_CAMERA = camera
    print("AE mode inquiry, no lens: " + run("ORL Fennel", "81 09 04 39 FF", args.inquiries))
    mcu = os.path.join(args.build, "bin", "kavo_sim_lens_mcu")
    if args.zoom and os.path.exists(mcu):
        print("zoom inquiry, lens-MCU emulator: " + run("ORL Quillon", "81 09 04 47 FF", args.zoom, mcu))


if __name__ == "__main__":
    main()
