"""Stand-ins of the ISP server's IPC peers: a client and the analytics process. Written from the
wire protocol with the Python 3 standard library only, sharing no code with the system or its
other test peers.

Wire: every frame is a 4-byte big-endian body length and the body. Endpoints listen on UNIX
stream sockets "/var/run/ipc/<name>" under the test root; the side that connects sends its own
name as the raw body of its first frame, and every later frame is one JSON message.

    client = Client(root_dir)                                 # connects as "tclient"
    rid = client.request("ChangeIspSettings", {"brightness": 70})
    analytics = Analytics(root_dir)                           # listens as "kavo_analytics"
    note = analytics.announcement()                           # the server's request
    analytics.answer(note, status=0)
    answer = client.answer(rid)                               # {"statusCode": 0, "payload": {...}}
"""
import json
import os
import random
import selectors
import socket
import struct
import time

SERVER = "kavo_ispserver"


def socket_path(root, name):
    return os.path.join(root, "var", "run", "ipc", name)


def frame(body):
    return struct.pack(">I", len(body)) + body


class Connection:
    """One stream socket: frames out, frames in (kept until read)."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setblocking(False)
        self.pending = b""
        self.frames = []
        self.closed = False

    def send_frame(self, body):
        self.sock.setblocking(True)
        try:
            self.sock.sendall(frame(body))
        finally:
            self.sock.setblocking(False)

    def send(self, message):
        self.send_frame(json.dumps(message, separators=(",", ":")).encode())

    def pump(self):
        """Reads what is there; False once the peer has closed."""
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                break
            except OSError:
                data = b""
            if not data:
                self.closed = True
                break
            self.pending += data
        while len(self.pending) >= 4:
            size = struct.unpack(">I", self.pending[:4])[0]
            if len(self.pending) < 4 + size:
                break
            self.frames.append(self.pending[4:4 + size])
            self.pending = self.pending[4 + size:]
        return not self.closed

    def close(self):
        self.sock.close()


def new_id():
    return random.randrange(1, 1 << 52)


class Client:
    """A client endpoint: connects to the server (waiting until it listens) and keeps every
    answer by the id of the request it answers."""

    def __init__(self, root, name="tclient", to=SERVER, timeout=20.0):
        self.name, self.to = name, to
        path = socket_path(root, to)
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        self.conn = Connection(sock)
        self.conn.send_frame(name.encode())
        self.answers = {}
        self.others = []

    def request(self, function, fields=None, response_expected=True, expect_key=True):
        """Sends a request; its id. `expect_key` False leaves "responseExpected" out."""
        rid = new_id()
        message = {"id": rid, "timeStamp": time.time(), "from": self.name, "to": self.to,
                   "functionName": function}
        if expect_key:
            message["responseExpected"] = response_expected
        message.update(fields or {})
        self.conn.send(message)
        return rid

    def _take(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.conn.sock, selectors.EVENT_READ)
        sel.select(timeout)
        sel.close()
        self.conn.pump()
        while self.conn.frames:
            message = json.loads(self.conn.frames.pop(0))
            if message.get("functionName") == "__response__":
                self.answers[message.get("requestId")] = message
            else:
                self.others.append(message)

    def answer(self, rid, timeout=10.0):
        """The answer to request `rid`, or None when none came within `timeout`."""
        deadline = time.monotonic() + timeout
        while rid not in self.answers:
            left = deadline - time.monotonic()
            if left <= 0 or self.conn.closed:
                break
            self._take(min(left, 0.05))
        return self.answers.get(rid)

    def call(self, function, fields=None, timeout=10.0):
        return self.answer(self.request(function, fields), timeout)

    def close(self):
        self.conn.close()


class Analytics:
    """The analytics endpoint: listens, takes the server's connection and keeps its requests."""

    def __init__(self, root, name="kavo_analytics"):
        self.name = name
        path = socket_path(root, name)
        if os.path.exists(path):
            os.unlink(path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(8)
        self.listener.setblocking(False)
        self.path = path
        self.conns = []          # (connection, peer name or None)
        self.requests = []       # every request received, in order
        self.read = 0            # how many of them announcement() handed out

    def _pump(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.listener, selectors.EVENT_READ)
        for conn, _ in self.conns:
            if not conn.closed:
                sel.register(conn.sock, selectors.EVENT_READ)
        sel.select(timeout)
        sel.close()
        while True:
            try:
                sock, _ = self.listener.accept()
            except BlockingIOError:
                break
            self.conns.append([Connection(sock), None])
        for entry in self.conns:
            conn = entry[0]
            if conn.closed:
                continue
            conn.pump()
            while conn.frames:
                body = conn.frames.pop(0)
                if entry[1] is None:
                    entry[1] = body.decode()  # the connecting side's name
                    continue
                message = json.loads(body)
                message["_conn"] = conn
                self.requests.append(message)

    def announcement(self, timeout=10.0):
        """The next request from the server, or None."""
        deadline = time.monotonic() + timeout
        while self.read >= len(self.requests):
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self._pump(min(left, 0.05))
        self.read += 1
        return self.requests[self.read - 1]

    def quiet(self, seconds):
        """Takes what arrives for `seconds`; the number of requests that arrived."""
        before = len(self.requests)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._pump(min(deadline - time.monotonic(), 0.05))
        return len(self.requests) - before

    def answer(self, request, status=0, payload=None):
        request["_conn"].send({"id": new_id(), "timeStamp": time.time(), "from": self.name,
                               "to": request.get("from", ""), "functionName": "__response__",
                               "requestId": request["id"], "statusCode": status, "payload": payload})

    def close(self):
        for conn, _ in self.conns:
            conn.close()
        self.listener.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass


def change_settings(client, analytics, fields, timeout=20.0):
    """A "ChangeIspSettings" request with `fields`, the server's announcement of it (a change of
    nothing has none) agreed to by `analytics`; the answer, or None when none came in `timeout`."""
    rid = client.request("ChangeIspSettings", fields)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        note = analytics.announcement(timeout=0.02)
        if note is not None:
            analytics.answer(note)
        answer = client.answer(rid, timeout=0.02)
        if answer is not None:
            return answer
    return None
