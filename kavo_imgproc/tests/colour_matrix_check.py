#!/usr/bin/python3
"""The colour conversion's RGB-to-YUV sets against an independent double-precision computation:
Y row = m x contrast / 64; with s = min(saturation x 60 / 64, 255) and the angle 6 x hue degrees,
the U and V rows are the model's U and V rows rotated by that angle and scaled by s / 64; the
offsets are y + brightness. The fixed-point version rounds cos and sin to Q11 and truncates s x cos
and s x sin to whole numbers before the rows multiply them, so a U or V value may differ by up to
(|m_U| + |m_V|) / 64 + 1 and a Y value by 1. Usage: colour_matrix_check.py <dump program>."""
import json
import math
import subprocess
import sys


def expected(c):
    m = c["model"]
    s = min(c["saturation"] * 60 // 64, 255)
    a = math.radians(6 * max(-15, min(15, c["hue"])))
    cs, sn = math.cos(a) * s, math.sin(a) * s
    k = min(c["contrast"], 255)
    y = [m[i] * k / 64 for i in range(3)]
    u = [(m[6 + i] * sn + m[3 + i] * cs) / 64 for i in range(3)]
    v = [(m[6 + i] * cs - m[3 + i] * sn) / 64 for i in range(3)]
    return y + u + v + [m[9] + min(max(c["brightness"], -255), 255), m[10], m[11]]


def main():
    out = subprocess.run([sys.argv[1]], capture_output=True, text=True, check=True, timeout=60).stdout
    cases = [json.loads(l) for l in out.splitlines() if l.startswith("{")]
    assert len(cases) == 8, out
    worst = 0.0
    for c in cases:
        want = expected(c)
        m = c["model"]
        for i, (got, w) in enumerate(zip(c["set"], want)):
            bound = (abs(m[3 + i % 3]) + abs(m[6 + i % 3])) / 64 + 1 if 3 <= i < 9 else 1
            worst = max(worst, abs(got - w) / bound)
            if abs(got - w) > bound:
                print("%s: value %d is %d, double precision gives %.3f" % (c["case"], i, got, w))
                return 1
    by = {c["case"]: c["set"] for c in cases}
    if any(by["saturation 0"][3:9]):
        print("saturation 0 leaves colour: %s" % by["saturation 0"])
        return 1
    if by["black and white off"] != by["hue -4"] or by["black and white on"] != by["hue -4"]:
        print("black and white does not restore the latest conversion")
        return 1
    print("%d sets within their bounds of double precision (worst %.0f %% of a bound)" % (len(cases), 100 * worst))
    return 0


if __name__ == "__main__":
    sys.exit(main())
