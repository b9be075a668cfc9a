#!/usr/bin/env python3
"""CPU time and peak memory of the streamer process per second of streaming.

The simulated DSP runs on the real clock in replay mode (pre-encoded frames copied into the ring,
no coding per frame) with two H.264 streams, 1280x720 and 640x360 at 30 fps; each stream goes to
an FLV file and to a TCP peer (a reader in this script). After a warm-up the CPU time of the
streamer process (user + system, from /proc) is taken over the measuring window and divided by
its length; the peak resident memory is VmHWM at the end.

Baseline, measured in the same run on the same frames: ffmpeg copying the two streams (taken back
out of the streamer's own FLV files) at their real rate (-re) to an FLV file and a TCP peer each.

    bench/streamer/streamer_bench.py [--build DIR] [--seconds N] [--warmup N] [--runs N]

Needs the build's kavo_streamer_gen2 and libkavo_sim_iav (cmake --build DIR --target
kavo_streamer_gen2).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TREE, "tests", "streamer"))
sys.path.insert(0, os.path.join(TREE, "tests", "pylib"))
from kavo_tcp import Capture  # noqa: E402
from streamer_harness import Root, Streamer, stream, video_frames  # noqa: E402


def reading_peers():
    """Two TCP peers that read and drop everything, running."""
    made = [Capture(), Capture()]
    for p in made:
        p.start()
    return made


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def measure(pid, warmup, seconds, frames_of=None):
    """(CPU seconds per second, frames per second or None, (peak KiB, resident KiB at the end)) of a
    running process."""
    time.sleep(warmup)
    c0, t0 = proc_cpu(pid), time.monotonic()
    f0 = frames_of() if frames_of else 0
    time.sleep(seconds)
    c1, t1 = proc_cpu(pid), time.monotonic()
    f1 = frames_of() if frames_of else 0
    rate = (f1 - f0) / (t1 - t0) if frames_of else None
    return (c1 - c0) / (t1 - t0), rate, (proc_kib(pid, "VmHWM"), proc_kib(pid, "VmRSS"))


def run_streamer(program, warmup, seconds):
    root = Root(prefix="kb.")
    root.sim({"clock": "realtime", "mode": "replay", "replayFrames": 30, "journal": False})
    peers = reading_peers()
    video = {
        "video1": stream(1280, 720, 30, ["file:///tmp/video1.flv", "tcp://127.0.0.1:%d" % peers[0].port],
                         bitRateVbrMax=2000000, bitRateCbrAvg=2000000),
        "video2": stream(640, 360, 30, ["file:///tmp/video2.flv", "tcp://127.0.0.1:%d" % peers[1].port],
                         bitRateVbrMax=600000, bitRateCbrAvg=600000),
    }
    root.config({"audio": {"enabled": False}, "video": video})
    s = Streamer(root, level=6, program=program)
    try:
        s.wait_log("A/V encoding started", timeout=30)
        for p in peers:
            if not p.connected.wait(15):
                raise RuntimeError("the streamer did not connect to its TCP peer")

        def frames():
            return sum(len(video_frames(root.path("/tmp/video%d.flv" % i))) for i in (1, 2))

        cpu, fps, hwm = measure(s.pid, warmup, seconds, frames)
        sent = sum(p.bytes for p in peers)
        status = s.stop()
        if status != 0:
            raise RuntimeError("the streamer ended with %d:\n%s" % (status, "\n".join(s.log()[-20:])))
        return cpu, fps, hwm, sent, root
    except BaseException:
        s.kill()
        root.cleanup()
        raise
    finally:
        for p in peers:
            p.close()


def run_ffmpeg(root, warmup, seconds):
    """ffmpeg -re -c copy of the streamer's own frames to a file and a TCP peer per stream."""
    inputs = []
    for i in (1, 2):
        raw = root.path("/tmp/base%d.h264" % i)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", root.path("/tmp/video%d.flv" % i), "-map", "0:v", "-c",
                        "copy", "-bsf:v", "h264_mp4toannexb", "-f", "h264", raw], check=True)
        inputs.append(raw)
    peers = reading_peers()
    cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    for raw in inputs:
        cmd += ["-re", "-stream_loop", "-1", "-framerate", "30", "-f", "h264", "-i", raw]
    for i, p in enumerate(peers):
        out = root.path("/tmp/base%d.flv" % (i + 1))
        cmd += ["-map", "%d:v" % i, "-c", "copy", "-f", "tee",
                "[f=flv]%s|[f=flv]tcp://127.0.0.1:%d" % (out, p.port)]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for p in peers:
            if not p.connected.wait(15):
                raise RuntimeError("ffmpeg did not connect: " + (proc.stderr.read() if proc.poll() is not None else ""))
        cpu, _, hwm = measure(proc.pid, warmup, seconds)
        return cpu, hwm
    finally:
        proc.terminate()
        proc.wait()
        proc.stderr.close()
        for p in peers:
            p.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(TREE, "build"))
    ap.add_argument("--seconds", type=float, default=10.0, help="measuring window")
    ap.add_argument("--warmup", type=float, default=2.0)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    program = os.path.abspath(os.path.join(args.build, "bin", "kavo_streamer_gen2"))
    if not os.access(program, os.X_OK):
        sys.exit("no %s; build the target kavo_streamer_gen2 first" % program)

    ours, base = [], []
    for run in range(args.runs):
        cpu, fps, hwm, sent, root = run_streamer(program, args.warmup, args.seconds)
        try:
            bcpu, bhwm = run_ffmpeg(root, args.warmup, args.seconds)
        finally:
            root.cleanup()
        ours.append((cpu, fps, hwm, sent))
        base.append((bcpu, bhwm))
        print("run %d: streamer %.4f CPU s/s, %.1f frames/s, peak %.1f MiB (resident %.1f), %.1f MB to the peers; "
              "ffmpeg %.4f CPU s/s, peak %.1f MiB" % (run + 1, cpu, fps, hwm[0] / 1024.0, hwm[1] / 1024.0,
                                                      sent / 1e6, bcpu, bhwm[0] / 1024.0))
    cpu = statistics.median(o[0] for o in ours)
    fps = statistics.median(o[1] for o in ours)
    hwm = statistics.median(o[2][0] for o in ours)
    rss = statistics.median(o[2][1] for o in ours)
    bcpu = statistics.median(b[0] for b in base)
    bhwm = statistics.median(b[1][0] for b in base)
    print()
    print("median of %d runs, %.0f s each (replay mode, 1280x720 + 640x360 @ 30 fps, file + TCP per stream)"
          % (args.runs, args.seconds))
    print("  streamer   CPU %.4f s per s of streaming (%.1f%% of a core), %.3f ms per frame, peak RSS %.1f MiB "
          "(resident at the end %.1f MiB; both count the simulator's replay coding in the same process)"
          % (cpu, cpu * 100, cpu / fps * 1000 if fps else float("nan"), hwm / 1024.0, rss / 1024.0))
    print("  ffmpeg -re -c copy, same frames and outputs: CPU %.4f s/s, peak RSS %.1f MiB" % (bcpu, bhwm / 1024.0))
    print("  ratio streamer / ffmpeg: CPU %.2f, memory %.2f" % (cpu / bcpu if bcpu else float("nan"),
                                                                hwm / bhwm if bhwm else float("nan")))


if __name__ == "__main__":
    main()
