#!/usr/bin/env python3
"""Cuts frame fixtures for the FLV writer's tests out of an x264 stream made by ffmpeg.

    flv_make_fixtures.py OUT.frames [--size 320x240] [--frames 45] [--keyint 15] [--slices 1]
                         [--bitrate 300k] [--h264 OUT.h264]

The stream is coded like the camera's DSP codes it (one access-unit delimiter per frame, SPS and
PPS before every key frame, no B-frames) and every start code is made 4 bytes long. Each frame
(one access unit) becomes one record of OUT.frames:

    uint32 LE  size of the frame in bytes
    uint32 LE  picture type: 1 key frame, 3 other
    uint64 LE  pts in ns (frame index / 30 s)
    size bytes the frame

--h264 also writes the frames back to back (the same bytes) for ffmpeg to read.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile


def nal_units(data):
    """(start code position, payload start) of every unit, for 3- and 4-byte start codes."""
    out = []
    i = 0
    while True:
        j = data.find(b"\x00\x00\x01", i)
        if j < 0:
            return out
        start = j - 1 if j > 0 and data[j - 1] == 0 else j
        out.append((start, j + 3))
        i = j + 3


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--size", default="320x240")
    ap.add_argument("--frames", type=int, default=45)
    ap.add_argument("--keyint", type=int, default=15)
    ap.add_argument("--slices", type=int, default=1)
    ap.add_argument("--bitrate", default="300k")
    ap.add_argument("--h264")
    a = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "s.h264")
        params = "bframes=0:keyint=%d:min-keyint=%d:scenecut=0:slices=%d:repeat-headers=1" % (
            a.keyint, a.keyint, a.slices)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=%s:rate=30" % a.size, "-frames:v", str(a.frames),
                        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "main",
                        "-b:v", a.bitrate, "-x264-params", params,
                        "-bsf:v", "h264_metadata=aud=insert", "-f", "h264", raw], check=True)
        data = open(raw, "rb").read()

    units = nal_units(data)
    frames = []
    for n, (start, payload) in enumerate(units):
        end = units[n + 1][0] if n + 1 < len(units) else len(data)
        body = data[payload:end]
        kind = body[0] & 0x1F
        if kind == 9 or not frames:
            frames.append([])
        frames[-1].append(b"\x00\x00\x00\x01" + body)

    h264 = open(a.h264, "wb") if a.h264 else None
    with open(a.out, "wb") as out:
        for index, units_of_frame in enumerate(frames):
            frame = b"".join(units_of_frame)
            key = any((u[4] & 0x1F) == 5 for u in units_of_frame)
            pts = index * 1000000000 // 30
            out.write(struct.pack("<IIQ", len(frame), 1 if key else 3, pts))
            out.write(frame)
            if h264:
                h264.write(frame)
    if h264:
        h264.close()
    print("%d frames" % len(frames), file=sys.stderr)


if __name__ == "__main__":
    main()
