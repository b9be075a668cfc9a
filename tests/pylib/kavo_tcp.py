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


def free_port():
    """A port nobody listens on at the moment."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Capture(threading.Thread):
    """A peer that a program connects to, one connection after another, and that reads each to its
    end: stored as its own file (<prefix>.<n>.flv) when a prefix is given, else only counted.

    `stop` is anything with a truth value and a `final` attribute; when it turns true no further
    connection is taken, and once `final` is true a connection ends at the first 0.2 s without
    data. Without one, close() does both."""

    def __init__(self, prefix=None, stop=None):
        super().__init__(daemon=True)
        self.prefix = prefix
        self.stop = stop if stop is not None else _Flag()
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.connected = threading.Event()  # set by the first connection
        self.files = []
        self.bytes = 0

    def run(self):
        self.sock.settimeout(0.2)
        while not self.stop:
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
                    if out is not None:
                        out.write(data)
                    self.bytes += len(data)
            finally:
                if out is not None:
                    out.close()
                conn.close()
        self.sock.close()

    def close(self):
        """Stops a capture that has no `stop` of its caller's and waits for it."""
        self.stop.set()
        self.join(2)
        self.sock.close()


class _Flag:
    def __init__(self):
        self.final = False

    def __bool__(self):
        return self.final

    def set(self):
        self.final = True
