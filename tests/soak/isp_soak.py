#!/usr/bin/env python3
"""Soak and fault campaign of the ISP server beside the streamer on the simulated camera (Python 3
standard library; ffmpeg judges the video).

    isp_soak.py --seconds 75                  # run, then judge; exit 0 when every check holds
    isp_soak.py --seconds 3600 --keep         # the long run; the root is kept
    isp_soak.py --judge ROOT                  # judge an earlier run again
    isp_soak.py --seconds 60 --valgrind       # the ISP server under memcheck (timing not judged)

A zoom-lens board ("ORL Brisk") with the lens-MCU emulator, the real streamer (one stream to an FLV
file) and the real ISP server, on the real clock. Meanwhile (isp_soak_peers.py): a client changes
settings one request at a time (valid, out of range, malformed), resets, reloads and
re-initialises, the analytics stand-in answers, refuses, is late, is silent or is gone; a flood of
requests that change nothing (and malformed frames on connections of their own) keeps the other
connections busy; a VISCA client sends commands and inquiries, valid and malformed, among them the
long blocking ones, and now and then another client is killed while it holds the channel; a forger
answers announcements it never received; the lens-MCU emulator and the simulated DSP get a new fault file every few
seconds (statistics reads failing or stalled); the scene's light changes every few seconds. RSS,
descriptors, threads and CPU of both programs are sampled every second. At the end the faults stop,
the light holds, and the run waits for exposure and white balance to settle, then SIGTERM.

Judged (isp_soak_judge.py): both programs alive to the end and exit 0 on SIGTERM, no sanitizer
report; every IPC request that expects an answer got one in time (1 s; a change waiting for
analytics: 1 s after analytics answered, else 10 s after it was noted plus 1.5 s; requests held by
"ResetAllIspSettings": 1 s after its answer); "ReInitIsp" never answered; no change applied by a
forged response; every VISCA request within its command's bound, also after a killed holder, whose
channel the server frees once; RSS, descriptors and threads flat over the last half; the FLV decodes in
ffmpeg; exposure and white balance settle after the last fault.

Environment: KAVO_ISPSERVER, KAVO_STREAMER, KAVO_SIM_CAMERA, KAVO_SIM_LENS_MCU, KAVO_ISPSERVER_SETTINGS,
KAVO_ISPSERVER_ETC, KAVO_PYLIB; defaults are taken from the build folder "build".
"""
import argparse
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.abspath(os.path.join(HERE, "..", ".."))
BUILD_BIN = os.path.join(TREE, "build", "bin")
for name, default in (("KAVO_ISPSERVER", "kavo_ispserver_gen2"), ("KAVO_STREAMER", "kavo_streamer_gen2"),
                      ("KAVO_SIM_CAMERA", "kavo_sim_camera"), ("KAVO_SIM_LENS_MCU", "kavo_sim_lens_mcu")):
    os.environ.setdefault(name, os.path.join(BUILD_BIN, default))
os.environ.setdefault("KAVO_ISPSERVER_SETTINGS", os.path.join(TREE, "kavo_ispserver_gen2", "kavo_ispserver.json"))
os.environ.setdefault("KAVO_ISPSERVER_ETC", os.path.join(TREE, "kavo_ispserver_gen2", "etc", "ispserver"))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TREE, "tests", "ispserver"))
sys.path.insert(0, os.path.join(TREE, "tests", "streamer"))
sys.path.insert(0, os.path.join(TREE, "tools", "visca_client"))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(TREE, "tests", "pylib")))
from ispserver_harness import IspRoot  # noqa: E402
from isp_soak_judge import judge  # noqa: E402
from isp_soak_peers import (FREED, AnalyticsActor, CameraSampler, Controller, Flood, Forger, LensFaults,  # noqa: E402
                            LogWatch, Sampler, Scene, StatFaults, ViscaActor, camera_show)
