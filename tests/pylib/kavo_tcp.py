"""TCP peers of the programs under test, on 127.0.0.1 (Python 3 standard library only)."""
import socket
import threading


def listener(port=0, rcvbuf=None):
    """A listening socket (SO_REUSEADDR; `rcvbuf` sets SO_RCVBUF, which accepted sockets inherit)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind(("127.0.0.1", port))
    s.listen(4)
    return s


def receive(conn, size):
    """What a socket with a time-out gives: bytes; b"" once the peer has gone or on an error;
    None when nothing came in time."""
    try:
        return conn.recv(size)
    except socket.timeout:
        return None
    except OSError:
        return b""


def free_port():
    """A port nobody listens on at the moment."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Capture(threading.Thread):
    """A peer that a program connects to, one connection after another, and that reads each to its
    end: stored as its own file (<prefix>.<n>.flv) when a prefix is given, else only counted. It
    listens from its construction (on `port`, or one of the system's choice).

    `stop` is anything with a truth value and a `final` attribute, shared with other peers: when it
    turns true no further connection is taken, and once `final` is true a connection ends at the
    first 0.2 s without data. close() ends it at once, as a peer process that exits."""

    def __init__(self, prefix=None, stop=None, port=0):
        super().__init__(daemon=True)
        self.prefix = prefix
        self.stop = stop
        self.closing = False
        self.sock = listener(port)
        self.port = self.sock.getsockname()[1]
        self.connected = threading.Event()  # set by the first connection
        self.files = []
        self.bytes = 0

    def _taking(self):
        return not self.closing and not (self.stop is not None and self.stop)

    def run(self):
        self.sock.settimeout(0.2)
        while self._taking():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connected.set()
            out = None
            if self.prefix is not None:
                path = "%s.%d.flv" % (self.prefix, len(self.files))
                self.files.append(path)
                out = open(path, "wb")
            conn.settimeout(0.2)
            try:
                while not self.closing:
                    data = receive(conn, 1 << 16)
                    if data is None and not (self.stop is not None and self.stop.final):
                        continue
                    if not data:
                        break
                    if out is not None:
                        out.write(data)
                    self.bytes += len(data)
            finally:
                if out is not None:
                    out.close()
                conn.close()
        self.sock.close()

    def close(self):
        self.closing = True
        if self.is_alive():
            self.join(2)
        self.sock.close()
