#!/usr/bin/env python3
"""Reads the picture numbers that the simulated DSP draws into its test scene.

Input: raw 8-bit gray frames on standard input, as from
    ffmpeg -v error -i stream.h264 -f rawvideo -pix_fmt gray -
Output: one line per frame, the number, or "?" when the cells do not decode.

The top quarter of a picture holds 4 rows of 12 cells, black (0) or white (1): 32 bits of the
number, then a 16-bit check ((n >> 16) ^ (n & 0xffff) ^ 0x5a5a), most significant bit first.
"""
import argparse
import sys

COLS, ROWS = 12, 4


def check(n):
    return ((n >> 16) ^ (n & 0xFFFF) ^ 0x5A5A) & 0xFFFF


def read_number(frame, width, height, hflip=False, vflip=False):
    cell_w = width // COLS
    cell_h = (height // 4) // ROWS
    if cell_w < 2 or cell_h < 2:
        return None
    bits = 0
    for b in range(COLS * ROWS):
        x0 = (b % COLS) * cell_w
        y0 = (b // COLS) * cell_h
        total = 0
        for j in (1, 2, 3):
            for i in (1, 2, 3):
                x = x0 + cell_w * i // 4
                y = y0 + cell_h * j // 4
                if hflip:
                    x = width - 1 - x
                if vflip:
                    y = height - 1 - y
                total += frame[y * width + x]
        bits = (bits << 1) | (1 if total // 9 >= 128 else 0)
    n = bits >> 16
    if bits & 0xFFFF != check(n):
        return None
    return n


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("width", type=int)
    ap.add_argument("height", type=int)
    ap.add_argument("--hflip", action="store_true", help="the pictures are mirrored left to right")
    ap.add_argument("--vflip", action="store_true", help="the pictures are upside down")
    args = ap.parse_args()
    size = args.width * args.height
    if size <= 0:
        ap.error("width and height must be positive")
    stream = sys.stdin.buffer
    out = sys.stdout
    while True:
        frame = stream.read(size)
        if len(frame) < size:
            if frame:
                print("short frame of %d bytes at the end" % len(frame), file=sys.stderr)
            break
        n = read_number(frame, args.width, args.height, args.hflip, args.vflip)
        out.write("?\n" if n is None else "%d\n" % n)
    return 0


if __name__ == "__main__":
    sys.exit(main())
