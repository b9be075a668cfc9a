"""Runs the real kavo_osd_overlay under a private test root, with frames drawn by numpy.

    root = Root()
    root.script([step(root, {0: frame}, queries=8), {"error": "EIO"}])   # the DSP stand-in's script
    rc, out, err = run(root, ["--mode=calib"])
    image = read_pgm(root.path("/tmp/debug.pgm"))

Environment: KAVO_OSD_OVERLAY (the program), KAVO_OSD_FAKE_DSP (the DSP stand-in preloaded into it).
Also used by bench/osd_overlay.
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import numpy as np

PROGRAM = os.environ.get("KAVO_OSD_OVERLAY", "")
FAKE_DSP = os.environ.get("KAVO_OSD_FAKE_DSP", "")
FRAME_W, FRAME_H = 640, 368


class Root:
    """A private camera root with /tmp; removed by close()."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ko.", dir="/tmp")
        for d in ("tmp", "etc", "dev"):
            os.makedirs(os.path.join(self.dir, d), exist_ok=True)
        self._pictures = 0

    def path(self, camera_path):
        return self.dir + camera_path

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def picture(self, image, pitch=None, padding=255):
        """Stores a picture for the DSP stand-in: rows of `pitch` bytes, the bytes beyond the width
        set to `padding`. Returns the step's description of it."""
        h, w = image.shape
        pitch = pitch or w
        rows = np.full((h, pitch), padding, dtype=np.uint8)
        rows[:, :w] = image
        self._pictures += 1
        name = "/tmp/me%d.raw" % self._pictures
        rows.tofile(self.path(name))
        return {"file": name, "width": w, "height": h, "pitch": pitch}

    def script(self, steps):
        with open(self.path("/tmp/fake_dsp.json"), "w") as f:
            json.dump({"steps": steps}, f)


def environment(root, preload=True):
    env = dict(os.environ)
    env.update({"KAVO_ROOT": root.dir, "KAVO_LOG_STDERR": "1", "KAVO_LOG_LEVEL": "7"})
    if preload:
        env["LD_PRELOAD"] = FAKE_DSP
        # A sanitizer build wants its runtime first; the stand-in does not replace anything of it.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


def run(root, args, timeout=120, preload=True, preexec_fn=None):
    """Runs the program to its end; returns (exit status, stdout, stderr)."""
    p = subprocess.run([PROGRAM] + args, env=environment(root, preload), capture_output=True, text=True,
                       timeout=timeout, preexec_fn=preexec_fn)
    return p.returncode, p.stdout, p.stderr


class Program:
    """The program running in the background; its log lines are collected as they come."""

    def __init__(self, root, args, preload=True):
        self.proc = subprocess.Popen([PROGRAM] + args, env=environment(root, preload), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stderr:
            with self._lock:
                self.lines.append(line.rstrip("\n"))

    def log(self):
        with self._lock:
            return "\n".join(self.lines)

    def wait_log(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log():
                return True
            if self.proc.poll() is not None:
                self._reader.join(5)
                return text in self.log()
            time.sleep(0.02)
        return False

    def stop(self, timeout=30):
        """SIGTERM; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._reader.join(5)
        return rc


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 2
    assert data[:2] == b"P5", data[:16]
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(data[start:pos]))
    w, h, maxval = fields
    assert maxval == 255
    pixels = np.frombuffer(data, dtype=np.uint8, count=w * h, offset=pos + 1)
    return pixels.reshape(h, w)


def disc_frame(discs, background=40, level=200, size=(FRAME_H, FRAME_W), supersample=8):
    """A picture of filled discs (x, y, radius; pixel centres at whole numbers) on a plain
    background, their edges anti-aliased as a lens renders them (each pixel takes the share of it
    that the disc covers)."""
    cover = np.zeros(size)
    sub = (np.arange(supersample) + 0.5) / supersample - 0.5
    for x, y, r in discs:
        x0, x1 = max(int(x - r) - 1, 0), min(int(x + r) + 2, size[1])
        y0, y1 = max(int(y - r) - 1, 0), min(int(y + r) + 2, size[0])
        ys = np.arange(y0, y1)[:, None, None, None] + sub[None, None, :, None]
        xs = np.arange(x0, x1)[None, :, None, None] + sub[None, None, None, :]
        inside = ((xs - x) ** 2 + (ys - y) ** 2 <= r * r).mean(axis=(2, 3))
        cover[y0:y1, x0:x1] = np.maximum(cover[y0:y1, x0:x1], inside)
    return np.rint(background + (level - background) * cover).astype(np.uint8)


def marked_circles(image, near, reach):
    """The circles marked in a calibration picture, looked for around each expected centre of
    `near`: the centre is the middle of the value-0 dot, the radius the median distance of the
    value-255 outline from it (only the outline pixels within `reach` of the expected radius).
    Returns one (x, y, r) or None per expected circle."""
    zeros = np.argwhere(image == 0)
    full = np.argwhere(image == 255)
    found = []
    for x, y, r in near:
        if len(zeros) == 0:
            found.append(None)
            continue
        d = np.hypot(zeros[:, 1] - x, zeros[:, 0] - y)
        dot = zeros[d <= 8]
        if len(dot) == 0:
            found.append(None)
            continue
        cy, cx = dot.mean(axis=0)
        dist = np.hypot(full[:, 1] - cx, full[:, 0] - cy)
        ring = dist[np.abs(dist - r) <= reach]
        found.append((cx, cy, float(np.median(ring)) if len(ring) else None))
    return found


def gaussian_blur_reference(image, size=9, sigma=2.0):
    """9 x 9 Gaussian blur with reflect-101 borders, in floating point."""
    half = size // 2
    x = np.arange(size) - half
    k = np.exp(-(x * x) / (2 * sigma * sigma))
    k /= k.sum()
    padded = np.pad(image.astype(np.float64), half, mode="reflect")  # numpy's "reflect" is reflect-101
    rows = sum(k[i] * padded[:, i:i + image.shape[1]] for i in range(size))
    return sum(k[i] * rows[i:i + image.shape[0], :] for i in range(size))
