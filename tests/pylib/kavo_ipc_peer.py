"""An IPC peer for tests, written from the wire protocol with the Python 3 standard library only.

Wire protocol: every frame is a 4-byte big-endian body length, then the body. The side that
connects sends its own endpoint name as the raw body of its first frame; the accepting side sends
no name. Every later frame is one message as compact JSON. Endpoints listen on UNIX stream
sockets at "/var/run/ipc/<name>" under the test root (KAVO_ROOT).

    from kavo_ipc_peer import Connection, Endpoint

    with Connection.connect("kavo_streamer", "py_client") as c:       # handshake sent
        response = c.call("ForceIDR", payload={"streamId": 1})        # waits for the answer
        assert response["statusCode"] == 0

    with Endpoint("kavo_avclient") as ep:                             # listens as a named endpoint
        conn, message = ep.wait_message(lambda m: m["functionName"] == "EventStreamingStatus")
        ep.respond(message, payload={"ok": True})

Messages are dicts. Requests built here carry "id", "timeStamp", "from", "to", "functionName"
and "responseExpected"; responses "functionName" "__response__", "requestId", "statusCode" and
"payload".
"""

import json
import os
import random
import selectors
import socket
import struct
import threading
import time

__all__ = [
    "MAX_SOCKET_PATH", "RESPONSE_FUNCTION", "PeerClosed", "root_dir", "socket_path", "encode_frame",
    "FrameReader", "new_id", "make_request", "make_response", "Connection", "Listener", "Endpoint",
]

# Longest camera path of an endpoint socket: "/var/run/ipc/" and 93 characters.
MAX_SOCKET_PATH = 106
RESPONSE_FUNCTION = "__response__"
_SUN_PATH_MAX = 107
_cwd_lock = threading.Lock()


class PeerClosed(Exception):
    """The other side closed the connection."""


def root_dir(root=None):
    """The test root: `root`, else KAVO_ROOT, else "" (paths as they stand)."""
    r = root if root is not None else os.environ.get("KAVO_ROOT", "")
    return r.rstrip("/") if r not in ("", "/") else ""


def socket_path(name, root=None):
    """Real path of endpoint `name`'s socket. ValueError when the camera path is too long."""
    camera = "/var/run/ipc/" + name
    if len(camera) > MAX_SOCKET_PATH:
        raise ValueError("Unix socket path too long: `%s`" % camera)
    return root_dir(root) + camera


def _at_path(sock, path, op):
    # A test root may push the path beyond sun_path: address it from its folder.
    if len(path.encode()) <= _SUN_PATH_MAX:
        return op(path)
    folder, base = os.path.split(path)
    with _cwd_lock:
        saved = os.open(".", os.O_RDONLY)
        try:
            os.chdir(folder)
            return op(base)
        finally:
            os.fchdir(saved)
            os.close(saved)


def encode_frame(body):
    """One frame: the big-endian length of `body` (bytes or str), then `body`."""
    if isinstance(body, str):
        body = body.encode()
    return struct.pack(">I", len(body)) + body


class FrameReader:
    """Splits a byte stream into frame bodies."""

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        """Adds bytes; returns the list of bodies completed by them."""
        self.buffer += data
        bodies = []
        while len(self.buffer) >= 4:
            (n,) = struct.unpack(">I", self.buffer[:4])
            if len(self.buffer) < 4 + n:
                break
            bodies.append(bytes(self.buffer[4:4 + n]))
            del self.buffer[:4 + n]
        return bodies


def new_id():
    """A fresh message id (below 2**53, so JSON readers that use doubles keep it exact)."""
    return random.randrange(1, 1 << 53)


def make_request(function, to, frm, payload=None, response_expected=True, **keys):
    message = {
        "id": new_id(), "timeStamp": time.time(), "from": frm, "to": to,
        "functionName": function, "responseExpected": bool(response_expected),
    }
    if payload is not None:
        message["payload"] = payload
    message.update(keys)
    return message


