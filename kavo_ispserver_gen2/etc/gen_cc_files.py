#!/usr/bin/env python3
"""Writes the colour-correction files that the ISP server reads from "/etc/ispserver/" (shipped for
the simulated camera; nothing in them comes from a camera):

  reg.bin, 3D.bin                models 2, 3 and 4 (and unknown models)
  reg_halden.bin, 3D_halden.bin  model 1
  reg_alder.bin, 3D_alder.bin    model 0
  reg_finch.bin, 3D_finch.bin    model 5

Register file, 18,752 bytes, little-endian: major version 1, minor version 1 and the size 18,752 as
32-bit words; at 12 the model's colour matrix (3 x 3 int32, 1024 = 1.0, rows R, G, B); the four
2,304-byte input tables of the image-DSP library's register sets at 9,344, 11,648, 13,952 and
16,256 (per channel R, G, B 384 16-bit values rising linearly from 0 to 4095); every other byte 0.

3D table, 17,536 bytes: a 128-byte header (major 1, minor 1 - the register file's version - and
high-ISO flag 0 as 32-bit words, then zeros); the 16 x 16 x 16 lookup, one word per grid point
(index (b x 16 + g) x 16 + r, input level k x 1023 / 15) holding the output R | G << 10 | B << 20 in
10 bits: the input through the model's colour matrix, clamped; then 256 words of a linear output
curve (value i x 1023 / 255 in all three fields).

The colour matrix is a saturation s about the BT.601 luma (s I + (1 - s) L, each row of L the luma
weights): s = 1.10 for models 2-4, 1.05 for model 1, 1.00 for model 0, 1.15 for model 5, so the
models' files differ and each is told apart by its bytes. Rows sum to 1024 (grey stays grey).

Run from anywhere:  python3 gen_cc_files.py          (writes the files beside this script)
                    python3 gen_cc_files.py --check  (recomputes and compares, exit 1 on a difference)
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, 'ispserver')

REG_BYTES, TABLE_BYTES = 18752, 17536
INPUT_TABLES = (9344, 11648, 13952, 16256)
INPUT_TABLE_BYTES = 2304
VERSION = (1, 1)
LUMA = (306, 601, 117)  # 1/1024, sums to 1024

MODELS = [  # (register file, 3D table, saturation in 1/100)
    ('reg.bin', '3D.bin', 110),
    ('reg_halden.bin', '3D_halden.bin', 105),
    ('reg_alder.bin', '3D_alder.bin', 100),
    ('reg_finch.bin', '3D_finch.bin', 115),
]


def matrix(sat):
    """Q10 saturation matrix; the diagonal takes the rounding so every row sums to 1024."""
    m = []
    for r in range(3):
        row = [((100 - sat) * LUMA[c] * 2 + 100) // 200 for c in range(3)]
        row[r] = 1024 - sum(row[c] for c in range(3) if c != r)
        m.append(row)
    return m


def register_file(sat):
    b = bytearray(REG_BYTES)
    struct.pack_into('<3I', b, 0, VERSION[0], VERSION[1], REG_BYTES)
    struct.pack_into('<9i', b, 12, *sum(matrix(sat), []))
    curve = [(k * 4095 * 2 + 383) // 766 for k in range(384)]
    for at in INPUT_TABLES:
        struct.pack_into('<1152H', b, at, *(curve * 3))
    return bytes(b)


def table_3d(sat):
    b = bytearray(TABLE_BYTES)
    struct.pack_into('<3I', b, 0, VERSION[0], VERSION[1], 0)
    m = matrix(sat)
    level = [(k * 1023 * 2 + 15) // 30 for k in range(16)]
    words = []
    for bi in range(16):
        for gi in range(16):
            for ri in range(16):
                rgb = (level[ri], level[gi], level[bi])
                out = [min(1023, max(0, (sum(m[o][c] * rgb[c] for c in range(3)) + 512) >> 10)) for o in range(3)]
                words.append(out[0] | out[1] << 10 | out[2] << 20)
    struct.pack_into('<4096I', b, 128, *words)
    tone = [(i * 1023 * 2 + 255) // 510 for i in range(256)]
    struct.pack_into('<256I', b, 128 + 16384, *[v | v << 10 | v << 20 for v in tone])
    return bytes(b)


def check(files):
    for reg, t3d, sat in MODELS:
        r, t = files[reg], files[t3d]
        assert len(r) == REG_BYTES and len(t) == TABLE_BYTES
        assert struct.unpack_from('<3I', r, 0) == (1, 1, REG_BYTES)
        assert struct.unpack_from('<3I', t, 0) == (1, 1, 0), 'same version as the register file, high ISO 0'
        assert all(sum(row) == 1024 for row in matrix(sat))
        grey = struct.unpack_from('<I', t, 128 + 4 * ((7 * 16 + 7) * 16 + 7))[0]
        assert grey & 1023 == grey >> 10 & 1023 == grey >> 20 & 1023, 'grey stays grey'
    assert len({files[t3d] for _, t3d, _ in MODELS}) == len(MODELS), 'the models are told apart'


def main(argv):
    files = {}
    for reg, t3d, sat in MODELS:
        files[reg] = register_file(sat)
        files[t3d] = table_3d(sat)
    check(files)
    if '--check' in argv:
        bad = 0
        for name, data in files.items():
            try:
                with open(os.path.join(OUT, name), 'rb') as f:
                    same = f.read() == data
            except FileNotFoundError:
                same = False
            if not same:
                print('%s differs from what gen_cc_files.py computes' % os.path.join(OUT, name))
                bad = 1
        return bad
    os.makedirs(OUT, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(OUT, name), 'wb') as f:
            f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
