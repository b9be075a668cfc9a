#!/usr/bin/env python3
"""Soak and fault campaign of kavo_streamer_gen2 on the simulated camera (Python 3 standard
library; ffmpeg/ffprobe judge the streams).

    soak.py --seconds 110                 # run, then judge; exit 0 when every check holds
    soak.py --seconds 3600 --keep         # the long run; the root is kept for --judge
    soak.py --judge ROOT                  # judge the outputs of an earlier run again
    soak.py --seconds 60 --valgrind --rate 50   # memcheck run on replayed frames

The streamer runs on the real clock with two H.264 streams, each to an FLV file and a TCP peer
that reads everything; video1 also has an acceptor whose peer reads a tenth of the stream's rate,
video2 (the narrowest) the live-view acceptor, and a third H.264 stream goes to a TCP peer that
comes and goes; MJPEG pictures and AAC audio from the simulated sound card. Meanwhile: live-view
peers ask for the live port, watch for a moment and leave; an IPC flood sends about 200 requests
a second (valid and invalid ones, unknown functions, malformed frames and JSON, oversized
lengths); a client sends the whole "video" section back now and then; clients ask and leave
before the answer, 20 at a time; one connection writes 400 requests at once; simulator faults
are injected at random (corrupt frames, sequence gaps, queue reports, stale descriptors, EAGAIN
bursts, stalls, failing requests, a failing restart, sound overruns).
RSS, descriptors and CPU are sampled every second; the run ends with SIGTERM.

Checks (judge): exit status 0 and no sanitizer report; every request that expects an answer got
the right one within 1 s of the loop's next turn (time the loop spent blocked in the driver, as
the simulator's journal shows it, is not counted), and every request of a burst; the settings
sent back whole leave the files growing from their first byte; RSS and descriptors show no
trend over the last half; every FLV file and TCP capture decodes in ffmpeg without a word; the
picture numbers read back from the frames have gaps only where the journal shows an injected
fault; the stream restarts after every fault. A table of figures ends the report (run.json keeps them).

Environment: KAVO_STREAMER (the program), KAVO_SIM_ALSA (the sound card tool), KAVO_PYLIB
(tests/pylib); defaults are taken from the build folder "build".
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TREE, "tests", "streamer"))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(TREE, "tests", "pylib")))
from kavo_tcp import Capture  # noqa: E402
from soak_judge import LOG_LIMIT, judge  # noqa: E402
from soak_peers import (VALID_RANGE, VIDEO, AvClient, Burst, DropPeer, Faults, Flood, Leavers, LiveViewer,  # noqa: E402
                        Resender, Sampler, SlowReader, Stop, mono)
from streamer_harness import Root  # noqa: E402

VIDEO3 = (480, 272, 600000)  # the stream of the TCP peer that comes and goes
MJPG = (320, 180, 5)
# Under valgrind: no settings changes (on replayed frames each new bitrate codes the loop again).
VALGRIND_MIX = ("get:46,get_noanswer:4,motion:3,change_bad:6,change_junk:6,idr:1,unknown:10,from_ghost:1,"
                "bad_json:5,bad_frame:6,oversized:3,odd_json:3,partial:3")


# ---- the run ------------------------------------------------------------------------------------

class Program:
    """A program (the streamer by default) with its log (standard error) and standard output in
    files: an hour of log stays out of this process's memory."""

    def __init__(self, argv, root, env, folder, name="streamer"):
        self.log_path = os.path.join(folder, name + ".log")
        self.out_path = os.path.join(folder, name + ".out")
        e = dict(os.environ, KAVO_ROOT=root.dir, KAVO_LOG_STDERR="1", KAVO_LOG_LEVEL="6")
        e.update(env)
        with open(self.log_path, "wb") as err, open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(argv, cwd=root.cwd, env=e, stdout=out, stderr=err)
        self.pid = self.proc.pid

    def wait_log(self, fragment, timeout):
        deadline = time.monotonic() + timeout
        with open(self.log_path, "rb") as f:
            buf = b""
            while time.monotonic() < deadline:
                chunk = f.read()
                if chunk:
                    buf = (buf + chunk)[-65536:]
                    if fragment.encode() in buf:
                        return True
                elif self.proc.poll() is not None:
                    return False
                else:
                    time.sleep(0.05)
        return False

    def log_bytes(self):
        try:
            return os.path.getsize(self.log_path)
        except OSError:
            return 0

    def stop(self, timeout):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return "killed after %s s" % timeout

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def build_dir():
    return os.path.join(TREE, "build")