from soak import Program, run_and_judge  # noqa: E402
from soak_peers import Stop, mono  # noqa: E402
from streamer_harness import FIRMWARE_VERSION, stream  # noqa: E402

BOARD = "ORL Brisk"
DAYLIGHT = {"lux": 2000, "kelvin": 5000, "distance": 5, "ir": 0}


def prepare(root, seconds):
    root.write("/proc/uptime", "1000.50 250.25\n")
    root.write("/proc/sys/kernel/hostname", "camera-sim\n")
    root.write("/lib/version", FIRMWARE_VERSION)
    root.sim({"clock": "realtime", "journal": True, "journalFrames": True})
    root.config({"audio": {"enabled": False},
                 "video": {"video1": stream(320, 180, 30, ["file:///tmp/video1.flv"], bitRateVbrMax=400000,
                                            bitRateCbrAvg=400000)}})
    root.write("/etc/kavo_sim/lens_mcu.json", json.dumps({"lens": 0, "zoom": 100}))
    root.write("/etc/kavo_sim/scene.json", json.dumps(DAYLIGHT))


def wait_ready(root, server, timeout):
    try:
        root.wait_ready(type("S", (), {"proc": server.proc, "log": lambda self: tail(server.log_path)})(),
                        timeout=timeout)
        return True
    except AssertionError as e:
        print(e)
        return False


def tail(path, n=20):
    try:
        with open(path, errors="replace") as f:
            return f.read().splitlines()[-n:]
    except OSError:
        return []