def make_response(request, status=0, payload=None, frm=None):
    """The answer to `request` (a dict received): "from"/"to" swapped, "requestId" set."""
    return {
        "id": new_id(), "timeStamp": time.time(),
        "from": frm if frm is not None else request.get("to", ""), "to": request.get("from", ""),
        "functionName": RESPONSE_FUNCTION, "requestId": request.get("id", 0),
        "statusCode": status, "payload": payload,
    }


class Connection:
    """One stream connection. `peer_name` is the other side's endpoint name when known."""

    def __init__(self, sock, self_name="", peer_name=None):
        self.sock = sock
        self.self_name = self_name
        self.peer_name = peer_name
        self.reader = FrameReader()
        self.frames = []   # bodies read but not yet returned
        self.backlog = []  # messages read while waiting for another one
        self.closed = False

    @classmethod
    def connect(cls, to, self_name, root=None, timeout=5.0, handshake=True):
        """Connects to endpoint `to`, retrying until `timeout`; sends `self_name` first unless
        `handshake` is false. ConnectionError when nobody listens in time."""
        path = socket_path(to, root)
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                _at_path(sock, path, sock.connect)
                break
            except OSError:
                sock.close()
                if time.monotonic() >= deadline:
                    raise ConnectionError("nobody listens at %s" % path)
                time.sleep(0.02)
        conn = cls(sock, self_name, to)
        if handshake:
            conn.send_frame(self_name)
        return conn

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fileno(self):
        return self.sock.fileno()

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    # ---- writing ------------------------------------------------------------------------------
    # A large frame waits for the peer to read it; a sanitizer build on a loaded machine reads
    # megabytes slowly, so writes get far longer than the last read's time-out.
    SEND_TIMEOUT = 60.0

    def send_raw(self, data):
        self.sock.settimeout(self.SEND_TIMEOUT)
        self.sock.sendall(data)

    def send_frame(self, body):
        self.send_raw(encode_frame(body))

    def send_message(self, message):
        self.send_frame(json.dumps(message, separators=(",", ":")))
        return message

    def request(self, function, payload=None, response_expected=True, to=None, **keys):
        """Sends a request to the peer (or `to`); returns the message sent."""
        return self.send_message(make_request(function, to if to is not None else self.peer_name,
                                              self.self_name, payload, response_expected, **keys))

    def respond(self, request, status=0, payload=None):
        return self.send_message(make_response(request, status, payload, frm=self.self_name))

    # ---- reading ------------------------------------------------------------------------------
    def _fill(self, timeout):
        """Reads once; False when the peer closed. socket.timeout when nothing came."""
        self.sock.settimeout(timeout)
        data = self.sock.recv(1 << 20)
        if not data:
            self.closed = True
            return False
        self.frames += self.reader.feed(data)
        return True

    def read_frame(self, timeout=5.0):
        """The next frame body (bytes). PeerClosed at end of stream, TimeoutError after `timeout`."""
        deadline = time.monotonic() + timeout
        while not self.frames:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no frame within %.1f s" % timeout)
            try:
                if not self._fill(left):
                    raise PeerClosed()
            except socket.timeout:
                raise TimeoutError("no frame within %.1f s" % timeout) from None
        return self.frames.pop(0)

    def read_message(self, timeout=5.0):
        if self.backlog:
            return self.backlog.pop(0)
        return json.loads(self.read_frame(timeout))

    def wait_message(self, match, timeout=5.0):
        """The first message (backlog first) for which match(message) holds; others are kept."""
        for i, m in enumerate(self.backlog):
            if match(m):
                return self.backlog.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            m = json.loads(self.read_frame(max(0.0, deadline - time.monotonic())))
            if match(m):
                return m
            self.backlog.append(m)

    def wait_response(self, request_id, timeout=5.0):
        return self.wait_message(lambda m: m.get("functionName") == RESPONSE_FUNCTION
                                 and m.get("requestId") == request_id, timeout)

    def call(self, function, payload=None, timeout=5.0, **keys):
        """Sends a request that expects an answer and returns the answer."""
        sent = self.request(function, payload, True, **keys)
        return self.wait_response(sent["id"], timeout)

    def is_closed_by_peer(self, timeout=2.0):
        """True when the peer closes the connection within `timeout` (data read meanwhile is kept)."""
        deadline = time.monotonic() + timeout
        while not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                self._fill(left)
            except socket.timeout:
                return False
            except (ConnectionResetError, BrokenPipeError):
                self.closed = True
        return True