def streams_config(ports, audio):
    def h264(name, dests):
        w, h, rate = VIDEO.get(name, VIDEO3)
        return {"type": "h264", "enabled": True, "width": w, "height": h, "fps": 30,
                "bitRateVbrMin": 200000, "bitRateVbrMax": rate, "bitRateCbrAvg": rate,
                "validBitrateRangeMin": VALID_RANGE[0], "validBitrateRangeMax": VALID_RANGE[1],
                "isCbr": False, "N": 30, "idrInterval": 1,
                "avSerializer": {"type": "flv", "streamName": name, "destinations": dests}}
    tcp = "tcp://127.0.0.1:%d?retryInterval=1&connectTimeout=2"
    return {
        "firmwarePath": "/lib/firmware/",
        "audio": {"type": "aac", "enabled": audio, "channels": 1, "sampleRate": 22050, "bitRate": 48000,
                  "volume": 80},
        "video": {
            "lowDelay": False,
            # Three destinations are a container's most; the narrowest stream keeps room for the
            # live-view acceptor.
            "video1": h264("video1", ["file:///tmp/video1.flv", tcp % ports["cap1"]] +
                           (["tcp://127.0.0.1:%d?acceptor" % ports["slow"]] if ports["slow"] else [])),
            "video2": h264("video2", ["file:///tmp/video2.flv", tcp % ports["cap2"]]),
            "video3": h264("video3", [tcp % ports["drop"]]),
            "mjpg": {"type": "mjpg", "enabled": True, "width": MJPG[0], "height": MJPG[1], "fps": MJPG[2],
                     "avSerializer": {"type": "mjpg", "destinations": ["file:///tmp/snapshot.jpg"]}},
        },
    }


