#!/usr/bin/env python3
"""The peers of the soak: the outside world that soak.py throws at the streamer while it runs
(Python 3 standard library). Each is a thread that acts until the shared Stop and keeps what it saw
for the judge (soak_judge.py): TCP peers that read slowly or come and go, live viewers, an IPC
flood, the "kavo_avclient" endpoint, a client that sends the settings back, clients that leave
before their answer, request bursts, fault files of the simulated devices, and a sampler of the
streamer's resources and pictures.
"""
import json
import os
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(TREE, "tests", "pylib")))
from kavo_ipc_peer import Endpoint, FrameReader, encode_frame, new_id  # noqa: E402
from kavo_tcp import listener, receive  # noqa: E402

# Streams: name, size, configured rate; the ordinal is the stream's place in the settings.
VIDEO = {"video1": (640, 360, 1500000), "video2": (320, 180, 400000)}
VALID_RANGE = (32000, 3000000)


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
        data = receive(conn, 1 << 16)
        if data is None:
            continue
        if not data:
            break
        count += len(data)
        if len(head) < 13:
            head += data[:13 - len(head)]
    return bytes(head), count


# ---- actors -------------------------------------------------------------------------------------

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
                    data = receive(s, 1024)
                    if data is None:
                        continue
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