class Listener:
    """A listening socket at endpoint `name` (a stale socket file is replaced)."""

    def __init__(self, name, root=None, backlog=128):
        self.name = name
        self.path = socket_path(name, root)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        _at_path(self.sock, self.path, self.sock.bind)
        self.sock.listen(backlog)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fileno(self):
        return self.sock.fileno()

    def accept(self, timeout=5.0, read_handshake=True):
        """The next connection; with `read_handshake` its first frame is read as the peer's name."""
        self.sock.settimeout(timeout)
        try:
            sock, _ = self.sock.accept()
        except socket.timeout:
            raise TimeoutError("no connection within %.1f s" % timeout) from None
        sock.settimeout(None)
        conn = Connection(sock, self.name)
        if read_handshake:
            conn.peer_name = conn.read_frame(timeout).decode()
        return conn

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass


class Endpoint:
    """A named endpoint: listens, accepts, reads messages from every connection and sends to
    peers by name over the newest connection with that peer (or a new one), like the hub does."""

    def __init__(self, name, root=None):
        self.name = name
        self.root = root
        self.listener = Listener(name, root)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener.sock, selectors.EVENT_READ, None)
        self.by_peer = {}
        self.pending = []  # (connection, message) read but not yet returned

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for key in list(self.selector.get_map().values()):
            if isinstance(key.data, Connection):
                key.data.close()
        self.selector.close()
        self.listener.close()

    def _adopt(self, conn):
        self.selector.register(conn.sock, selectors.EVENT_READ, conn)
        if conn.peer_name:
            self.by_peer[conn.peer_name] = conn

    def _drop(self, conn):
        try:
            self.selector.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        if self.by_peer.get(conn.peer_name) is conn:
            del self.by_peer[conn.peer_name]
        conn.close()

    def poll(self, timeout=0.1):
        """Serves the sockets once: accepts and reads what is there; returns (connection,
        message) pairs received, in order."""
        for key, _ in self.selector.select(timeout):
            if key.data is None:
                sock, _ = self.listener.sock.accept()
                self._adopt(Connection(sock, self.name, None))
                continue
            conn = key.data
            try:
                alive = conn._fill(0)
            except (socket.timeout, BlockingIOError):
                continue
            except OSError:
                alive = False
            while conn.frames:
                body = conn.frames.pop(0)
                if conn.peer_name is None:
                    conn.peer_name = body.decode()
                    self.by_peer[conn.peer_name] = conn
                    continue
                self.pending.append((conn, json.loads(body)))
            if not alive:
                self._drop(conn)
        out, self.pending = self.pending, []
        return out

    def wait_message(self, match=lambda m: True, timeout=5.0):
        """The first message received for which match(message) holds; others are dropped."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for i, (conn, m) in enumerate(self.poll(min(0.05, max(0.0, deadline - time.monotonic())))):
                if match(m):
                    return conn, m
        raise TimeoutError("no matching message within %.1f s" % timeout)

    def send(self, message, timeout=5.0):
        """Sends `message` to its "to" over the peer's connection, connecting when there is none."""
        to = message["to"]
        conn = self.by_peer.get(to)
        if conn is None or conn.sock is None:
            conn = Connection.connect(to, self.name, self.root, timeout)
            self._adopt(conn)
        conn.send_message(message)
        return message

    def request(self, to, function, payload=None, response_expected=True, **keys):
        return self.send(make_request(function, to, self.name, payload, response_expected, **keys))

    def respond(self, request, status=0, payload=None):
        return self.send(make_response(request, status, payload, frm=self.name))
