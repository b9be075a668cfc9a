#!/usr/bin/env python3
"""An independent reader of the focus-server record: attaches the System V segment of a key file
(ftok, project id 0), waits until byte 0 says the record is complete, prints the six figures (four
nibbles each, most significant first), then leaves byte 0 at 2 (hold: the writer stays off) or 0.

  focus_reader.py KEYFILE hold|release
"""
import ctypes
import os
import sys
import time

libc = ctypes.CDLL(None, use_errno=True)
libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]
libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmat.restype = ctypes.c_void_p
libc.shmdt.argtypes = [ctypes.c_void_p]


def main():
    key = libc.ftok(os.fsencode(sys.argv[1]), 0)
    sid = libc.shmget(key, 25, 0)
    if key == -1 or sid == -1:
        print("no segment", ctypes.get_errno())
        return 1
    addr = libc.shmat(sid, None, 0)
    rec = (ctypes.c_uint8 * 25).from_address(addr)
    deadline = time.time() + 10
    while rec[0] == 1 and time.time() < deadline:
        time.sleep(0.001)
    rec[0] = 2  # hold the writer off while reading
    figures = [sum(rec[1 + 4 * f + k] << (12 - 4 * k) for k in range(4)) for f in range(6)]
    if sys.argv[2] == "release":
        rec[0] = 0
    print(" ".join(str(v) for v in figures))
    libc.shmdt(addr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