def run(args):
    rng = random.Random(args.seed)
    root = IspRoot(board=BOARD)
    soak = root.path("/soak")
    os.makedirs(soak)
    print("root:", root.dir, flush=True)
    prepare(root, args.seconds)
    env = {"KAVO_LOG_LEVEL": "6"}
    asan = os.environ.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "detect_leaks=1"
    camera = os.environ["KAVO_SIM_CAMERA"]

    mcu_log = open(os.path.join(soak, "lens_mcu.log"), "wb")
    mcu = subprocess.Popen([os.environ["KAVO_SIM_LENS_MCU"], "--root", root.dir], stdout=subprocess.PIPE,
                           stderr=mcu_log, text=True)
    ready = mcu.stdout.readline()
    if not ready.startswith("ready"):
        print("the lens-MCU emulator did not start:", ready)
        return 1
    streamer = Program([os.environ["KAVO_STREAMER"]], root, env, soak)
    if not streamer.wait_log("A/V encoding started", timeout=60):
        print("the streamer did not start; see", streamer.log_path)
        streamer.kill()
        return 1
    prefix = []
    if args.valgrind:
        prefix = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                  "--errors-for-leak-kinds=definite,indirect", "--num-callers=30", "--fullpath-after=",
                  "--log-file=" + os.path.join(soak, "valgrind.%p.log")]
    server = Program(prefix + [os.environ["KAVO_ISPSERVER"]], root, env, soak, name="ispserver")
    if not wait_ready(root, server, timeout=300 if args.valgrind else 60):
        server.kill()
        streamer.stop(30)
        return 1
    started = mono()

    stop = Stop()
    # Set when the faults end: the actors that disturb the camera stop, the settings client among
    # them (a mode it sets starts the exposure over), while analytics and the flood still answer it.
    quiet = Stop()
    record = {"events": []}
    watch = LogWatch(stop, server.log_path, [Controller.DONE, "ISP Server re-init...", FREED])
    watch.start()
    analytics = AnalyticsActor(stop, root, random.Random(rng.random()))
    controller = Controller(quiet, root, random.Random(rng.random()), watch)
    flood = Flood(stop, root, random.Random(rng.random()), args.rate)
    visca = ViscaActor(quiet, root, random.Random(rng.random()), long_every=args.long_every)
    lens_faults = LensFaults(quiet, root, random.Random(rng.random()))
    stat_faults = StatFaults(quiet, root, random.Random(rng.random()))
    scene = Scene(quiet, root, camera, random.Random(rng.random()))
    # Drawn after the others, so that a seed gives those the choices it gave them before.
    visca.holder_rng = random.Random(rng.random())
    forger = Forger(stop, root, random.Random(rng.random()), analytics)
    sampler = Sampler(stop, {"ispserver": server.pid, "streamer": streamer.pid})
    cam = CameraSampler(stop, root, camera)
    actors = [analytics, controller, flood, visca, lens_faults, stat_faults, scene, sampler, cam, forger]
    for t in actors:
        t.start()
    deadline = time.monotonic() + args.seconds
    # The settling: after the faults, the light holds for 30 s (a switch back to day takes ten
    # readings of the light, a second apart, and the exposure follows it).
    settle_for = 30.0
    crashed = {}
    while time.monotonic() < deadline - settle_for and not crashed:
        for name, p in (("ispserver", server), ("streamer", streamer)):
            if p.proc.poll() is not None:
                crashed[name] = p.proc.returncode
        time.sleep(0.2)
    # The end of the faults: the light holds, the lens and the DSP behave, requests go on.
    quiet.event.set()
    for t in (controller, visca, lens_faults, stat_faults, scene):
        t.join(120)
    faults_end = mono()
    subprocess.run([camera, "--root", root.dir, "scene", json.dumps(DAYLIGHT)], capture_output=True)
    deadline = time.monotonic() + settle_for
    while time.monotonic() < deadline and not crashed:
        for name, p in (("ispserver", server), ("streamer", streamer)):
            if p.proc.poll() is not None:
                crashed[name] = p.proc.returncode
        time.sleep(0.2)
    stop.event.set()
    for t in actors + [watch]:
        t.join(60)
    final = camera_show(camera, root.dir)
    statuses = {}
    for name, p in (("ispserver", server), ("streamer", streamer)):
        statuses[name] = crashed.get(name, p.stop(timeout=300 if args.valgrind else 60))
    mcu.terminate()
    try:
        statuses["lens_mcu"] = mcu.wait(10)
    except subprocess.TimeoutExpired:
        mcu.kill()
        statuses["lens_mcu"] = "killed"
    mcu_log.close()
    record.update({
        "seconds": args.seconds, "seed": args.seed, "valgrind": bool(args.valgrind), "board": BOARD,
        "started": started, "faults_end": faults_end, "ended": mono(), "statuses": statuses,
        "crashed": crashed, "pids": {"ispserver": server.pid, "streamer": streamer.pid},
        "programs": {"ispserver": os.environ["KAVO_ISPSERVER"], "streamer": os.environ["KAVO_STREAMER"]},
        "samples": sampler.samples, "camera": cam.samples, "camera_last": final,
        "ipc": controller.record() + flood.record(), "flood": flood.summary(), "controller": controller.summary(),
        "reset_all": controller.reset_all_windows, "reinits": controller.reinits, "reinit_log": watch.seen,
        "analytics": analytics.record(), "forged": forger.record(), "visca": visca.record(),
        "holders": visca.holders, "freed_log": watch.seen[FREED], "lens_faults": lens_faults.log,
        "stat_faults": stat_faults.log, "scene": scene.log,
    })
    with open(os.path.join(soak, "run.json"), "w") as f:
        json.dump(record, f)
    print("run finished: %s" % statuses, flush=True)
    return root


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=75)
    ap.add_argument("--rate", type=float, default=20, help="flood requests a second")
    ap.add_argument("--long-every", type=float, default=0,
                    help="seconds between the VISCA correction checks (tens of seconds each; 0: none)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--valgrind", action="store_true", help="the ISP server under memcheck")
    ap.add_argument("--keep", action="store_true", help="keep the root")
    ap.add_argument("--judge", metavar="ROOT", help="judge an earlier run's root")
    return run_and_judge(ap.parse_args(), run, judge, IspRoot, lambda root: root.remove_objects())


if __name__ == "__main__":
    sys.exit(main())
