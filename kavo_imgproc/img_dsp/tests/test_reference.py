#!/usr/bin/python3
"""The library's kernel convolutions and 3x3 inversion against independent numpy computations.

Random coefficient lists and table kernels are convolved with the smoothing kernels of every
direction and strength, by the library (through the driver program given as the argument) and here:
expansion of the list by its tap classes, interpolation of the tables (read from gen/gen_tables.py),
the full 2-D convolution of the two 7x7 kernels, its central 7x7, (sum + 128) >> 8. Every tap must
agree within 1, and at least 99 % of the cases exactly.

Random 3x3 matrices (1024 = 1.0) are inverted by the library and by numpy (float64): the result code
must follow the exact determinant (below 2^20: 1) and the elements (beyond +/-5,000: 2), and every
element of an accepted inverse must lie within 1 of numpy's inverse in the same units.
Run with Debian's /usr/bin/python3 (python3-numpy).
"""
import os
import random
import subprocess
import sys

import numpy as np

sys.dont_write_bytecode = True  # the generator is imported from the source tree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'gen'))
import gen_tables as tables  # noqa: E402

CLASS = [0, 1, 2, 3, 2, 1, 0, 1, 4, 5, 6, 5, 4, 1, 2, 5, 7, 8, 7, 5, 2, 3, 6, 8, 9]


def table(kind, direction):
    if kind == 0:
        rows = tables.ISO_SMOOTH if direction == 0 else tables.DIR_SMOOTH[direction - 1]
    else:
        rows = tables.ISO_HIGH if direction == 0 else tables.DIR_HIGH[direction - 1]
    return np.array(rows, dtype=np.int64)


def interpolate(rows, s):
    i, f = s // 64, (s % 64) * 4
    x = 256 * rows[i] + f * (rows[min(i + 1, 4)] - rows[i])
    return np.where(x >= 0, (x + 128) // 256, -((128 - x) // 256))


def table_kernel(s, kind, direction):
    h = interpolate(table(kind, direction), s)
    return -h if kind == 2 else h


def full(half):
    k = np.zeros(49, dtype=np.int64)
    k[:25] = half
    k[48 - np.arange(25)] = half
    return k.reshape(7, 7)


def convolve_central(half_a, half_b):
    a, b = full(half_a), full(half_b)
    out = np.zeros((13, 13), dtype=np.int64)
    for i in range(7):
        for j in range(7):
            out[i:i + 7, j:j + 7] += a[i, j] * b
    return ((out[3:10, 3:10] + 128) >> 8).reshape(49)[:25]


def random_matrix(rng):
    """Mostly invertible matrices near the scale the library works at, some of them not at all."""
    kind = rng.randrange(4)
    if kind == 0:  # around the identity
        return [1024 * (i % 4 == 0) + rng.randrange(-400, 401) for i in range(9)]
    if kind == 1:  # colour conversions: a luma row and two chroma rows
        luma = [rng.randrange(100, 700) for _ in range(3)]
        rows = [luma]
        for _ in range(2):
            r = [rng.randrange(-600, 601) for _ in range(2)]
            rows.append(r + [-sum(r)])
        return sum(rows, [])
    if kind == 2:  # anything in 16 bits
        return [rng.randrange(-32768, 32768) for _ in range(9)]
    return [rng.randrange(-64, 65) for _ in range(9)]  # small: mostly refused


def check_inversion(driver, rng):
    cases = [random_matrix(rng) for _ in range(3000)]
    text = ''.join('inv %s\n' % ' '.join(map(str, m)) for m in cases)
    run = subprocess.run([driver], input=text, capture_output=True, text=True, check=True)
    answers = [list(map(int, line.split())) for line in run.stdout.splitlines()]
    assert len(answers) == len(cases), 'driver answered %d of %d inversions' % (len(answers), len(cases))
    counts = [0, 0, 0]
    for m, answer in zip(cases, answers):
        result, r = answer[0], np.array(answer[1:], dtype=np.int64)
        a = np.array(m, dtype=np.int64).reshape(3, 3)
        det = int(round(np.linalg.det(a.astype(np.float64))))
        exact = (m[0] * (m[4] * m[8] - m[5] * m[7]) - m[3] * (m[1] * m[8] - m[2] * m[7]) +
                 m[6] * (m[1] * m[5] - m[2] * m[4]))
        assert abs(det - exact) <= max(1, abs(exact) * 1e-9)
        counts[result] += 1
        if exact < 2 ** 20:
            if result != 1:
                print('FAIL inv %s: determinant %d, result %d' % (m, exact, result))
                return 1
            continue
        want = np.linalg.inv(a.astype(np.float64)) * 1024 * 1024  # inputs and outputs in 1/1024
        wide = np.max(np.abs(want)) > 5000.5
        if result != (2 if wide else 0) and abs(np.max(np.abs(want)) - 5000.5) > 0.01:
            print('FAIL inv %s: result %d, largest element %.2f' % (m, result, np.max(np.abs(want))))
            return 1
        if result == 0 and np.max(np.abs(want.reshape(9) - r)) > 1:
            print('FAIL inv %s\n  numpy   %s\n  library %s' % (m, np.round(want.reshape(9), 2).tolist(), r.tolist()))
            return 1
    print('%d inversions: %d accepted, %d refused (determinant), %d refused (range)' %
          (len(cases), counts[0], counts[1], counts[2]))
    if min(counts) < 100:
        print('FAIL: too few cases of some result')
        return 1
    return 0


def main():
    driver = sys.argv[1]
    if check_inversion(driver, random.Random(20240612)):
        return 1
    rng = random.Random(20240611)
    cases, expected = [], []
    for n in range(1500):
        strength = rng.choice([0, 1, 63, 64, 100, 128, 200, 255, 256, rng.randrange(257)])
        kind, direction = rng.randrange(3), rng.randrange(9)
        if n % 3:
            span = rng.choice([16, 256, 4096, 32768])
            coeff = [rng.randrange(-span, span) for _ in range(10)]
            cases.append('conv %s %d %d %d' % (' '.join(map(str, coeff)), strength, kind, direction))
            a = np.array([coeff[c] for c in CLASS], dtype=np.int64)
        else:
            sa, ka, da = rng.randrange(257), rng.randrange(3), rng.randrange(9)
            cases.append('filt %d %d %d %d %d' % (sa, strength, ka, da, direction))
            a = table_kernel(sa, ka, da)
        expected.append(convolve_central(a, table_kernel(strength, 0, direction)))
    run = subprocess.run([driver], input='\n'.join(cases) + '\n', capture_output=True, text=True, check=True)
    got = [np.array(list(map(int, line.split())), dtype=np.int64) for line in run.stdout.splitlines()]
    assert len(got) == len(cases), 'driver answered %d of %d cases' % (len(got), len(cases))
    worst, exact = 0, 0
    for case, want, have in zip(cases, expected, got):
        diff = int(np.max(np.abs(want - have)))
        if diff > 1:
            print('FAIL %s\n  numpy   %s\n  library %s' % (case, want.tolist(), have.tolist()))
            return 1
        worst = max(worst, diff)
        exact += diff == 0
    print('%d cases, %d exact, largest difference %d' % (len(cases), exact, worst))
    # A difference of 1 may only be a rare tie rounded the other way, not a rounding rule of its own.
    if exact < 0.99 * len(cases):
        print('FAIL: only %d of %d cases exact' % (exact, len(cases)))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
