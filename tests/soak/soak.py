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
import bisect
import concurrent.futures
import json
import os
import random
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TREE, "tests", "streamer"))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(TREE, "tests", "pylib")))
sys.path.insert(0, os.path.join(TREE, "sim", "iav", "tools"))
from kavo_ipc_peer import Endpoint, FrameReader, encode_frame, new_id  # noqa: E402
from read_frame_numbers import read_number  # noqa: E402
from streamer_harness import Root, parse_flv  # noqa: E402

# Streams: name, size, configured rate; the ordinal is the stream's place in the settings.
VIDEO = {"video1": (640, 360, 1500000), "video2": (320, 180, 400000)}
VIDEO3 = (480, 272, 600000)  # the stream of the TCP peer that comes and goes
MJPG = (320, 180, 5)
VALID_RANGE = (32000, 3000000)
# Under valgrind: no settings changes (on replayed frames each new bitrate codes the loop again).
VALGRIND_MIX = ("get:46,get_noanswer:4,motion:3,change_bad:6,change_junk:6,idr:1,unknown:10,from_ghost:1,"
                "bad_json:5,bad_frame:6,oversized:3,odd_json:3,partial:3")
LOG_LIMIT = 400 << 20  # a log beyond this is a flood: the run stops
SANITIZER_WORDS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "SUMMARY: UndefinedBehavior",
                   "WARNING: AddressSanitizer")


def mono():
    return time.monotonic_ns()


class Stop:
    """Shared stop flag of the actors."""

    def __init__(self):
        self.event = threading.Event()
        self.final = False  # the streamer has ended: captures stop waiting for more

    def __bool__(self):
        return self.event.is_set()

    def sleep(self, seconds):
        return self.event.wait(seconds)


