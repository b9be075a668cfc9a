#!/usr/bin/env python3
"""scripts/run for a short time, as a person runs it: every program of the camera starts, the run
ends with every program's exit status 0, the FLV files decode in ffmpeg, and the pictures, the OSD
calibration pass's marked picture, the OSD frame and the contact sheet are where the run says, with
the summary of what the ISP did. Then the default run of two minutes as the camera's acceptance:
its FLV answers every step of the scene's light (ffmpeg's signalstats) and the summary shows one
day/night switch each way.
(Python 3 standard library, ffmpeg.)"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SCRIPT = os.environ.get("KAVO_RUN_SCRIPT", "")
BUILD = os.environ.get("KAVO_RUN_BUILD", "")
SECONDS = 15
ACCEPTANCE_SECONDS = 120
STEP = re.compile(r"^light step   at \d+ s \(([0-9.]+) s of the FLV\): ([0-9.e+]+) -> ([0-9.e+]+) lux", re.M)


def decoded_frames(path):
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-f", "framemd5", "-"],
                       capture_output=True, text=True, timeout=120)
    return r.returncode, r.stderr, sum(1 for line in r.stdout.splitlines() if line and not line.startswith("#"))


def luma_frames(path):
    """(time, YAVG) of every picture of the file (ffmpeg's signalstats)."""
    r = subprocess.run(["ffprobe", "-v", "error", "-f", "lavfi", "-i", "movie=%s,signalstats" % path,
                        "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
                       capture_output=True, text=True, timeout=300, check=True)
    out = []
    for line in r.stdout.splitlines():
        t, y = line.split(",")[:2]
        out.append((float(t), float(y)))
    return out


def mean(frames, start, end):
    ys = [y for t, y in frames if start <= t < end]
    return sum(ys) / len(ys) if ys else None


class Run(unittest.TestCase):
    def run_camera(self, *args, seconds=SECONDS):
        root = tempfile.mkdtemp(prefix="kr.", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        # The build is the test's own and already made: the script must not build it again.
        env = dict(os.environ, KAVO_RUN_NO_BUILD="1")
        r = subprocess.run([SCRIPT, "--seconds", str(seconds), "--root", root, "--build", BUILD] + list(args),
                           capture_output=True, text=True, timeout=seconds + 150, env=env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for name in ("streamer", "ispserver", "osd"):
            self.assertTrue(os.path.exists(os.path.join(root, name + ".log")), name)
        for path in (root + "/tmp/video1.flv", root + "/tmp/video2.flv"):
            self.assertIn("FLV   " + path, r.stdout)
            rc, errors, frames = decoded_frames(path)
            self.assertEqual((rc, errors), (0, ""), path)
            self.assertGreater(frames, 30, path)
        calibration = root + "/pictures/osd_calibration.pgm"
        self.assertIn("PGM   %s  (the OSD calibration" % calibration, r.stdout)
        with open(calibration, "rb") as f:
            self.assertTrue(f.read(2) == b"P5")
        self.assertIn("OSD   %s/tmp/osd" % root, r.stdout)
        self.assertGreater(os.path.getsize(root + "/tmp/osd"), 0)
        self.assertIn("== what the ISP did", r.stdout)
        self.assertIn("day/night ", r.stdout)
        self.assertIn("PNG   %s/contact_sheet.png" % root, r.stdout)
        with open(root + "/contact_sheet.png", "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        m = re.search(r"\((\d+) pictures\)", r.stdout)
        self.assertTrue(m and int(m.group(1)) > 0, r.stdout)
        return root, r

    def test_fixed_lens_board(self):
        root, r = self.run_camera()
        with open(root + "/etc/board.info") as f:
            self.assertIn("board.name=ORL Fennel\n", f.read())

    def test_the_default_run_answers_every_light_step(self):
        root, r = self.run_camera(seconds=ACCEPTANCE_SECONDS)
        self.assertRegex(r.stdout, r"day/night    1 switches to night, 1 to day; now day \(IR LEDs\)")
        steps = [(float(at), float(a), float(b)) for at, a, b in STEP.findall(r.stdout)]
        self.assertEqual(len(steps), 5, r.stdout)
        frames = luma_frames(root + "/tmp/video2.flv")
        ends = [at for at, _, _ in steps[1:]] + [frames[-1][0]]
        held = {}  # light -> the luma the camera held in it
        report = []
        for (at, was, now), end in zip(steps, ends):
            before = mean(frames, at - 3, at)
            after = mean(frames, end - 2, end)
            held.setdefault(was, before)
            # Back to a light seen before: back to the level the camera held in it; else to the
            # level before the step. (The exposure's tolerance lets the level settle a few per cent
            # above its target after a brighter step and below after a darker one.)
            level = held.get(now, before)
            report.append("%.4g -> %.4g lux at %.1f s: %.1f before, %.1f at the end (level %.1f)" % (
                was, now, at, before, after, level))
            self.assertLess(abs(after - level), 0.1 * level, "\n".join(report) + "\n" + r.stdout)
            # The step showed: a darker light dims the picture before the exposure answers it.
            if now < was:
                self.assertLess(min(y for t, y in frames if at <= t < at + 3), 0.9 * before, report[-1])
        print("\n" + "\n".join(report), file=sys.stderr)

    def test_zoom_board_runs_the_lens_emulator(self):
        root, r = self.run_camera("--board", "ORL Brisk")
        with open(root + "/lens_mcu.out") as f:
            self.assertTrue(f.read().startswith("ready"))
        self.assertIn(root + "/lens_mcu.log", r.stdout)
        # The board's video-port inputs are there for the I/O thread to read.
        with open(root + "/ispserver.log", errors="replace") as f:
            self.assertNotIn("GPIO /proc/gpio/vport_in", f.read())

    def test_ctrl_c_stops_every_program_in_order(self):
        root = tempfile.mkdtemp(prefix="kr.", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        env = dict(os.environ, KAVO_RUN_NO_BUILD="1")
        # A group of its own, which Ctrl-C reaches as a terminal's does.
        p = subprocess.Popen([SCRIPT, "--root", root, "--build", BUILD], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, env=env, start_new_session=True)
        deadline = time.monotonic() + 120
        while not os.path.exists(root + "/osd.log") and time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.2)
        time.sleep(2)
        os.killpg(p.pid, signal.SIGINT)
        out, _ = p.communicate(timeout=150)
        self.assertEqual(p.returncode, 0, out)
        self.assertIn("FLV   %s/tmp/video1.flv" % root, out)
        logs = {}
        for name in ("streamer", "ispserver", "osd"):
            with open("%s/%s.log" % (root, name), errors="replace") as f:
                logs[name] = f.read()
        self.assertIn("Gracefully shut down", logs["osd"])
        self.assertIn("ISP Server down", logs["ispserver"])
        self.assertIn("Gracefully shut down", logs["streamer"])


if __name__ == "__main__":
    unittest.main()