def run(args):
    program = args.program or os.environ.get("KAVO_STREAMER") or os.path.join(build_dir(), "bin",
                                                                               "kavo_streamer_gen2")
    alsa_tool = args.alsa_tool or os.environ.get("KAVO_SIM_ALSA") or os.path.join(
        os.path.dirname(program), "kavo_sim_alsa")
    # The streamer runs in the test root's directory, so relative paths would miss.
    program, alsa_tool = os.path.abspath(program), os.path.abspath(alsa_tool)
    rng = random.Random(args.seed)
    root = Root(prefix="soak.")
    soak = root.path("/soak")
    os.makedirs(os.path.join(soak, "pictures"))
    print("root:", root.dir, flush=True)
    sim = {"clock": "realtime", "journal": True, "journalFrames": True}
    if args.valgrind or args.replay:
        sim.update({"mode": "replay", "replayFrames": 60})
    root.sim(sim)
    env = {}
    out = subprocess.run([alsa_tool, "--root", root.dir, "config", json.dumps({"rates": [22050], "channels": [1]})],
                         capture_output=True, text=True)
    if out.returncode != 0 or "=" not in out.stdout:
        print("sound card configuration failed:", out.stdout, out.stderr)
        return 2
    k, v = out.stdout.strip().split("=", 1)
    env[k] = v

    stop = Stop()
    events = []
    cap1 = Capture(os.path.join(soak, "cap_video1"), stop)
    cap2 = Capture(os.path.join(soak, "cap_video2"), stop)
    slow = SlowReader(stop, os.path.join(soak, "slow_video1.flv"), VIDEO["video1"][2] // 8 // 10)
    drop = DropPeer(stop, random.Random(rng.random()), events)
    ports = {"cap1": cap1.port, "cap2": cap2.port, "slow": slow.port, "drop": drop.port}
    if "slow" in args.without:
        ports["slow"] = None
    root.config(streams_config(ports, audio=True))

    prefix = []
    if args.valgrind:
        prefix = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
                  "--errors-for-leak-kinds=definite,indirect", "--num-callers=30", "--track-fds=no",
                  "--fullpath-after=",
                  "--log-file=" + os.path.join(soak, "valgrind.%p.log")]
        env["KAVO_VALGRIND"] = "1"
    if args.prefix:
        prefix = args.prefix.split()
    asan = dict(os.environ).get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "detect_leaks=1:quarantine_size_mb=32"
    for t in (cap1, cap2, slow):
        if t is not slow or ports["slow"]:
            t.start()
    started = time.monotonic()
    s = Program(prefix + [program], root, env, soak)
    if not s.wait_log("A/V encoding started", timeout=120 if args.valgrind else 30):
        print("the streamer did not start; see", s.log_path)
        s.kill()
        return 1
    stream_start = time.monotonic()
    sampler = Sampler(stop, s.pid, root, os.path.join(soak, "pictures"))
    faults = Faults(stop, root, random.Random(rng.random()), alsa_tool, dict(os.environ, **env),
                    enabled=not args.no_faults)
    mix = args.mix or (VALGRIND_MIX if args.valgrind else None)
    flood = Flood(stop, root, random.Random(rng.random()), args.rate, args.clients, faults, mix)
    live = LiveViewer(stop, root, random.Random(rng.random()), events)
    av = AvClient(stop, root, random.Random(rng.random()))
    resend = Resender(stop, root, random.Random(rng.random()), faults)
    leavers = Leavers(stop, root, random.Random(rng.random()))
    burst = Burst(stop, root, random.Random(rng.random()))
    actors = [sampler, faults, flood, live, av, drop, resend, leavers, burst]
    left_out = set(filter(None, args.without.split(",")))
    for name, t in (("flood", flood), ("live", live), ("avclient", av), ("drop", drop), ("resend", resend),
                    ("leavers", leavers), ("burst", burst)):
        if name in left_out:
            actors.remove(t)
    for t in actors:
        t.start()
    deadline = stream_start + args.seconds
    crashed = None
    flood_log = False
    while time.monotonic() < deadline:
        if s.proc.poll() is not None:
            crashed = s.proc.returncode
            break
        if s.log_bytes() > LOG_LIMIT:
            flood_log = True
            break
        time.sleep(0.2)
    stop.event.set()
    for t in actors[1:]:
        t.join(10)
    sampler.join(3)
    stream_end = time.monotonic()
    sampler.sample()
    peers_gone_at = mono()
    quiet_fds = sampler.settled_fds()
    status = crashed if crashed is not None else s.stop(timeout=180 if args.valgrind else 60)
    stop.final = True
    for t in (cap1, cap2, slow):
        if t.is_alive():
            t.join(10)
    with open(s.out_path, errors="replace") as f:
        out_lines = f.read().splitlines()
    record = {
        "program": program, "seconds": args.seconds, "valgrind": bool(args.valgrind),
        "replay": bool(args.valgrind or args.replay), "seed": args.seed,
        "status": status, "crashed": crashed is not None, "sigterm_line": "SIGTERM received" in out_lines, "log_flood": flood_log,
        "log_bytes": s.log_bytes(),
        "startup_s": stream_start - started, "streaming_s": stream_end - stream_start,
        "stream_start": stream_start, "stream_end": stream_end,
        "samples": sampler.samples, "quiet_fds": quiet_fds, "pictures": sampler.kept,
        "captures": {"video1": cap1.files, "video2": cap2.files}, "capture_bytes": [cap1.bytes, cap2.bytes],
        "slow": {"path": slow.path, "bytes": slow.bytes, "connections": slow.connections, "rate": slow.rate},
        "drop": {"connected": drop.connected, "dropped": drop.dropped, "refusals": drop.refusals,
                 "bad_starts": drop.bad_starts},
        "live": {"asked": live.asked, "connected": live.connected, "dropped": live.dropped, "no_port": live.no_port,
                 "bytes": live.bytes},
        "avclient": {"events": av.events, "restarts": av.restarts, "kinds": av.kinds},
        "resend": {"sent": resend.sent, "answers": {str(k): v for k, v in resend.answers.items()},
                   "wrong": resend.wrong[:50], "enabled": resend in actors},
        "leavers": {"left": leavers.left, "failed": leavers.failed[:20], "enabled": leavers in actors},
        "burst": {"bursts": burst.bursts, "wrong": burst.wrong[:20], "enabled": burst in actors},
        "faults": faults.log, "xruns": faults.xruns,
        "ipc": {"sent": flood.sent, "answered": [(a, b, k, st) for a, b, k, st in flood.done],
                "unanswered": [(t, k) for t, k in flood.pending.values()], "wrong": flood.wrong[:200],
                "wrong_count": len(flood.wrong), "churn_closed": flood.churn_ok,
                "churn_not_closed": flood.churn_not_closed, "clients_left": len(flood.clients)},
        "events": events[:200],
        "peers_gone_at": peers_gone_at, "term_at": mono(),
    }
    with open(os.path.join(soak, "run.json"), "w") as f:
        json.dump(record, f)
    print("run finished: status %s after %.0f s of streaming" % (status, stream_end - stream_start), flush=True)
    return root


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=110)
    ap.add_argument("--rate", type=float, default=200, help="IPC requests a second")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--program")
    ap.add_argument("--prefix", help="a command that runs the program (for example a heap profiler)")
    ap.add_argument("--alsa-tool")
    ap.add_argument("--valgrind", action="store_true", help="under memcheck, on replayed frames")
    ap.add_argument("--replay", action="store_true", help="replayed frames (no coding per frame; no picture numbers)")
    ap.add_argument("--no-faults", action="store_true")
    ap.add_argument("--mix", help="request kinds and weights instead of the usual mix, e.g. get:1,unknown:1")
    ap.add_argument("--without", default="", help="actors left out, comma-separated: flood, live, avclient, drop, slow, "
                    "resend, leavers, burst")
    ap.add_argument("--keep", action="store_true", help="keep the root")
    ap.add_argument("--judge", metavar="ROOT", help="judge an earlier run's root")
    return run_and_judge(ap.parse_args(), run, judge, Root)


def run_and_judge(args, run, judge, root_class, release=None):
    """The soaks' command line after its options: judge an earlier root, or run with a seed (one
    drawn when none is given), judge, and keep the root when it failed or was asked to."""
    if args.judge:
        return 0 if not judge(args.judge).failures else 1
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    print("seed:", args.seed, flush=True)
    root = run(args)
    if not isinstance(root, root_class):
        return root  # the run's own exit status: it could not start
    v = judge(root.dir)
    if release is not None:
        release(root)  # what the root holds outside its folder
    if v.failures or args.keep or os.environ.get("KAVO_KEEP_ROOT"):
        print("root kept:", root.dir)
    else:
        shutil.rmtree(root.dir, ignore_errors=True)
    return 0 if not v.failures else 1


if __name__ == "__main__":
    sys.exit(main())
