"""Runs the real kavo_streamer_gen2 under a private test root (Python 3 standard library only).

    root = Root()                                   # /tmp/ks.XXXXXX with the camera fixtures
    root.sim({"clock": "virtual"})                  # /etc/kavo_sim/iav.json
    root.config(two_streams())                      # /etc/kavo_streamer.json
    s = Streamer(root)                              # KAVO_LOG_STDERR=1, KAVO_LOG_LEVEL=7
    s.wait_log("A/V encoding started")
    ... s.stop() == 0

Also used by bench/streamer. Environment: KAVO_STREAMER (the program), KAVO_PYLIB (tests/pylib).
"""
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                              "pylib")))
from kavo_media import parse_flv  # noqa: E402,F401 (the tests take it from here as well)

PROGRAM = os.environ.get("KAVO_STREAMER", "")

BOARD_INFO = "board.sysid=18\nboard.hwaddr=02AB34CD56EF\nboard.type=sim\nfeature_mic=1\n"
FIRMWARE_VERSION = "XX.x5s.v3.2.1.7.abc123.150101.1200\n"


class Root:
    """A short private root (socket paths stay below 108 bytes) with the files that the camera
    information reads: "/etc/board.info", "/proc/uptime", "/proc/sys/kernel/hostname",
    "/lib/version". `cwd` is the program's working folder (where "./" candidates live)."""

    def __init__(self, fixtures=True, prefix="ks."):
        self.dir = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
        for d in ("etc", "usr/etc", "tmp", "var/run/ipc", "lib", "proc/sys/kernel", "cwd"):
            os.makedirs(os.path.join(self.dir, d), exist_ok=True)
        self.cwd = os.path.join(self.dir, "cwd")
        if fixtures:
            self.write("/etc/board.info", BOARD_INFO)
            self.write("/proc/uptime", "1000.50 250.25\n")
            self.write("/proc/sys/kernel/hostname", "camera-sim\n")
            self.write("/lib/version", FIRMWARE_VERSION)

    def path(self, camera_path):
        return self.dir + camera_path

    def write(self, camera_path, text):
        p = self.path(camera_path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "w") as f:
            f.write(text)

    def remove(self, camera_path):
        os.remove(self.path(camera_path))

    def sim(self, config):
        self.write("/etc/kavo_sim/iav.json", json.dumps(config))

    def config(self, doc, camera_path="/etc/kavo_streamer.json"):
        self.write(camera_path, json.dumps(doc, indent=2))

    def faults(self, doc):
        """Fault injection of the simulated DSP (noticed within 100 ms)."""
        self.write("/tmp/kavo_sim/iav.faults", json.dumps(doc))

    def journal(self, name="iav"):
        """A simulator's journal ("iav": the video DSP, "alsa": the sound card) in "seq" order."""
        lines = []
        try:
            with open(self.path("/tmp/kavo_sim/%s.journal" % name)) as f:
                for line in f:
                    try:
                        lines.append(json.loads(line))
                    except ValueError:
                        pass
        except FileNotFoundError:
            return []
        return sorted(lines, key=lambda j: j.get("seq", 0))

    def cleanup(self):
        if os.environ.get("KAVO_KEEP_ROOT"):
            print("root kept:", self.dir)
            return
        shutil.rmtree(self.dir, ignore_errors=True)


def stream(width, height, fps, destinations, kind="flv", **keys):
    node = {"enabled": True, "width": width, "height": height, "fps": fps,
            "avSerializer": {"type": kind, "destinations": destinations}}
    node.update(keys)
    return node


def two_streams(extra1=None, extra2=None, mjpg=True):
    """Two small H.264 streams to FLV files ("/tmp/video1.flv", "/tmp/video2.flv") and MJPEG
    pictures ("/tmp/snapshot.jpg"); audio off."""
    video = {
        "video1": stream(640, 360, 30, ["file:///tmp/video1.flv"], bitRateVbrMax=1500000, bitRateCbrAvg=1500000,
                         **(extra1 or {})),
        "video2": stream(320, 180, 30, ["file:///tmp/video2.flv"], bitRateVbrMax=400000, bitRateCbrAvg=400000,
                         **(extra2 or {})),
    }
    if mjpg:
        video["mjpg"] = stream(320, 180, 5, ["file:///tmp/snapshot.jpg"], kind="mjpg")
    return {"audio": {"enabled": False}, "video": video}


class Streamer:
    """One streamer process. Standard error (the log) and standard output are collected by
    threads; `lines` keeps the log, `out` standard output."""

    def __init__(self, root, *args, env=None, level=7, program=None):
        e = dict(os.environ, KAVO_ROOT=root.dir, KAVO_LOG_STDERR="1", KAVO_LOG_LEVEL=str(level))
        e.update(env or {})
        self.proc = subprocess.Popen([program or PROGRAM] + list(args), cwd=root.cwd, env=e,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     errors="replace")
        self.lines = []
        self.out = []
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stderr, self.lines), daemon=True),
                        threading.Thread(target=self._read, args=(self.proc.stdout, self.out), daemon=True)]
        for t in self.readers:
            t.start()

    def _read(self, stream, into):
        for line in stream:
            with self.cond:
                into.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    @property
    def pid(self):
        return self.proc.pid

    def log(self):
        with self.cond:
            return list(self.lines)

    def messages(self):
        """The log's messages: the text after "function: " of each record."""
        out = []
        for line in self.log():
            head, sep, text = line.partition(": ")
            out.append(text if sep else line)
        return out

    def has(self, fragment):
        return any(fragment in line for line in self.log())

    def wait_log(self, fragment, timeout=20.0, start=0):
        """The index of the first log line (from `start`) holding `fragment`."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if fragment in self.lines[i]:
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and all(not t.is_alive() for t in self.readers)):
                    raise AssertionError("no log line with %r; last lines:\n%s" % (fragment, "\n".join(self.lines[-30:])))
                self.cond.wait(min(left, 0.1))

    def wait(self, timeout=30):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("the streamer did not end within %s s" % timeout)
        self._close_pipes()
        return self.proc.returncode

    def _close_pipes(self):
        for t in self.readers:
            t.join(5)
        for pipe in (self.proc.stdout, self.proc.stderr):
            if not pipe.closed:
                pipe.close()

    def stop(self, timeout=30):
        """SIGTERM, then the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self._close_pipes()

    def cpu_seconds(self):
        """User + system CPU time of the running process (from /proc)."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0


def video_frames(path):
    """The coded video tags of an FLV file (sequence headers left out), as (timestamp, key, size)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    if len(data) < 13:
        return []
    tags, _ = parse_flv(data)
    out = []
    for kind, ts, payload in tags:
        if kind == 9 and len(payload) > 5 and payload[1] == 1:
            out.append((ts, payload[0] >> 4 == 1, len(payload)))
    return out


def wait_frames(path, count, timeout=30.0, proc=None):
    """Waits until the FLV file holds at least `count` coded video frames; returns them."""
    deadline = time.monotonic() + timeout
    while True:
        frames = video_frames(path)
        if len(frames) >= count:
            return frames
        if time.monotonic() > deadline or (proc is not None and proc.poll() is not None):
            raise AssertionError("%s holds %d video frames, wanted %d" % (path, len(frames), count))
        time.sleep(0.05)


def reads_of(journal, ordinal):
    """The frame reads of one stream ordinal in the journal, in order."""
    return [j for j in journal if j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and j.get("rc") == 0
            and j.get("arg", {}).get("stream") == ordinal]
