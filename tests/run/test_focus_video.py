#!/usr/bin/python3
"""The auto focus as a person sees it: scripts/run on a zoom board (the streamer, the ISP server and
the lens-MCU emulator on the simulated camera), a distant scene; the lens starts where the ISP
server's start-up puts it (in focus at 1 m), the focus search brings it to infinity, and the decoded
FLV picture at the end is measurably sharper than at the start (a Laplacian variance over ffmpeg's
decoded frames, normalised by the picture's own variance so that exposure does not count).
(Python 3, numpy, ffmpeg.)"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import numpy as np

SCRIPT = os.environ.get("KAVO_RUN_SCRIPT", "")
BUILD = os.environ.get("KAVO_RUN_BUILD", "")
SECONDS = 30
WIDTH, HEIGHT = 640, 360


def gray_frames(path):
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v",
                        "-vf", "scale=%d:%d,format=gray" % (WIDTH, HEIGHT), "-f", "rawvideo", "-"],
                       capture_output=True, timeout=300)
    if r.returncode != 0:
        raise AssertionError(r.stderr.decode(errors="replace"))
    data = np.frombuffer(r.stdout, dtype=np.uint8)
    return data[: data.size // (WIDTH * HEIGHT) * WIDTH * HEIGHT].reshape(-1, HEIGHT, WIDTH).astype(np.float64)


def sharpness(frame):
    # The picture-number band on top is sharp whatever the lens does: the lower part only.
    f = frame[HEIGHT // 2:, :]
    lap = 4 * f[1:-1, 1:-1] - f[:-2, 1:-1] - f[2:, 1:-1] - f[1:-1, :-2] - f[1:-1, 2:]
    return lap.var() / max(f.var(), 1e-9)


class FocusVideo(unittest.TestCase):
    def test_the_picture_is_sharper_once_the_focus_settles(self):
        root = tempfile.mkdtemp(prefix="kf.", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        os.makedirs(root + "/etc/kavo_sim")
        with open(root + "/etc/kavo_sim/lens_mcu.json", "w") as f:
            f.write('{"zoom": 0, "focus": 80}\n')
        scene = root + "/scene.json"
        with open(scene, "w") as f:
            f.write('{"lux": 2000, "kelvin": 5500, "distance": 10000, "ir": 0}\n')
        env = dict(os.environ, KAVO_RUN_NO_BUILD="1")
        r = subprocess.run([SCRIPT, "--seconds", str(SECONDS), "--root", root, "--build", BUILD,
                            "--board", "ORL Brisk", "--scene", scene],
                           capture_output=True, text=True, timeout=SECONDS + 150, env=env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        frames = gray_frames(root + "/tmp/video1.flv")
        self.assertGreater(len(frames), 300)
        # The search starts some seconds in (the AF's start-up waits for the lens MCU): the start is
        # the second and third second, once the exposure has settled; the end the last two.
        start = np.median([sharpness(f) for f in frames[60:90]])
        end = np.median([sharpness(f) for f in frames[-60:]])
        print("sharpness (Laplacian variance / variance): start %.4f, end %.4f, ratio %.2f" % (start, end, end / start))
        self.assertGreater(end, 1.3 * start)
        # And it is the lens that did it: the search moved the focus (absolute focus moves on the line).
        moves = []
        with open(root + "/tmp/kavo_sim/lens_mcu.journal") as f:
            for line in f:
                j = json.loads(line)
                b = j.get("bytes", "").split()
                if j.get("dir") == "rx" and b[:4] == ["81", "01", "04", "48"] and len(b) == 9:
                    moves.append(sum(int(x, 16) << (12 - 4 * i) for i, x in enumerate(b[4:8])))
        print("focus moves %d, last target %s" % (len(moves), moves[-1] if moves else None))
        self.assertGreater(len(moves), 3)


if __name__ == "__main__":
    unittest.main()
