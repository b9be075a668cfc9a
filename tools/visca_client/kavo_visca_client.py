#!/usr/bin/env python3
"""Send one VISCA packet to the ISP server's VISCA camera channel and print the reply.

    kavo_visca_client.py [--root DIR] [--timeout S] [--count N] PACKET
    kavo_visca_client.py [--root DIR] --hold S

PACKET is the VISCA packet in hex, spaces optional: "81 09 04 47 FF" (an inquiry), "81 01 04 39
03 FF" (a command). The packet is 4 to 20 bytes long; the server refuses any other length.

The reply is printed as the segment holds it, from its length byte on, in hex: "08 90 50 0p 0q 0r
0s FF" for a value, "05 90 50 vv FF" for a short reply. A request without a reply (every command
except zoom 47, focus 48 and the calibration 38 06; the recognised inquiries that answer nothing;
unknown codes; a refused command) leaves reply length 0, printed as "00".

--count N sends the packet N times and prints the round trips per second and the 50th and 99th
percentile of one round trip instead. --hold S takes the channel, keeps it S seconds and exits
without releasing it, as a client that dies while it holds the channel (the server frees it once
the holder is gone; a test of that and of the server's stop).

Protocol (System V; the segment and the set of two semaphores keyed by ftok("/tmp/shm/visca_server",
0)): take the channel {sem 0 wait-for-zero, sem 0 +1}; write byte 0 = N and the packet; release and
post {sem 0 -1, sem 1 +1}; wait for the reply with one operation {sem 1 wait-for-zero, sem 0
wait-for-zero, sem 0 +1} (the server has taken the request and lowered sem 0 again, and the channel
is this client's while it reads); read; release {sem 0 -1}. Every wait has the time-out.

Exit status: 0 when the request was answered (also with length 0), 1 for a bad packet, 2 when the
channel does not exist or does not answer in time. The root defaults to KAVO_ROOT (unset on the
camera). Python standard library only; no code of the server is used.
"""

import argparse
import ctypes
import errno
import os
import sys
import time

SEGMENT_BYTES = 64
KEY_FILE = "/tmp/shm/visca_server"


class sembuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short), ("sem_flg", ctypes.c_short)]


class timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


_libc = ctypes.CDLL(None, use_errno=True)
_libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]
_libc.ftok.restype = ctypes.c_int
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmget.restype = ctypes.c_int
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.semget.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
_libc.semget.restype = ctypes.c_int
_libc.semtimedop.argtypes = [ctypes.c_int, ctypes.POINTER(sembuf), ctypes.c_size_t, ctypes.POINTER(timespec)]
_libc.semtimedop.restype = ctypes.c_int


class ChannelError(Exception):
    pass


def _ops(*triples):
    arr = (sembuf * len(triples))()
    for i, (num, op, flg) in enumerate(triples):
        arr[i].sem_num, arr[i].sem_op, arr[i].sem_flg = num, op, flg
    return arr


def parse_packet(text):
    digits = "".join(text.split())
    if len(digits) % 2 or not digits:
        raise ValueError("the packet must be whole bytes in hex")
    data = bytes.fromhex(digits)
    if not 4 <= len(data) <= 20:
        raise ValueError("the packet must be 4 to 20 bytes long, not %d" % len(data))
    return data


class ViscaChannel:
    """The client's end of the channel under `root` (a test root, or "" on the camera)."""

    def __init__(self, root=None, timeout=5.0):
        root = os.environ.get("KAVO_ROOT", "") if root is None else root
        path = (root.rstrip("/") + KEY_FILE).encode()
        key = _libc.ftok(path, 0)
        if key == -1:
            raise ChannelError("no key file %s" % path.decode())
        self.timeout = timeout
        self.sem = _libc.semget(key, 0, 0)
        if self.sem == -1:
            raise ChannelError("no VISCA semaphore set (is the server running?)")
        shm = _libc.shmget(key, 0, 0)
        if shm == -1:
            raise ChannelError("no VISCA segment")
        addr = _libc.shmat(shm, None, 0)
        if addr is None or addr == ctypes.c_void_p(-1).value:
            raise ChannelError("cannot attach the VISCA segment")
        self.addr = addr
        self.segment = (ctypes.c_uint8 * SEGMENT_BYTES).from_address(addr)

    def close(self):
        if self.addr:
            _libc.shmdt(self.addr)
            self.addr = None

    def _semop(self, ops, deadline):
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ChannelError("the channel did not answer in time")
            ts = timespec(int(left), int((left - int(left)) * 1e9))
            if _libc.semtimedop(self.sem, ops, len(ops), ctypes.byref(ts)) == 0:
                return
            err = ctypes.get_errno()
            if err == errno.EAGAIN:
                raise ChannelError("the channel did not answer in time")
            if err != errno.EINTR:
                raise ChannelError("semop: %s" % os.strerror(err))

    def take(self, deadline):
        self._semop(_ops((0, 0, 0), (0, 1, 0)), deadline)

    def exchange(self, packet):
        """Sends `packet` (bytes) and returns the reply from its length byte on (b"\\x00": none)."""
        deadline = time.monotonic() + self.timeout
        self.take(deadline)
        ctypes.memmove(self.addr + 1, packet, len(packet))
        self.segment[0] = len(packet)
        self._semop(_ops((0, -1, 0), (1, 1, 0)), deadline)
        self._semop(_ops((1, 0, 0), (0, 0, 0), (0, 1, 0)), deadline)
        length = self.segment[0]
        reply = bytes(self.segment[:min(max(length, 1), SEGMENT_BYTES)])
        self._semop(_ops((0, -1, 0)), time.monotonic() + self.timeout)
        return reply


def hexbytes(data):
    return " ".join("%02X" % b for b in data)


def main():
    ap = argparse.ArgumentParser(description="VISCA camera channel client",
                                 epilog="A request without a reply prints 00 (reply length 0).")
    ap.add_argument("--root", default=None, help="test root (default: KAVO_ROOT)")
    ap.add_argument("--timeout", type=float, default=5.0, help="seconds to wait at each step")
    ap.add_argument("--count", type=int, default=1, help="send N times and print round-trip figures")
    ap.add_argument("--hold", type=float, default=None, help="take the channel, keep it S seconds, exit")
    ap.add_argument("packet", nargs="*", help="the packet in hex")
    args = ap.parse_args()
    try:
        channel = ViscaChannel(args.root, args.timeout)
    except ChannelError as e:
        print(e, file=sys.stderr)
        return 2
    if args.hold is not None:
        try:
            channel.take(time.monotonic() + args.timeout)
        except ChannelError as e:
            print(e, file=sys.stderr)
            return 2
        print("holding", flush=True)
        time.sleep(args.hold)
        os._exit(0)
    try:
        packet = parse_packet(" ".join(args.packet))
    except ValueError as e:
        print(e, file=sys.stderr)
        return 1
    try:
        if args.count <= 1:
            print(hexbytes(channel.exchange(packet)))
            return 0
        times = []
        for _ in range(args.count):
            t0 = time.perf_counter()
            channel.exchange(packet)
            times.append(time.perf_counter() - t0)
        times.sort()
        print("round trips %d, per second %.0f, p50 %.1f us, p99 %.1f us" % (
            len(times), len(times) / sum(times), times[len(times) // 2] * 1e6,
            times[min(len(times) - 1, int(len(times) * 0.99))] * 1e6))
        return 0
    except ChannelError as e:
        print(e, file=sys.stderr)
        return 2
    finally:
        channel.close()


if __name__ == "__main__":
    sys.exit(main())