def listener(port=0, rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind(("127.0.0.1", port))
    s.listen(4)
    return s


def rst_close(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def read_until(conn, stop, until):
    """Reads `conn` until the moment `until`, the stop or the peer's end; returns the first 13
    bytes (where an FLV header stands) and the number of bytes read."""
    head = bytearray()
    count = 0
    conn.settimeout(0.1)
    while not stop and time.monotonic() < until:
        try:
            data = conn.recv(1 << 16)
        except socket.timeout:
            continue
        except OSError:
            break
        if not data:
            break
        count += len(data)
        if len(head) < 13:
            head += data[:13 - len(head)]
    return bytes(head), count


# ---- actors -------------------------------------------------------------------------------------

class Capture(threading.Thread):
    """A TCP peer that the streamer connects to and that reads everything: every connection is
    stored as its own file (<prefix>.<n>.flv)."""

    def __init__(self, stop, prefix):
        super().__init__(daemon=True)
        self.stop, self.prefix = stop, prefix
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.files = []
        self.bytes = 0

    def run(self):
        self.sock.settimeout(0.2)
        while not self.stop:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            path = "%s.%d.flv" % (self.prefix, len(self.files))
            self.files.append(path)
            conn.settimeout(0.2)
            with open(path, "wb") as f:
                while True:
                    try:
                        data = conn.recv(1 << 16)
                    except socket.timeout:
                        if self.stop.final:
                            break
                        continue
                    except OSError:
                        break
                    if not data:
                        break
                    f.write(data)
                    self.bytes += len(data)
            conn.close()
        self.sock.close()


class SlowReader(threading.Thread):
    """A peer that connects to the stream's acceptor and reads `rate` bytes a second through a
    small receive buffer, so that the streamer's backlog for it fills and stays full. (An
    acceptor's peer does not push the bitrates down, so the stream keeps its rate.)"""

    def __init__(self, stop, path, rate):
        super().__init__(daemon=True)
        self.stop, self.path, self.rate = stop, path, rate
        probe = listener()
        self.port = probe.getsockname()[1]
        probe.close()
        self.bytes = 0
        self.connections = 0

    def run(self):
        with open(self.path, "wb") as f:
            while not self.stop:
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                try:
                    s.connect(("127.0.0.1", self.port))
                except OSError:
                    s.close()
                    self.stop.sleep(0.2)
                    continue
                self.connections += 1
                s.settimeout(0.2)
                while not self.stop:
                    try:
                        data = s.recv(1024)
                    except socket.timeout:
                        continue
                    except OSError:
                        break
                    if not data:
                        break
                    if self.connections == 1:
                        f.write(data)
                    self.bytes += len(data)
                    self.stop.sleep(len(data) / self.rate)
                s.close()


class DropPeer(threading.Thread):
    """A TCP peer that the streamer connects to and that leaves every few seconds: after reading
    a while (closing plainly or with a reset), after not reading at all, or by not listening."""

    def __init__(self, stop, rng, events):
        super().__init__(daemon=True)
        self.stop, self.rng, self.events = stop, rng, events
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.connected = 0
        self.dropped = 0
        self.refusals = 0
        self.bad_starts = 0

    def run(self):
        while not self.stop:
            mode = self.rng.choice(["read_fin", "read_rst", "read_fin", "stall", "refuse"])
            if mode == "refuse":
                self.sock.close()
                self.refusals += 1
                self.stop.sleep(self.rng.uniform(1.0, 4.0))
                self.sock = listener(self.port)
                continue
            self.sock.settimeout(0.2)
            deadline = time.monotonic() + 15
            conn = None
            while not self.stop and time.monotonic() < deadline:
                try:
                    conn, _ = self.sock.accept()
                    break
                except socket.timeout:
                    continue
            if conn is None:
                continue
            self.connected += 1
            stay = time.monotonic() + self.rng.uniform(0.5, 4.0)
            if mode == "stall":
                while not self.stop and time.monotonic() < stay:
                    self.stop.sleep(0.1)
                head = b""
            else:
                head, _ = read_until(conn, self.stop, stay)
            if len(head) >= 13 and head[:3] != b"FLV":
                self.bad_starts += 1
                self.events.append(("drop peer stream without FLV header", head.hex()))
            if mode == "read_rst" or mode == "stall":
                rst_close(conn)
            else:
                conn.close()
            self.dropped += 1
            self.stop.sleep(self.rng.uniform(0.2, 2.0))
        self.sock.close()


class IpcClient:
    """One named IPC connection (non-blocking) of the flood."""

    def __init__(self, root, name, handshake=True):
        self.name = name
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(root.path("/var/run/ipc/kavo_streamer"))
        if handshake:
            self.sock.sendall(encode_frame(name))
        self.sock.setblocking(False)
        self.reader = FrameReader()
        self.out = bytearray()

    def send(self, data):
        self.out += data
        self.flush()

    def flush(self):
        while self.out:
            try:
                n = self.sock.send(self.out)
            except BlockingIOError:
                return
            del self.out[:n]


def request(function, frm, expect=True, **keys):
    m = {"id": new_id(), "timeStamp": time.time(), "from": frm, "to": "kavo_streamer",
         "functionName": function, "responseExpected": expect}
    m.update(keys)
    return m


def junk_value(rng):
    return rng.choice(["abc", -5, 1e20, -1e20, 2 ** 40, [], {}, None, True, 3.5, "", "\u00e9\u4e2d", 16383, 0])


class Flood(threading.Thread):
    """About `rate` requests a second over `clients` persistent connections, plus connections
    that carry malformed input and are expected to be dropped by the streamer."""

    KINDS = [  # kind, weight
        ("get", 46), ("get_noanswer", 4), ("motion", 3), ("change_ok", 2), ("change_bad", 6), ("change_junk", 6),
        ("fps", 0.5), ("reset", 0.5), ("idr", 1), ("unknown", 10), ("from_ghost", 1),
        ("bad_json", 5), ("bad_frame", 6), ("oversized", 3), ("odd_json", 3), ("partial", 3),
    ]

    def __init__(self, stop, root, rng, rate, clients, faults, mix=None):
        super().__init__(daemon=True)
        if mix:
            self.KINDS = [(k, float(w)) for k, w in (x.split(":") for x in mix.split(","))]
        self.stop, self.root, self.rng, self.rate = stop, root, rng, rate
        self.faults = faults
        self.clients = [IpcClient(root, "soak_client_%d" % i) for i in range(clients)]
        self.sel = selectors.DefaultSelector()
        for c in self.clients:
            self.sel.register(c.sock, selectors.EVENT_READ, c)
        self.pending = {}  # id -> (send mono ns, kind)
        self.noanswer = {}  # id -> kind (no answer may come)
        self.done = []  # (send ns, answer ns, kind, status)
        self.wrong = []  # (kind, message text)
        self.sent = {}
        self.churn = []  # (socket, kind, deadline mono, must close)
        self.churn_ok = 0
        self.churn_not_closed = []
        self.kinds, weights = zip(*self.KINDS)
        self.cum = []
        total = 0
        for w in weights:
            total += w
            self.cum.append(total)
        self.total_weight = total
        self.bad_seq = 0
        # Answers to endpoints that do not exist wait in the streamer's queues for a few seconds,
        # up to their limit: many at the start, so that the run's second half shows a steady state.
        self.ghost_warmup = 3 * 140

    def pick(self):
        x = self.rng.uniform(0, self.total_weight)
        for kind, c in zip(self.kinds, self.cum):
            if x <= c:
                return kind
        return self.kinds[-1]

    def run(self):
        period = 1.0 / self.rate
        next_t = time.monotonic()
        turn = 0
        while not self.stop:
            now = time.monotonic()
            while next_t <= now:
                self.one(self.clients[turn % len(self.clients)])
                turn += 1
                next_t += period
            for c in self.clients:
                c.flush()
            timeout = max(0.0, min(next_t - time.monotonic(), 0.02))
            for key, _ in self.sel.select(timeout):
                self.read(key.data)
            self.serve_churn()
        for c in self.clients:
            self.sel.unregister(c.sock)
        # Answers still on their way after the last request.
        deadline = time.monotonic() + 1.5
        for c in self.clients:
            c.sock.setblocking(True)
            while time.monotonic() < deadline:
                c.sock.settimeout(max(0.01, deadline - time.monotonic()))
                try:
                    data = c.sock.recv(1 << 20)
                except (socket.timeout, OSError):
                    break
                if not data:
                    break
                self.take(c, data)
        for s, _, _, _ in self.churn:
            s.close()

    def read(self, c):
        try:
            data = c.sock.recv(1 << 20)
        except BlockingIOError:
            return
        except OSError as e:
            self.wrong.append(("connection", "%s: %s" % (c.name, e)))
            data = b""
        if not data:
            self.wrong.append(("connection", "the streamer closed %s" % c.name))
            self.sel.unregister(c.sock)
            c.sock.close()
            self.clients.remove(c)
            return
        self.take(c, data)

    def take(self, c, data):
        t = mono()
        for body in c.reader.feed(data):
            try:
                m = json.loads(body)
            except ValueError:
                self.wrong.append(("json", body[:200].decode(errors="replace")))
                continue
            rid = m.get("requestId")
            if rid in self.noanswer:
                self.wrong.append(("answer to a request that expects none", "%s: %s" % (self.noanswer[rid],
                                                                                      body[:200])))
                continue
            entry = self.pending.pop(rid, None)
            if entry is None:
                self.wrong.append(("answer to no request", body[:200].decode(errors="replace")))
                continue
            sent, kind = entry
            status = m.get("statusCode")
            self.done.append((sent, t, kind, status))
            self.check(kind, sent, m)

    def check(self, kind, sent, m):
        status, payload = m.get("statusCode"), m.get("payload")
        if m.get("functionName") != "__response__" or m.get("to") == "":
            self.wrong.append((kind, "not a response: %s" % json.dumps(m)[:200]))
        if kind in ("get", "change_ok", "change_bad", "change_junk", "fps", "reset"):
            if not isinstance(payload, dict) or not isinstance(payload.get("video"), dict):
                self.wrong.append((kind, "no settings in %s" % json.dumps(m)[:200]))
                return
        excused = self.faults.request_fault_near(sent)
        if kind == "get" and status != 0:
            self.wrong.append((kind, "status %r" % status))
        elif kind in ("change_ok", "fps", "reset", "idr") and status != 0 and not (status == 1 and excused):
            self.wrong.append((kind, "status %r" % status))
        elif kind == "change_bad" and status != 1:
            self.wrong.append((kind, "status %r" % status))
        elif kind == "change_junk" and status not in (0, 1):
            self.wrong.append((kind, "status %r" % status))
        elif kind == "unknown" and (status, payload) != (1, "Operation not supported"):
            self.wrong.append((kind, "answer %r %r" % (status, payload)))
        if kind in ("get", "change_ok", "fps", "reset"):
            for name in VIDEO:
                v = payload["video"].get(name, {})
                if v.get("bitRateVbrMax", 0) > VALID_RANGE[1] or v.get("bitRateVbrMax", 0) < 16384:
                    self.wrong.append((kind, "%s bitRateVbrMax %r" % (name, v.get("bitRateVbrMax"))))

    def expect(self, c, m, kind):
        self.sent[kind] = self.sent.get(kind, 0) + 1
        if m.get("responseExpected"):
            self.pending[m["id"]] = (mono(), kind)
        else:
            self.noanswer[m["id"]] = kind
        c.send(encode_frame(json.dumps(m, separators=(",", ":"))))

    def one(self, c):
        kind = self.pick()
        if self.ghost_warmup > 0 and self.bad_seq % 2 == 0:
            self.ghost_warmup -= 1
            kind = "from_ghost"
        rng = self.rng
        if kind == "get":
            self.expect(c, request("GetVideoSettings", c.name), kind)
        elif kind == "get_noanswer":
            self.expect(c, request("GetVideoSettings", c.name, expect=False), kind)
        elif kind == "motion":
            # Accepted silently: no answer although one is asked for.
            self.sent[kind] = self.sent.get(kind, 0) + 1
            m = request("EventAnalyticsMotion", c.name, payload={"motion": True})
            self.noanswer[m["id"]] = kind
            c.send(encode_frame(json.dumps(m)))
        elif kind == "change_ok":
            name = rng.choice(list(VIDEO))
            top = VIDEO[name][2]
            rate = rng.randrange(top // 2, top + 1, 1000)
            video = {name: {"bitRateVbrMax": rate, "bitRateCbrAvg": rng.randrange(VALID_RANGE[0], rate + 1, 1000)}}
            self.expect(c, request("ChangeVideoSettings", c.name, video=video), kind)
        elif kind == "change_bad":
            name = rng.choice(list(VIDEO))
            bad = rng.choice([VALID_RANGE[1] + 1, 9000000, 20000, VALID_RANGE[0] - 1])
            video = {name: {"bitRateVbrMax": bad, "bitRateCbrAvg": bad}}
            self.expect(c, request("ChangeVideoSettings", c.name, video=video), kind)
        elif kind == "change_junk":
            name = rng.choice(list(VIDEO) + ["video3", "mjpg", "video9", ""])
            key = rng.choice(["bitRateVbrMax", "bitRateCbrAvg", "isCbr", "bogus", "N"])
            shape = rng.randrange(4)
            if shape == 0:
                video = {name: {key: junk_value(rng)}}
            elif shape == 1:
                video = junk_value(rng)
            elif shape == 2:
                video = {name: junk_value(rng)}
            else:
                video = {name: {key: junk_value(rng)}, "audio": {"volume": junk_value(rng)}}
            m = request("ChangeVideoSettings", c.name, video=video)
            if rng.random() < 0.3:
                m["audio"] = {"volume": rng.choice([-3, 0, 50, 100, 101, 500, "x", None])}
            self.expect(c, m, kind)
        elif kind == "fps":
            video = {"video2": {"fps": rng.choice([15, 30])}}
            self.expect(c, request("ChangeVideoSettings", c.name, video=video), kind)
        elif kind == "reset":
            self.expect(c, request("ResetVideoSettings", c.name), kind)
        elif kind == "idr":
            self.expect(c, request("ForceIDR", c.name), kind)
        elif kind == "unknown":
            fn = rng.choice(["NoSuchFunction", "getvideosettings", "ForceIdr", "x" * 300, "\u00e9t\u00e9", " "])
            self.expect(c, request(fn, c.name), kind)
        elif kind == "from_ghost":
            # Answers go to "from": an endpoint that does not exist (one of a few), or none.
            self.sent[kind] = self.sent.get(kind, 0) + 1
            m = request("GetVideoSettings", rng.choice(["", "soak_ghost_a", "soak_ghost_b"]))
            self.bad_seq += 1
            c.send(encode_frame(json.dumps(m)))
        else:
            self.churn_one(kind)

    def churn_one(self, kind):
        """Malformed input on a connection of its own. `close` says whether the streamer must
        drop the connection."""
        rng = self.rng
        if len(self.churn) > 24:
            self.sent["skipped"] = self.sent.get("skipped", 0) + 1
            return
        self.bad_seq += 1
        name = "soak_bad_%d" % (self.bad_seq % 32)
        handshake = True
        if kind == "bad_json":
            body = rng.choice([b"{nope", b'{"a":1} trailing', b"", b'{"id": 1', b"\xff\xfe\xfd", b"[" * 5000,
                               b'{"functionName": "GetVideoSettings", "x": "\xc3\x28"}', b"nul\x00l", b"{}{}"])
            data, close = encode_frame(body), True
        elif kind == "bad_frame":
            choice = rng.randrange(3)
            if choice == 0:  # an empty name
                data, close, handshake = encode_frame(b""), True, False
            elif choice == 1:  # a length beyond the limit
                data, close = struct.pack(">I", rng.choice([0xFFFFFFFF, 0x80000000, (16 << 20) + 1])) + b"{", True
            else:  # a frame split over two sends, with junk after
                body = b'{"functionName": "GetVideoSettings", "id": 7, "to": "kavo_streamer"'
                data, close = encode_frame(body)[:10], False
        elif kind == "oversized":
            # Announces a large frame within the limit, sends part of it and goes.
            data, close = struct.pack(">I", rng.choice([1 << 20, 8 << 20, 16 << 20])) + b'{"pad":"' + b"x" * 60000, False
        elif kind == "odd_json":
            body = rng.choice([b"[1,2,3]", b'"text"', b"123", b"null", b'{"functionName": 5, "id": "x"}',
                               b'{"functionName": "GetVideoSettings", "responseExpected": "yes", "from": 7}',
                               b'{"functionName": "ForceIDR", "id": -1, "from": "soak_bad_x", "responseExpected": true}'])
            data, close = encode_frame(body), False
        else:  # partial: a frame cut short, then the peer leaves
            data, close = encode_frame(json.dumps(request("GetVideoSettings", name)))[:-5], False
        self.sent[kind] = self.sent.get(kind, 0) + 1
        try:
            cl = IpcClient(self.root, name, handshake=handshake)
            cl.sock.setblocking(True)
            cl.sock.settimeout(0.5)
            cl.sock.sendall(data)
            cl.sock.setblocking(False)
        except OSError as e:
            if close:
                # The streamer may drop us while we are still sending.
                self.churn_ok += 1
                try:
                    cl.sock.close()
                except Exception:
                    pass
                return
            self.wrong.append(("churn", "%s: %s" % (kind, e)))
            return
        self.churn.append((cl.sock, kind, time.monotonic() + (2.0 if close else rng.uniform(0.1, 1.0)), close))

    def serve_churn(self):
        now = time.monotonic()
        keep = []
        for s, kind, deadline, close in self.churn:
            ended = False
            try:
                while True:
                    data = s.recv(1 << 16)
                    if not data:
                        ended = True
                        break
            except BlockingIOError:
                pass
            except OSError:
                ended = True
            if ended:
                if close:
                    self.churn_ok += 1
                s.close()
                continue
            if now >= deadline:
                if close:
                    self.churn_not_closed.append(kind)
                rst_close(s) if self.rng.random() < 0.5 else s.close()
                continue
            keep.append((s, kind, deadline, close))
        self.churn = keep


def call_once(sock, reader, function, frm, timeout, **keys):
    """One request on a blocking connection and its answer (None: none within `timeout`)."""
    m = request(function, frm, **keys)
    sock.settimeout(timeout)
    sock.sendall(encode_frame(json.dumps(m)))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            data = sock.recv(1 << 20)
        except socket.timeout:
            break
        if not data:
            break
        for body in reader.feed(data):
            answer = json.loads(body)
            if answer.get("requestId") == m["id"]:
                return answer
    return None


class LiveViewer(threading.Thread):
    """Asks for the live port, watches for a moment, leaves; again and again."""

    def __init__(self, stop, root, rng, events):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.events = stop, root, rng, events
        self.asked = 0
        self.connected = 0
        self.dropped = 0
        self.no_port = 0
        self.bytes = 0

    def ask(self):
        c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        c.connect(self.root.path("/var/run/ipc/kavo_streamer"))
        try:
            c.settimeout(3.0)
            c.sendall(encode_frame("soak_live"))
            return call_once(c, FrameReader(), "EnableLiveVideo", "soak_live", 3.0)
        finally:
            c.close()

    def run(self):
        while not self.stop:
            self.asked += 1
            try:
                r = self.ask()
            except OSError as e:
                self.events.append(("live view request failed", str(e)))
                r = None
            if r is None:
                self.events.append(("live view request unanswered", ""))
                self.stop.sleep(1.0)
                continue
            port = r.get("payload")
            if r.get("statusCode") != 0 or not isinstance(port, int) or port <= 0:
                self.no_port += 1
                self.stop.sleep(0.3)
                continue
            s = socket.socket()
            s.settimeout(2.0)
            try:
                s.connect(("127.0.0.1", port))
            except OSError as e:
                self.events.append(("live view connect failed", "%d: %s" % (port, e)))
                s.close()
                self.stop.sleep(0.5)
                continue
            self.connected += 1
            stay = time.monotonic() + self.rng.choice([0.0, self.rng.uniform(0.3, 3.0)])
            head, count = read_until(s, self.stop, stay)
            self.bytes += count
            if len(head) >= 3 and head[:3] != b"FLV":
                self.events.append(("live view stream without FLV header", head.hex()))
            rst_close(s) if self.rng.random() < 0.5 else s.close()
            self.dropped += 1
            self.stop.sleep(self.rng.uniform(0.5, 3.0))


class AvClient(threading.Thread):
    """The A/V client endpoint that receives the streaming status events; it goes away now and
    then (the streamer keeps its queue and connects again)."""

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.events = 0
        self.restarts = 0
        self.kinds = {}

    def run(self):
        while not self.stop:
            ep = Endpoint("kavo_avclient", self.root.dir)
            until = time.monotonic() + self.rng.uniform(10, 25)
            try:
                while not self.stop and time.monotonic() < until:
                    for _, m in ep.poll(0.1):
                        self.events += 1
                        fn = m.get("functionName", "?")
                        self.kinds[fn] = self.kinds.get(fn, 0) + 1
            finally:
                ep.close()
            if self.stop:
                break
            self.restarts += 1
            self.stop.sleep(self.rng.uniform(1, 4))


class Resender(threading.Thread):
    """A client that reads the settings and sends the whole "video" section back now and then, as
    a settings page does: the streams' files must keep growing from their first byte."""

    FILES = ("/tmp/video1.flv", "/tmp/video2.flv")

    def __init__(self, stop, root, rng, faults):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.faults = stop, root, rng, faults
        self.sent = 0
        self.answers = {}  # status -> count
        self.wrong = []
        self.heads = {}

    def check_files(self):
        for name in self.FILES:
            try:
                with open(self.root.path(name), "rb") as f:
                    head = f.read(4096)
            except OSError as e:
                self.wrong.append("%s: %s" % (name, e))
                continue
            known = self.heads.setdefault(name, head)
            if head[:len(known)] != known:
                self.wrong.append("%s started over" % name)
                self.heads[name] = head
            elif len(head) > len(known):
                self.heads[name] = head

    def run(self):
        self.stop.sleep(5.0)
        while not self.stop:
            try:
                c = IpcClient(self.root, "soak_resend")
                c.sock.setblocking(True)
                got = call_once(c.sock, c.reader, "GetVideoSettings", c.name, 3.0)
                if got is None or not isinstance(got.get("payload"), dict):
                    self.wrong.append("no settings: %r" % (got,))
                else:
                    self.check_files()
                    sent = mono()
                    answer = call_once(c.sock, c.reader, "ChangeVideoSettings", c.name, 3.0,
                                       video=got["payload"]["video"])
                    self.sent += 1
                    status = answer.get("statusCode") if answer else None
                    self.answers[status] = self.answers.get(status, 0) + 1
                    if status != 0 and not (status == 1 and self.faults.request_fault_near(sent)):
                        self.wrong.append("the section sent back answered %r" % (answer,))
                c.sock.close()
            except OSError as e:
                self.wrong.append("connection: %s" % e)
            self.stop.sleep(self.rng.uniform(4.0, 8.0))
            self.check_files()


class Leavers(threading.Thread):
    """Clients that ask and leave before the answer, 20 at a time: their answers must not lock
    out the clients that stay."""

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.left = 0
        self.failed = []

    def run(self):
        self.stop.sleep(2.0)
        while not self.stop:
            for _ in range(20):
                try:
                    c = IpcClient(self.root, "soak_leaver_%d" % self.left)
                    c.send(encode_frame(json.dumps(request("GetVideoSettings", c.name))))
                    c.sock.close()
                    self.left += 1
                except OSError as e:
                    self.failed.append(str(e))
            self.stop.sleep(self.rng.uniform(8.0, 14.0))


class Burst(threading.Thread):
    """One connection that writes 400 requests at once, now and then, and must get every answer."""

    COUNT = 400

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.bursts = []  # (answered, seconds to the last answer)
        self.wrong = []

    def run(self):
        self.stop.sleep(8.0)
        try:
            c = IpcClient(self.root, "soak_burst")
            c.sock.setblocking(True)
        except OSError as e:
            self.wrong.append("connection: %s" % e)
            return
        while not self.stop:
            ids = set()
            data = bytearray()
            for _ in range(self.COUNT):
                m = request("GetVideoSettings", c.name)
                ids.add(m["id"])
                data += encode_frame(json.dumps(m, separators=(",", ":")))
            start = time.monotonic()
            answered = 0
            try:
                c.sock.settimeout(5.0)
                c.sock.sendall(data)
                while ids:
                    chunk = c.sock.recv(1 << 20)
                    if not chunk:
                        self.wrong.append("the streamer closed the connection")
                        return
                    for body in c.reader.feed(chunk):
                        rid = json.loads(body).get("requestId")
                        if rid in ids:
                            ids.discard(rid)
                            answered += 1
            except (socket.timeout, OSError) as e:
                self.wrong.append("%d of %d answered (%s)" % (answered, self.COUNT, e))
            self.bursts.append((answered, round(time.monotonic() - start, 2)))
            if ids:
                return
            self.stop.sleep(self.rng.uniform(15.0, 25.0))
        c.sock.close()


class Faults(threading.Thread):
    """Writes a new fault file of the simulated DSP every few seconds; overruns of the sound card
    now and then. `log` keeps (mono ns, doc) of every file written."""

    REQUEST_FAULTS = ("IAV_IOC_SET_BITRATE_EX", "IAV_IOC_FORCE_IDR_EX", "IAV_IOC_SET_FRAMERATE_EX")

    def __init__(self, stop, root, rng, alsa_tool, env, enabled=True):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.alsa_tool, self.env = stop, root, rng, alsa_tool, env
        self.enabled = enabled
        self.log = []
        self.xruns = 0
        self.lock = threading.Lock()

    def choose(self):
        r, k = self.rng, self.rng.randrange(5, 60)
        kind = r.choice(["startcode", "gap", "queue", "stalepts", "eagain", "stall", "read_eio", "idr_eio",
                         "bitrate_eio", "escalate", "escalate_twice", "startcode", "eagain", "none"])
        stream = r.choice([None, 0, 1])

        def frame(f, **keys):
            d = {"frame": f, "after": k}
            if stream is not None and f not in ("gap", "queue", "startcode"):
                d["stream"] = stream
            d.update(keys)
            return d
        faults = {
            "startcode": [frame("startcode")],
            "gap": [frame("gap", skip=r.randrange(1, 4))],
            "queue": [frame("queue", backlog=r.randrange(151, 400))],
            "stalepts": [frame("stalepts", frames=r.randrange(1, 4))],
            "eagain": [frame("eagain", frames=r.randrange(5, 80))],
            "stall": [frame("stall", ms=r.randrange(100, 600))],
            "read_eio": [{"request": "IAV_IOC_READ_BITSTREAM_EX", "nth": k, "times": r.randrange(1, 6),
                          "errno": r.choice(["EIO", "EINTR", "ENODEV"])}],
            "idr_eio": [{"request": "IAV_IOC_FORCE_IDR_EX", "nth": 1, "times": r.randrange(1, 4), "errno": "EIO"}],
            "bitrate_eio": [{"request": "IAV_IOC_SET_BITRATE_EX", "nth": 1, "times": r.randrange(1, 4),
                             "errno": "EIO"}],
            # The restart after a corrupt frame fails once (or twice): the program escalates.
            "escalate": [frame("startcode"), {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "times": 1,
                                              "errno": "EIO"}],
            "escalate_twice": [frame("startcode"), {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "times": 2,
                                                    "errno": "EIO"}],
            "none": [],
        }[kind]
        return kind, {"faults": faults}

    def write(self, doc):
        path = self.root.path("/tmp/kavo_sim/iav.faults")
        with open(path + ".new", "w") as f:
            json.dump(doc, f)
        os.rename(path + ".new", path)

    def request_fault_near(self, t):
        """True when a fault file that fails a settings request was in force around mono ns t."""
        with self.lock:
            log = list(self.log)
        for i, (at, kind, doc) in enumerate(log):
            end = log[i + 1][0] if i + 1 < len(log) else mono() + 10 ** 9
            if at - 500_000_000 <= t <= end + 500_000_000 and any(
                    f.get("request") in self.REQUEST_FAULTS for f in doc["faults"]):
                return True
        return False

    def run(self):
        if not self.enabled:
            return
        self.stop.sleep(3.0)
        while not self.stop:
            kind, doc = self.choose()
            with self.lock:
                self.log.append((mono(), kind, doc))
            self.write(doc)
            if self.rng.random() < 0.15:
                subprocess.run([self.alsa_tool, "--root", self.root.dir, "xrun"], env=self.env,
                               capture_output=True)
                self.xruns += 1
            self.stop.sleep(self.rng.uniform(2.0, 5.0))
        with self.lock:
            self.log.append((mono(), "end", {"faults": []}))
        self.write({"faults": []})


class Sampler(threading.Thread):
    """RSS, descriptors and CPU of the streamer every second; keeps each new MJPEG picture."""

    def __init__(self, stop, pid, root, pictures):
        super().__init__(daemon=True)
        self.stop, self.pid, self.root, self.pictures = stop, pid, root, pictures
        self.samples = []  # (mono s, rss KiB, fds, cpu s)
        self.kept = []
        self.last_inode = None

    def sample(self):
        try:
            with open("/proc/%d/status" % self.pid) as f:
                rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
            fds = len(os.listdir("/proc/%d/fd" % self.pid))
            with open("/proc/%d/stat" % self.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, StopIteration):
            return
        self.samples.append((time.monotonic(), rss, fds, cpu))

    def settled_fds(self, steady_s=2.0, limit_s=10.0):
        """The descriptor count once it has not moved for `steady_s` (None: it did not settle)."""
        last, since, end = None, time.monotonic(), time.monotonic() + limit_s
        while time.monotonic() < end:
            try:
                n = len(os.listdir("/proc/%d/fd" % self.pid))
            except OSError:
                return None
            if n != last:
                last, since = n, time.monotonic()
            elif time.monotonic() - since >= steady_s:
                return n
            time.sleep(0.2)
        return None

    def keep_picture(self):
        path = self.root.path("/tmp/snapshot.jpg")
        try:
            st = os.stat(path)
        except OSError:
            return
        key = (st.st_ino, st.st_mtime_ns)
        if key == self.last_inode:
            return
        self.last_inode = key
        dest = os.path.join(self.pictures, "%05d.jpg" % len(self.kept))
        try:
            shutil.copyfile(path, dest)
        except OSError:
            return
        self.kept.append(dest)

    def run(self):
        next_t = time.monotonic()
        while not self.stop:
            self.sample()
            self.keep_picture()
            next_t += 1.0
            self.stop.sleep(max(0.0, next_t - time.monotonic()))


# ---- the run ------------------------------------------------------------------------------------

class Program:
    """The streamer with its log (standard error) and standard output in files: an hour of log
    stays out of this process's memory."""

    def __init__(self, argv, root, env, folder):
        self.log_path = os.path.join(folder, "streamer.log")
        self.out_path = os.path.join(folder, "streamer.out")
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
    cap1 = Capture(stop, os.path.join(soak, "cap_video1"))
    cap2 = Capture(stop, os.path.join(soak, "cap_video2"))
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


# ---- the judge ----------------------------------------------------------------------------------

def ffmpeg_clean(path, extra=()):
    # vfr: after a frame-rate change the simulated DSP may hand out two pictures whose capture
    # instants are a microsecond apart (same millisecond in the tags); the null muxer would
    # complain about the equal time stamps, which is no decoding matter.
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path] + list(extra) + ["-fps_mode", "vfr", "-f",
                        "null", "-"],
                       capture_output=True, text=True)
    return r.returncode, r.stderr.strip()


def decode(path, width, height, numbers):
    """One pass of ffmpeg over the file: everything decoded (its messages: rc, text) and, when
    `numbers`, the numbers drawn into the pictures of its video, in order (None: unreadable)."""
    # vfr: after a frame-rate change the simulated DSP may hand out two pictures whose capture
    # instants are a microsecond apart (same millisecond in the tags); the null muxer would
    # complain about the equal time stamps, which is no decoding matter.
    cmd = ["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-fps_mode", "vfr", "-f", "null", "-"]
    rows = (height // 4 + 1) & ~1  # the top quarter, even for 4:2:0
    if numbers:
        cmd += ["-map", "0:v:0", "-fps_mode", "passthrough", "-vf", "crop=%d:%d:0:0,setpts=N/TB" % (width, rows), "-f",
                "rawvideo", "-pix_fmt", "gray", "pipe:1"]
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err = []
    reader = threading.Thread(target=lambda: err.append(p.stderr.read()))
    reader.start()
    size = width * rows
    out = []
    while numbers:
        frame = p.stdout.read(size)
        if len(frame) < size:
            break
        out.append(read_number(frame, width, height))
    p.stdout.read()
    p.wait()
    reader.join()
    return p.returncode, err[0].decode(errors="replace").strip(), out


class Journal:
    """The streamer's lines of the simulated DSP's journal, kept small: seq and time of every
    line, the good frame reads by stream (picture -> seq; times), the lines where a fault acted."""

    def __init__(self, path):
        rows = []
        pids = {}
        with open(path) as f:
            for line in f:
                try:
                    j = json.loads(line)
                except ValueError:
                    continue
                pid = j.get("pid")
                pids[pid] = pids.get(pid, 0) + 1
                a = j.get("arg") if isinstance(j.get("arg"), dict) else {}
                read = j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and j.get("rc") == 0 and "picture" in a
                rows.append((j.get("seq", 0), j.get("t", 0), pid, is_effect(j, a),
                             a.get("stream") if read else None, a.get("picture") if read else None))
        self.pid = max(pids, key=pids.get) if pids else None
        rows = sorted((r for r in rows if r[2] == self.pid), key=lambda r: r[0])
        self.times = [r[1] for r in rows]
        self.effect_seqs = [r[0] for r in rows if r[3]]
        self.effect_times = sorted(r[1] for r in rows if r[3])
        self.pictures = {}  # stream -> {picture: seq of its first good read}
        self.read_times = {}  # stream -> sorted times of good reads
        self.reads = {}
        for seq, t, _, effect, stream, picture in rows:
            if stream is None or effect:
                continue
            self.pictures.setdefault(stream, {}).setdefault(picture, seq)
            self.read_times.setdefault(stream, []).append(t)
            self.reads[stream] = self.reads.get(stream, 0) + 1

    def effect_between(self, lo, hi):
        i = bisect.bisect_right(self.effect_seqs, lo)
        return i < len(self.effect_seqs) and self.effect_seqs[i] <= hi

    def first_effect(self, lo, hi):
        i = bisect.bisect_left(self.effect_times, lo)
        return self.effect_times[i] if i < len(self.effect_times) and self.effect_times[i] < hi else None

    def read_after(self, stream, lo, hi):
        ts = self.read_times.get(stream, [])
        i = bisect.bisect_right(ts, lo)
        return i < len(ts) and ts[i] <= hi


def is_effect(j, a):
    """A journal line that shows an injected fault acting."""
    if j.get("fault") or j.get("injected") or j.get("stale") or a.get("stale"):
        return True
    if a.get("gap") or a.get("shortStartCode") or a.get("dropped"):
        return True
    if j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and "queue" in a and "frameNumber" in a:
        behind = (a["queue"] - a["frameNumber"]) & 0xFFFFFFFF
        return 150 < behind < 1 << 31
    return False


def trend(samples, index):
    """Least-squares slope over the last half of the samples times that half's length."""
    half = samples[len(samples) // 2:]
    if len(half) < 4:
        return 0.0, 0, 0
    xs = [s[0] for s in half]
    ys = [s[index] for s in half]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    var = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / var if var else 0.0
    return slope * (xs[-1] - xs[0]), min(ys), max(ys)


class Verdict:
    def __init__(self):
        self.failures = []
        self.notes = []

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok


def judge(root_dir, verbose=True):
    root = Root.__new__(Root)
    root.dir = root_dir
    soak = root.path("/soak")
    with open(os.path.join(soak, "run.json")) as f:
        rec = json.load(f)
    v = Verdict()
    v.check(not rec.get("log_flood"), "the log grew beyond %d MiB" % (LOG_LIMIT >> 20))
    counts, sanitizer, crashes, graceful = _scan_log(os.path.join(soak, "streamer.log"))
    v.check(not sanitizer, "sanitizer reports: %s" % sanitizer[:5])
    v.check(not rec["crashed"], "the streamer ended on its own with status %s" % rec["status"])
    v.check(rec["status"] == 0, "exit status %s on SIGTERM" % rec["status"])
    v.check(rec["sigterm_line"], "no \"SIGTERM received\" line")
    v.check(graceful, "no \"Gracefully shut down\"")
    v.check(not crashes, "crash lines: %s" % crashes[:3])

    journal = Journal(root.path("/tmp/kavo_sim/iav.journal"))
    # Loop stalls: stretches without any driver request of the streamer.
    stalls = [(x, y) for x, y in zip(journal.times, journal.times[1:]) if y - x > 250_000_000]

    def blocked(s, e):
        total = 0
        for a, b in stalls:
            lo, hi = max(a, s), min(b, e)
            if hi > lo:
                total += hi - lo
        return total

    if rec["valgrind"]:
        ours, summary, others = _valgrind_records(soak)
        v.check(summary, "no valgrind summary")
        v.check(not ours, "valgrind: leaks through our code: %s" % ours[:3])
        v.notes.append("valgrind: " + "; ".join(summary))
        for o in others[:10]:
            v.notes.append("valgrind error through our code: " + o)

    ipc = rec["ipc"]
    answered = ipc["answered"]
    latencies = sorted((b - a) / 1e9 for a, b, _, _ in answered)
    # Under valgrind everything is slow: answers and resources are reported, not judged.
    timing = not rec["valgrind"]
    late = [(a, b, k) for a, b, k, _ in answered if timing and (b - a) - blocked(a, b) > 1_000_000_000]
    v.check(not late, "%d answers later than 1 s after the loop's next turn (first: %s)" % (
        len(late), ["%s %.2f s" % (k, (b - a) / 1e9) for a, b, k in late[:5]]))
    # What was still in flight when the clients went away is not owed an answer.
    end_ns = rec.get("peers_gone_at", rec["term_at"])
    missing = [(t, k) for t, k in ipc["unanswered"] if end_ns - t > 3_000_000_000]
    # Under valgrind the deadlines of the peers are too short: what they saw is reported only.
    timed = v.check if timing else (lambda ok, what: ok or v.notes.append(what))
    timed(not missing, "%d requests never answered (%s)" % (len(missing), [k for _, k in missing[:10]]))
    wrong = [w for w in ipc["wrong"] if timing or w[0] != "churn"]
    v.check(not wrong, "%d wrong answers: %s" % (ipc["wrong_count"], wrong[:8]))
    timed(not ipc["churn_not_closed"], "malformed input not refused: %s" % ipc["churn_not_closed"][:10])
    timed(not rec["events"], "peers saw: %s" % rec["events"][:10])
    v.check(rec["live"]["connected"] > 0 and rec["drop"]["connected"] > 0, "no live-view or TCP peer connected")
    # The settings sent back whole keep the recordings; clients that leave lock nobody out; a
    # burst of requests on one connection is answered whole.
    resend, leavers, burst = rec.get("resend", {}), rec.get("leavers", {}), rec.get("burst", {})
    if resend.get("enabled"):
        v.check(resend["sent"] > 0, "the settings were never sent back")
        v.check(not resend["wrong"], "settings sent back whole: %s" % resend["wrong"][:5])
    if leavers.get("enabled"):
        v.check(not leavers["failed"], "leavers could not connect: %s" % leavers["failed"][:3])
        v.check(leavers["left"] >= (100 if rec["streaming_s"] >= 90 else 1), "only %d clients left before their "
                "answer" % leavers["left"])
    if burst.get("enabled"):
        v.check(burst["bursts"] and all(n == Burst.COUNT for n, _ in burst["bursts"]) and not burst["wrong"],
                "bursts of %d requests: %s %s" % (Burst.COUNT, burst["bursts"][:5], burst["wrong"][:3]))

    # Resources: no trend over the last half.
    samples = rec["samples"]
    asan = _is_sanitized(rec["program"])
    rss_trend, rss_lo, rss_hi = trend(samples, 1)
    fd_trend, fd_lo, fd_hi = trend(samples, 2)
    # An hour shows a steady state; two minutes still hold the tail of the warm-up (buffers that
    # reach their high-water marks, the slow peer's backlog moving through its buffer), so the
    # short run only catches gross growth, beyond about half a kilobyte per request.
    rss_limit = 2048 if rec["streaming_s"] >= 1200 else 6144
    if asan or not timing:
        v.notes.append("RSS under a sanitizer or valgrind is reported, not judged")
    else:
        v.check(rss_trend <= rss_limit, "RSS grows over the last half: %+.0f KiB (%d..%d KiB)" % (rss_trend, rss_lo,
                                                                                              rss_hi))
    if rec["streaming_s"] >= 1200:
        v.check(not timing or fd_trend <= 3.0, "descriptors grow over the last half: %+.1f (%d..%d)" % (fd_trend, fd_lo,
                                                                                                  fd_hi))
    else:
        # Peers that come and go move the count by a dozen from one second to the next, which
        # neither a slope over a minute nor the floor of a few seconds averages out. Once every peer
        # of the run has gone, what a leak left behind stays above the fewest descriptors the
        # settled streamer held in the first half (its first 10 s still connect the destinations).
        start = samples[0][0] + 10 if samples else 0
        first = [x[2] for x in samples[:len(samples) // 2] if x[0] >= start]
        quiet = rec.get("quiet_fds")
        v.check(not timing or quiet is not None, "descriptor count did not settle after the peers left")
        if timing and quiet is not None and first:
            v.check(quiet - min(first) <= 3, "descriptors left after the peers went: %d against %d in the first half "
                    "(%d..%d)" % (quiet, min(first), fd_lo, fd_hi))

    # Streams.
    ordinals = {"video1": 0, "video2": 1}
    reads = journal.pictures
    read_count = journal.reads
    effect_between = journal.effect_between

    outputs = []
    for name in VIDEO:
        outputs.append((name, root.path("/tmp/%s.flv" % name), True))
        for p in rec["captures"][name]:
            outputs.append((name, p, True))
    outputs.append(("video1", rec["slow"]["path"], False))
    stream_figures = {}
    unexplained_total = 0
    jobs = []
    for name, path, numbers in outputs:
        label = os.path.basename(path)
        if not os.path.exists(path) or os.path.getsize(path) < 13:
            v.check(not numbers, "%s is empty" % label)
            continue
        with open(path, "rb") as f:
            data = f.read()
        try:
            tags, trailing = parse_flv(data)
        except AssertionError as e:
            v.check(False, "%s: %s" % (label, e))
            continue
        if trailing and path.startswith(soak):
            # A TCP peer may lose the end of the last tag: the streamer drops what the socket has
            # not taken when it closes. Judge the complete tags.
            trimmed = path + ".whole"
            with open(trimmed, "wb") as f:
                f.write(data[:len(data) - trailing])
            path = trimmed
        else:
            v.check(trailing == 0, "%s ends inside a tag" % label)
        del data
        audio = sum(1 for t in tags if t[0] == 8)
        numbers = numbers and not rec.get("replay")
        jobs.append((name, label, path, numbers, len(tags), audio))
        del tags
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        decoded = list(pool.map(lambda j: decode(j[2], VIDEO[j[0]][0], VIDEO[j[0]][1], j[3]), jobs))
    for (name, label, path, numbers, ntags, audio), (rc, err, nums) in zip(jobs, decoded):
        v.check(rc == 0 and err == "", "%s does not decode cleanly: %s" % (label, err[:300]))
        v.check(audio > 0, "%s has no audio" % label)
        if not numbers:
            stream_figures[label] = {"tags": ntags, "audio_tags": audio}
            continue
        known = [n for n in nums if n is not None]
        unreadable = len(nums) - len(known)
        k = ordinals[name]
        gaps = unexplained = lost = 0
        back = 0
        for a, b in zip(known, known[1:]):
            if b <= a:
                back += 1
                continue
            if b == a + 1:
                continue
            gaps += 1
            lost += b - a - 1
            sa, sb = reads.get(k, {}).get(a), reads.get(k, {}).get(b)
            if sa is None or sb is None or not effect_between(sa, sb):
                unexplained += 1
                if unexplained <= 5:
                    v.notes.append("%s: gap %d -> %d without a fault (reads %s, %s)" % (label, a, b, sa, sb))
        unexplained_total += unexplained
        v.check(back == 0, "%s: %d pictures out of order" % (label, back))
        v.check(unexplained == 0, "%s: %d gaps without an injected fault" % (label, unexplained))
        v.check(unreadable <= max(2, len(nums) // 200), "%s: %d of %d pictures unreadable" % (label, unreadable,
                                                                                              len(nums)))
        stream_figures[label] = {"pictures": len(nums), "gaps": gaps, "lost": lost, "unreadable": unreadable,
                                 "audio_tags": audio, "reads": read_count.get(k, 0)}

    # MJPEG pictures kept by the sampler.
    bad_jpeg = 0
    for p in rec["pictures"]:
        rc, err = ffmpeg_clean(p)
        if rc != 0 or err:
            bad_jpeg += 1
    v.check(bad_jpeg == 0, "%d MJPEG pictures do not decode" % bad_jpeg)

    # Every fault was followed by frames of both H.264 streams within 5 s of its first effect.
    faults = rec["faults"]
    injected = recovered = 0
    not_recovered = []
    for i, (at, kind, doc) in enumerate(faults):
        if not doc["faults"]:
            continue
        end = faults[i + 1][0] if i + 1 < len(faults) else rec["term_at"]
        t0 = journal.first_effect(at, end)
        if t0 is None:
            continue
        injected += 1
        if t0 + 5_000_000_000 > rec["term_at"] or all(journal.read_after(o, t0, t0 + 5_000_000_000) for o in (0, 1)):
            recovered += 1
        else:
            not_recovered.append(kind)
    timed(not not_recovered, "no frames within 5 s after the faults %s" % not_recovered[:10])

    # Figures.
    streaming = rec["streaming_s"]
    cpu = [s[3] for s in samples]
    rss = [s[1] for s in samples]
    fds = [s[2] for s in samples]
    sent = ipc["sent"]
    figures = {
        "streaming_s": round(streaming, 1),
        "requests_sent": sum(sent.values()),
        "requests_answered": len(answered),
        "requests_per_s": round(sum(sent.values()) / streaming, 1) if streaming else 0,
        "answer_latency_ms": {"median": round(1000 * latencies[len(latencies) // 2], 1) if latencies else None,
                              "p99": round(1000 * latencies[int(len(latencies) * 0.99)], 1) if latencies else None,
                              "max": round(1000 * latencies[-1], 1) if latencies else None},
        "malformed_refused": ipc["churn_closed"],
        "tcp_peer": rec["drop"], "live_view": rec["live"], "avclient": rec["avclient"],
        "settings_sent_back": resend.get("sent"), "clients_left_before_answer": leavers.get("left"),
        "bursts_answered_s": [t for _, t in burst.get("bursts", [])],
        "faults_injected": injected, "faults_recovered": recovered, "fault_files": len([f for f in faults if f[2]["faults"]]),
        "fault_kinds": _count([f[1] for f in faults if f[2]["faults"]]), "sound_overruns": rec["xruns"],
        "loop_stalls": len(stalls), "longest_stall_ms": round(max([b - a for a, b in stalls], default=0) / 1e6),
        "peak_rss_kib": max(rss) if rss else 0, "rss_last_half_kib": [rss_lo, rss_hi],
        "rss_trend_kib": round(rss_trend), "fds_last_half": [fd_lo, fd_hi], "fd_trend": round(fd_trend, 1),
        "fds_after_peers": rec.get("quiet_fds"),
        "cpu_s_per_s": round((cpu[-1] - cpu[0]) / (samples[-1][0] - samples[0][0]), 3) if len(samples) > 1 else None,
        "streams": stream_figures, "mjpeg_pictures": len(rec["pictures"]),
        "log_counts": counts, "log_bytes_per_s": round(rec.get("log_bytes", 0) / streaming) if streaming else 0,
    }
    with open(os.path.join(soak, "figures.json"), "w") as f:
        json.dump({"figures": figures, "failures": v.failures, "notes": v.notes}, f, indent=1)
    if verbose:
        print(json.dumps(figures, indent=1))
        for n in v.notes:
            print("note:", n)
        for x in v.failures:
            print("FAIL:", x)
        print("PASS" if not v.failures else "FAILED (%d)" % len(v.failures))
    return v


def _count(xs):
    out = {}
    for x in xs:
        out[x] = out.get(x, 0) + 1
    return out


def _valgrind_records(folder):
    """Valgrind's error and loss records that pass through this tree's code, and its summary."""
    ours, summary, others = [], [], []
    for name in sorted(os.listdir(folder)):
        if not name.startswith("valgrind."):
            continue
        with open(os.path.join(folder, name), errors="replace") as f:
            text = f.read()
        for line in text.splitlines():
            for w in ("definitely lost:", "indirectly lost:", "possibly lost:", "ERROR SUMMARY:"):
                if w in line:
                    summary.append(line.split("== ", 1)[-1].strip())
        record = []
        for line in text.splitlines() + ["==0== "]:
            body = line.split("== ", 1)[-1] if "== " in line else line
            if body.strip() == "":
                if record and any(TREE + "/" in l and "/tests/" not in l for l in record[1:]):
                    head = record[0]
                    if "definitely lost" in head or "indirectly lost" in head:
                        ours.append(" | ".join(x.strip() for x in record[:8]))
                    elif "Invalid" in head or "uninitialised" in head or "Mismatched" in head or "possibly lost" in head:
                        others.append(" | ".join(x.strip() for x in record[:8]))
                record = []
            else:
                record.append(body)
    return ours, summary, others


def _is_sanitized(program):
    try:
        r = subprocess.run(["ldd", program], capture_output=True, text=True)
        return "libasan" in r.stdout
    except OSError:
        return False


def _scan_log(path):
    """Counts of the messages worth a figure; sanitizer and crash lines; the shut-down line."""
    counts = {w: 0 for w in LOG_WORDS}
    sanitizer, crashes, graceful = [], [], False
    with open(path, errors="replace") as f:
        for line in f:
            for w in LOG_WORDS:
                if w in line:
                    counts[w] += 1
            if any(w in line for w in SANITIZER_WORDS) and len(sanitizer) < 20:
                sanitizer.append(line.rstrip())
            if ("Segmentation" in line or "crash dump" in line.lower()) and len(crashes) < 20:
                crashes.append(line.rstrip())
            if "Gracefully shut down" in line:
                graceful = True
    return counts, sanitizer, crashes, graceful


LOG_WORDS = ["Encoding issues detected", "Start Encoding Failed!", "Try to restart streamer Failed!!",
             "Start Encoding still Failed!!", "IAV_IOC_READ_BITSTREAM_EX failed", "Frames are skipped",
             "Adjusted down", "Adjusted up", "Unable to read json", "exceeds the limit", "writev failed",
             "Unable to write to", "Unable to connect", "overrun", "xrun", "Unable to change bitrate",
             "Incorrect bitrate settings", "IAV_IOC_FORCE_IDR_EX failed", "answer(s) to", "unreachable destinations"]


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
    args = ap.parse_args()
    if args.judge:
        return 0 if not judge(args.judge).failures else 1
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    print("seed:", args.seed, flush=True)
    root = run(args)
    if not isinstance(root, Root):
        return root
    v = judge(root.dir)
    if v.failures or args.keep or os.environ.get("KAVO_KEEP_ROOT"):
        print("root kept:", root.dir)
    else:
        shutil.rmtree(root.dir, ignore_errors=True)
    return 0 if not v.failures else 1


if __name__ == "__main__":
    sys.exit(main())
