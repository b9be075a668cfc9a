#!/usr/bin/env python3
"""A TCP peer that reads slowly until told to read at full speed.

    slow_reader.py PORT_FILE OUT FAST_FILE [BYTES_PER_SECOND]

Listens on 127.0.0.1 with a small receive buffer, writes its port to PORT_FILE, accepts one
connection and stores every byte in OUT. While FAST_FILE does not exist it reads about
BYTES_PER_SECOND (default 40000); afterwards as fast as the data comes. Ends at end of stream.
"""
import os
import socket
import sys
import time


def main():
    port_file, out, fast_file = sys.argv[1], sys.argv[2], sys.argv[3]
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 40000
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    conn, _ = server.accept()
    chunk = 1024
    with open(out, "wb") as f:
        while True:
            fast = os.path.exists(fast_file)
            data = conn.recv(1 << 16 if fast else chunk)
            if not data:
                break
            f.write(data)
            f.flush()
            if not fast:
                time.sleep(len(data) / rate)
    conn.close()
    server.close()


if __name__ == "__main__":
    main()
