#!/usr/bin/env python3
"""Cross-process tests of the FLV output, judged by ffmpeg and ffprobe.

kavo_flv_test_writer feeds x264 frame fixtures (and AAC audio made by ffmpeg) through an FLV
container as the streamer does. The status events reach a stand-in of "kavo_avclient" written
with the standard library (tests/pylib/kavo_ipc_peer.py).

Environment: KAVO_FLV_TEST_WRITER (the writer), KAVO_FLV_FIXTURES (kavo_encoder/tests/data),
KAVO_PYLIB (tests/pylib).
"""
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(os.path.dirname(__file__), "..", "pylib")))
import kavo_media  # noqa: E402
from kavo_ipc_peer import Endpoint  # noqa: E402
from kavo_media import parse_flv  # noqa: E402
from kavo_tcp import Capture, free_port  # noqa: E402

WRITER = os.environ.get("KAVO_FLV_TEST_WRITER", "")
FIXTURES = os.environ.get("KAVO_FLV_FIXTURES", "")
FRAMES = os.path.join(FIXTURES, "flv_320x240.frames")


class Events:
    """The stand-in "kavo_avclient": collects every EventStreamingStatus in a thread."""

    def __init__(self, root):
        self.endpoint = Endpoint("kavo_avclient", root)
        self.events = []
        self.lock = threading.Lock()
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop:
            for _, m in self.endpoint.poll(0.05):
                if m.get("functionName") == "EventStreamingStatus":
                    with self.lock:
                        self.events.append((time.monotonic(), m))

    def snapshot(self):
        with self.lock:
            return list(self.events)

    def states(self, after=0.0):
        """The states entered, in order, by the events that came at or after `after`."""
        return [m["currentStatus"] for t, m in self.snapshot() if t >= after]

    def wait_count(self, current, count, timeout):
        """Until `count` events have entered `current`."""
        deadline = time.monotonic() + timeout
        while self.states().count(current) < count:
            if time.monotonic() > deadline:
                raise AssertionError("fewer than %d %s events: %s" % (count, current, self.states()))
            time.sleep(0.02)

    def wait_for(self, current, after=0.0, timeout=10.0):
        """The time of the first event entering `current` at or after `after`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for t, m in self.snapshot():
                if t >= after and m["currentStatus"] == current:
                    return t
            time.sleep(0.02)
        raise AssertionError("no %s event: %s" % (current, [m["currentStatus"] for _, m in self.snapshot()]))

    def close(self):
        self.stop = True
        self.thread.join()
        self.endpoint.close()


class Writer:
    started = []

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for t in self.readers:
            t.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()

    def __init__(self, root, *args, frames=FRAMES, env=None):
        env = dict(os.environ, KAVO_ROOT=root, KAVO_LOG_STDERR="1", **(env or {}))
        self.proc = subprocess.Popen([WRITER, "--frames", frames] + list(args), env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.stderr = []
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.lines.put), daemon=True),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr.append), daemon=True)]
        for t in self.readers:
            t.start()
        Writer.started.append(self)

    @staticmethod
    def _read(stream, put):
        for line in stream:
            put(line.rstrip("\n"))

    def line(self, prefix, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line starting with %r" % prefix)
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line.startswith(prefix):
                return line

    def wait(self, timeout=60):
        self.proc.wait(timeout)
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait()


class FlvProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kflv.")
        cls.adts = os.path.join(cls.work, "tone.aac")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                        "-t", "4", "-c:a", "aac", "-b:a", "64k", "-f", "adts", cls.adts], check=True)
        # Big frames for the slow peer: 720p at 20 Mbit/s.
        cls.big = os.path.join(cls.work, "big.frames")
        subprocess.run([sys.executable, os.path.join(FIXTURES, "flv_make_fixtures.py"), cls.big, "--size", "1280x720",
                        "--bitrate", "20M", "--frames", "60", "--keyint", "30"], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kr.", dir="/tmp")
        for d in ("tmp", "etc", "var/run/ipc"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self.events = Events(self.root)
        self.children = []

    def tearDown(self):
        for p in self.children:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdout.close()
        while Writer.started:
            Writer.started.pop().close()
        self.events.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def ffmpeg(self, *args):
        p = subprocess.Popen(["ffmpeg", "-nostdin", "-hide_banner"] + list(args), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        self.children.append(p)
        return p

    def judge(self, path, first_dts_below=None, audio=True):
        """ffprobe: H.264 320x240 (and AAC); the first video packet is a key frame; video DTS strictly
        increase. ffmpeg decodes it all without a word."""
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height",
                                "-of", "json", path], capture_output=True, text=True)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        streams = json.loads(probe.stdout)["streams"]
        self.assertIn(("video", "h264", 320, 240),
                      [(x.get("codec_type"), x.get("codec_name"), x.get("width"), x.get("height")) for x in streams])
        if audio:
            self.assertIn(("audio", "aac"), [(x.get("codec_type"), x.get("codec_name")) for x in streams])
        packets = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                  "packet=dts,flags", "-of", "csv=p=0", path], capture_output=True, text=True)
        rows = [l.split(",") for l in packets.stdout.split() if l]
        self.assertGreater(len(rows), 10)
        self.assertTrue(rows[0][1].startswith("K"), rows[:3])
        dts = [int(r[0]) for r in rows]
        self.assertTrue(all(b > a for a, b in zip(dts, dts[1:])), dts)
        if first_dts_below is not None:
            self.assertLess(dts[0], first_dts_below)
        self.assertEqual(kavo_media.decode(path), (0, ""))

    def assert_chained(self, events):
        """Every event leaves the state that the one before it entered."""
        for (_, a), (_, b) in zip(events, events[1:]):
            self.assertEqual(b["previousStatus"], a["currentStatus"], (a, b))

    # ---- files ----------------------------------------------------------------------------------

    def test_file_is_a_clean_stream(self):
        w = Writer(self.root, "--adts", self.adts, "--destinations", '["file:///tmp/out.flv"]', "--fps", "0",
                   "--count", "120")
        self.assertEqual(w.wait(), 0, "\n".join(w.stderr))
        self.judge(os.path.join(self.root, "tmp/out.flv"), first_dts_below=1)
        self.events.wait_count("UNINITIALIZED", 1, timeout=10)  # the writer's last event
        events = self.events.snapshot()
        self.assertEqual([m["currentStatus"] for _, m in events],
                         ["OPEN_FILE", "CONNECTED", "SEND_DATA", "UNINITIALIZED"])
        self.assertEqual(events[0][1]["previousStatus"], "UNINITIALIZED")
        self.assert_chained(events)
        self.assertEqual(events[0][1]["uri"], "file:///tmp/out.flv")
        self.assertEqual(events[0][1]["channelId"], 0)

    # ---- connecting out -----------------------------------------------------------------------------

    def test_outgoing_connection_survives_the_peer_and_starts_a_fresh_stream(self):
        port = free_port()
        url = "tcp://127.0.0.1:%d" % port
        w = Writer(self.root, "--adts", self.adts, "--destinations", '["%s?retryInterval=1"]' % url,
                   "--fps", "30", "--seconds", "30")
        # The writer tries and is refused meanwhile, an attempt a retry interval (1 s): two of them
        # come well before the 10 s that the default interval would take.
        self.events.wait_count("START_CONNECT", 2, timeout=6)
        # The peer listens from here on (ffmpeg judges what it received afterwards, so that its own
        # start is no part of the connect).
        first = Capture(os.path.join(self.root, "one"), port=port)
        first.start()
        listening = time.monotonic()
        self.events.wait_for("CONNECTED", after=listening, timeout=10)
        # An attempt made once the peer listens connects: only the one under way may be refused
        # (a refused attempt waits and starts again).
        since = self.events.states(after=listening)
        since = since[:since.index("CONNECTED")]
        self.assertLessEqual(list(zip(since, since[1:])).count(("WAIT", "START_CONNECT")), 1, since)
        time.sleep(3)
        first.close()
        killed = time.monotonic()
        # The writer notices at its next writes and goes back to connecting.
        self.events.wait_for("WAIT", after=killed, timeout=5)
        time.sleep(1.0)
        second = Capture(os.path.join(self.root, "two"), port=port)
        second.start()
        restarted = time.monotonic()
        self.events.wait_for("CONNECTED", after=restarted, timeout=10)
        time.sleep(3)
        self.assertEqual(w.stop(), 0, "\n".join(w.stderr))
        second.close()
        out2 = os.path.join(self.root, "two.flv")
        copy = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "flv", "-i", second.files[0], "-c", "copy",
                               "-y", out2], capture_output=True, text=True)
        self.assertEqual(copy.returncode, 0, copy.stderr)
        # The new connection is a stream of its own: header, metadata, sequence headers, time 0.
        self.judge(out2, first_dts_below=600)  # video starts at the first key frame (GOP of 0.5 s)
        self.assertTrue(any("writev failed" in l for l in w.stderr), w.stderr[-5:])

        self.events.wait_count("UNINITIALIZED", 2, timeout=10)  # the peer's leaving and the writer's end
        events = self.events.snapshot()
        self.assert_chained(events)
        states = [m["currentStatus"] for _, m in events]
        self.assertEqual(states[0], "START_CONNECT")
        self.assertEqual(states[-1], "UNINITIALIZED")
        want = ["START_CONNECT", "CONNECTED", "SEND_DATA", "WAIT", "UNINITIALIZED", "START_CONNECT", "CONNECTED",
                "SEND_DATA", "UNINITIALIZED"]
        at = 0
        for s in states:
            if at < len(want) and s == want[at]:
                at += 1
        self.assertEqual(at, len(want), states)
        self.assertEqual(states.count("CONNECTED"), 2, states)

    # ---- the live-view acceptor -----------------------------------------------------------------------

    def test_live_view_acceptor_serves_one_viewer_and_listens_again(self):
        w = Writer(self.root, "--acceptor", "--destinations", '["file:///dev/null"]', "--fps", "30",
                   "--seconds", "30")
        port = int(w.line("port ").split()[1])
        # The header announces audio as well; without audio ffmpeg would probe for it for seconds.
        viewer = self.ffmpeg("-v", "error", "-xerror", "-analyzeduration", "1000000", "-f", "flv",
                             "-i", "tcp://127.0.0.1:%d" % port,
                             "-t", "3", "-f", "null", "-")
        self.events.wait_for("SEND_DATA", timeout=5)
        time.sleep(0.5)
        # A second viewer while one is served is refused: nobody listens any more.
        s = socket.socket()
        with self.assertRaises(ConnectionRefusedError):
            s.connect(("127.0.0.1", port))
        s.close()
        viewer.wait(20)
        self.assertEqual(viewer.returncode, 0)
        self.assertEqual(viewer.stdout.read(), "")
        # The viewer has gone: the acceptor listens again, on a port of the system's choice.
        again = int(w.line("port ", timeout=10).split()[1])
        s = socket.create_connection(("127.0.0.1", again), timeout=5)
        data = b""
        deadline = time.monotonic() + 2.5
        s.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            data += chunk
        s.close()
        tags, _ = parse_flv(data)
        self.assertEqual(data[4], 5)
        self.assertEqual(tags[0][0], 0x12)
        self.assertIn(b"onMetaData", tags[0][2])
        video = [t for t in tags if t[0] == 9]
        self.assertEqual(video[0][2][:2], b"\x17\x00")  # the AVC sequence header comes first
        self.assertEqual(video[1][2][:2], b"\x17\x01")
        self.assertEqual(video[0][1], video[1][1])
        self.assertGreater(len(video), 20)
        self.assertEqual(w.stop(), 0)
        events = self.events.snapshot()
        self.assert_chained(events)
        states = [m["currentStatus"] for _, m in events]
        self.assertEqual(states[:2], ["INIT_FOR_ACCEPT", "ACCEPT"])
        self.assertGreaterEqual(states.count("ACCEPT"), 2)
        self.assertTrue(all(m["channelId"] == 0 for _, m in events))

    # ---- a slow peer ------------------------------------------------------------------------------------

    def test_slow_peer_backlog_stops_at_4_mib_and_congestion_follows_it(self):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        # Under AddressSanitizer the freed blocks it holds back (256 MiB by default) would count as
        # growth, by as much as the load lets the run free: a small quarantine leaves the writer's own.
        asan = os.environ.get("ASAN_OPTIONS", "")
        w = Writer(self.root, "--destinations", '["tcp://127.0.0.1:%d"]' % port, "--fps", "150",
                   "--seconds", "8", "--ring", str(8 << 20), "--report", "1", frames=self.big,
                   env={"ASAN_OPTIONS": (asan + ":" if asan else "") + "quarantine_size_mb=8"})
        listener.settimeout(10)
        conn, _ = listener.accept()
        received = bytearray()
        slow_until = time.monotonic() + 5
        conn.settimeout(0.05)
        while time.monotonic() < slow_until:  # about 100 KB/s
            try:
                received += conn.recv(5000)
            except socket.timeout:
                pass
            time.sleep(0.05)
        conn.settimeout(5)
        while True:  # then as fast as it comes, until the writer ends
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            received += chunk
        conn.close()
        listener.close()
        self.assertEqual(w.wait(), 0)
        reports, rss = [], []
        while not w.lines.empty():
            line = w.lines.get().split()
            if line[0] == "frame":
                reports.append((int(line[3]), int(line[5])))
            elif line[0] == "rss":
                rss.append(int(line[1]))
        self.assertGreater(len(reports), 300)
        biggest = 400000
        for level, backlog in reports:
            self.assertLess(backlog, 4 * 1024 * 1024 + biggest)
            if backlog:  # the level written with that frame's write
                self.assertEqual(level, min(100, backlog * 100 >> 22), (level, backlog))
        levels = [l for l, _ in reports]
        self.assertEqual(max(levels), 100)
        self.assertTrue(any(20 <= l <= 30 for l in levels), levels)  # 25 at 1 MiB pending
        self.assertTrue(any("Frames are skipped! The current bandwidth is not enough!" in l for l in w.stderr))
        # Memory stays bounded: the backlog's storage and nothing that grows with the run.
        self.assertLess(rss[-1] - rss[0], 24 * 1024, rss)
        # Frames were dropped whole: what arrived is one consistent stream (every PreviousTagSize
        # checked). Only its last tag may be cut, when the run ended before a loaded machine let the
        # backlog drain.
        tags, trailing = parse_flv(bytes(received))
        self.assertLess(trailing, 15 + biggest)
        self.assertGreater(len(tags), 100)


if __name__ == "__main__":
    if not WRITER:
        print("KAVO_FLV_TEST_WRITER is not set", file=sys.stderr)
        sys.exit(2)
    unittest.main(verbosity=2)
