#!/usr/bin/env python3
"""Drops PGM frame files at a fixed path, one at a time, as a producer of external frames does
(Python 3 standard library only). Each file is written under a temporary name and renamed into
place; the next one follows once the reader has claimed (moved away) the one before.

    pgm_producer.py PATH SPEC...

SPEC: WxH (frame k of the run has pixel (x, y) = (x + 2 * y + k) mod 256), "bad" (a 16-bit PGM),
"short" (a 64x48 header with half its pixels), "huge" (a header of 65536 x 65536 and no pixels).
Exits 0 when every file was claimed, 1 when one stayed for 20 s.
"""
import os
import sys
import time


def frame(width, height, k):
    head = b"P5\n%d %d\n255\n" % (width, height)
    rows = bytearray()
    for y in range(height):
        start = (2 * y + k) % 256
        row = bytes((start + x) % 256 for x in range(min(width, 256)))
        rows += (row * (width // 256 + 1))[:width]
    return head + bytes(rows)


def content(spec, k):
    if spec == "bad":
        return b"P5\n64 64\n65535\n" + bytes(64 * 64 * 2)
    if spec == "short":
        return b"P5\n64 48\n255\n" + bytes(64 * 24)
    if spec == "huge":
        return b"P5\n65536 65536\n255\n"
    width, height = (int(v) for v in spec.split("x"))
    return frame(width, height, k)


def main():
    path = sys.argv[1]
    for k, spec in enumerate(sys.argv[2:]):
        tmp = path + ".producing"
        with open(tmp, "wb") as f:
            f.write(content(spec, k))
        os.rename(tmp, path)
        deadline = time.monotonic() + 20
        while os.path.exists(path):
            if time.monotonic() > deadline:
                print("frame %d (%s) was not claimed" % (k, spec), file=sys.stderr)
                return 1
            time.sleep(0.005)
    return 0


if __name__ == "__main__":
    sys.exit(main())
