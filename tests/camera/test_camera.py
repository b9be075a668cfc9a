#!/usr/bin/env python3
"""The camera's closed loop as a person sees it: the real streamer encodes the simulated camera while
the ISP server's driver (kavo_isp_probe) raises the exposure, turns colour off and mirrors the
picture; ffmpeg's signalstats on the FLV file and the picture numbers in it show each change, and
the simulator's journal says on which input frame and at what time each was asked for.
(Python 3 standard library, ffmpeg.)"""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.environ.get("KAVO_STREAMER_TESTS", os.path.join(os.path.dirname(__file__), "..", "streamer")))
from streamer_harness import Root, Streamer, stream, video_frames, wait_frames  # noqa: E402

PROBE = os.environ.get("KAVO_ISP_PROBE", "")
OSD = os.environ.get("KAVO_OSD_OVERLAY", "")
READER = os.environ.get("KAVO_FRAME_READER", "")
W, H = 320, 180
PERIOD_NS = 1e9 / 30


def probe(root, *args):
    r = subprocess.run([PROBE] + [str(a) for a in args], env=dict(os.environ, KAVO_ROOT=root.dir),
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, "kavo_isp_probe %s: %s" % (" ".join(map(str, args)), r.stderr)


def signalstats(path):
    """Per decoded frame: YAVG, UMIN, UMAX, VMIN, VMAX."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-vf",
                        "signalstats,metadata=mode=print:file=-", "-f", "null", "-"],
                       capture_output=True, text=True, check=True)
    frames = []
    for line in r.stdout.splitlines():
        if line.startswith("frame:"):
            frames.append({})
        elif line.startswith("lavfi.signalstats.") and frames:
            key, _, value = line[len("lavfi.signalstats."):].partition("=")
            frames[-1][key] = float(value)
    return frames


def numbers(path, hflip):
    """The picture number of each decoded frame (None where the band does not read)."""
    gray = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                          capture_output=True, check=True).stdout
    args = [sys.executable, READER, str(W), str(H)] + (["--hflip"] if hflip else [])
    out = subprocess.run(args, input=gray, capture_output=True, check=True).stdout.decode().split()
    return [None if n == "?" else int(n) for n in out]


class ClosedLoopTest(unittest.TestCase):
    def setUp(self):
        self.root = Root()
        self.root.sim({"clock": "realtime"})
        self.root.config({"audio": {"enabled": False},
                          "video": {"video1": stream(W, H, 30, ["file:///tmp/cam.flv"], bitRateVbrMax=2000000,
                                                     bitRateCbrAvg=2000000)}})

    def tearDown(self):
        self.root.cleanup()

    def test_exposure_colour_and_mirror_show_in_the_video(self):
        s = Streamer(self.root)
        try:
            s.wait_log("A/V encoding started")
            flv = self.root.path("/tmp/cam.flv")
            held = len(wait_frames(flv, 30, proc=s.proc))
            # A second of frames in the file after each change, however late a loaded machine writes them.
            for what, value in (("shutter", 512000000 // 30),  # twice the default 1/60 s
                                ("colour", "off"), ("mirror", 2)):
                probe(self.root, what, value)
                held = len(wait_frames(flv, held + 30, proc=s.proc))
        finally:
            self.assertEqual(s.stop(), 0)
        journal = self.root.journal()

        def request(name):
            lines = [j for j in journal if j.get("req") == name and j.get("rc") == 0]
            self.assertEqual(len(lines), 1, name)
            return lines[0]

        shutter = request("IAV_IOC_VIN_SRC_SET_SHUTTER_TIME")
        colour = request("IAV_IOC_IMG_RGB_TO_YUV_SETUP")
        mirror = request("IAV_IOC_VIN_SRC_SET_MIRROR_MODE")
        # Every picture of the file: its stream picture number gives its input frame and capture time.
        reads = {j["arg"]["picture"]: j["arg"] for j in journal
                 if j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and j.get("rc") == 0 and j["arg"].get("stream") == 0}
        upright, mirrored = numbers(flv, False), numbers(flv, True)
        stats = signalstats(flv)
        self.assertEqual(len(stats), len(upright))
        frames = []
        for i, st in enumerate(stats):
            n = upright[i] if upright[i] is not None else mirrored[i]
            self.assertIsNotNone(n, "frame %d carries no picture number" % i)
            # A few numbers read the same both ways round: such a picture says nothing of the mirror.
            turned = None if upright[i] is not None and mirrored[i] is not None else upright[i] is None
            frames.append(dict(st, pts=reads[n]["pts"], vin=reads[n]["vin"], mirrored=turned))

        # Exposure: pictures captured before the request keep their brightness; the first one twice
        # as exposed comes at most three frames after it, and stays.
        before = [f["YAVG"] for f in frames if f["pts"] < shutter["t"]]
        after = [f for f in frames if f["pts"] >= shutter["t"] and f["pts"] < colour["t"]]
        self.assertGreater(len(before), 20)
        # The moving band and the noise screen move the mean by a few levels from frame to frame; twice
        # the light lifts it by tens.
        base = sum(before[-10:]) / 10
        self.assertLess(max(before[-10:]) - min(before[-10:]), 8, "steady before the change")
        risen = [f for f in after if f["YAVG"] > base + 15]
        self.assertTrue(risen, "the picture never brightened")
        self.assertLessEqual(risen[0]["pts"] - shutter["t"], 3 * PERIOD_NS + 1e6, "within three frames")
        self.assertEqual(risen[0]["vin"], shutter["arg"]["fromFrame"])
        self.assertTrue(all(f["YAVG"] > base + 15 for f in after if f["vin"] >= risen[0]["vin"]))

        # Colour off: the DSP sends grey from the next frame. The encoder codes the change of predicted
        # pictures coarsely (what is left is quantisation of the difference), and from the next key
        # frame on U and V are flat at 128.
        keys = [key for _, key, _ in video_frames(flv)]
        self.assertEqual(len(keys), len(frames))
        colourful = [f for f in frames if f["pts"] < colour["t"]]
        spread = max(f["UMAX"] - f["UMIN"] for f in colourful[-10:])
        self.assertGreater(spread, 50)
        grey = [i for i, f in enumerate(frames) if f["pts"] > colour["t"] + PERIOD_NS]
        self.assertLess(frames[grey[0]]["UMAX"] - frames[grey[0]]["UMIN"], spread * 0.75)
        key = next(i for i in grey if keys[i])
        self.assertLess(frames[key]["pts"] - colour["t"], 1.1e9, "a key frame a second (N 30) later at most")
        for f in frames[key:]:
            self.assertEqual((f["UMIN"], f["UMAX"], f["VMIN"], f["VMAX"]), (128, 128, 128, 128), f)

        # Mirror: the picture-number band turns with the picture, from the frame the sensor takes it.
        self.assertFalse(any(f["mirrored"] for f in frames if f["vin"] < mirror["arg"]["fromFrame"]))
        late = [f for f in frames if f["pts"] > mirror["t"] + 2 * PERIOD_NS]
        self.assertGreater(len(late), 10)
        self.assertFalse([f["vin"] for f in late if f["mirrored"] is False], "upright after the mirror")


def read_pgm(path):
    """(width, height, rows of bytes) of an 8-bit PGM file, or None while it is being rewritten."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        head = data.split(b"\n", 3)
        w, h = (int(v) for v in head[1].split())
        pixels = head[3]
        if head[0] != b"P5" or len(pixels) < w * h:
            return None
        return w, h, [pixels[y * w:(y + 1) * w] for y in range(h)]
    except (OSError, ValueError, IndexError):
        return None


def marked_centres(picture):
    """The centres the calibration marked: its filled discs of value 0 (the picture itself is never
    that dark after the blur)."""
    w, h, rows = picture
    discs = []  # [sum of x, sum of y, pixels]: a disc's centre is the mean of its pixels
    for y in range(h):
        for x, v in enumerate(rows[y]):
            if v != 0:
                continue
            for d in discs:
                if abs(d[0] / d[2] - x) < 8 and abs(d[1] / d[2] - y) < 8:
                    d[0], d[1], d[2] = d[0] + x, d[1] + y, d[2] + 1
                    break
            else:
                discs.append([x, y, 1])
    return [(round(sx / n), round(sy / n)) for sx, sy, n in discs]


class OsdCalibrationTest(unittest.TestCase):
    """The OSD program's calibration on the DSP's live luma pictures finds the chart's circles."""

    def setUp(self):
        self.root = Root()
        self.root.sim({"clock": "realtime"})
        self.root.config({"audio": {"enabled": False},
                          "video": {"video1": stream(1280, 720, 30, ["file:///tmp/cam.flv"]),
                                    "video2": stream(640, 360, 30, ["file:///tmp/cam2.flv"])}})

    def tearDown(self):
        self.root.cleanup()

    def test_calibration_finds_the_scene_circles_in_live_frames(self):
        s = Streamer(self.root)
        osd = None
        seen = []
        try:
            s.wait_log("A/V encoding started")
            env = dict(os.environ, KAVO_ROOT=self.root.dir, KAVO_LOG_STDERR="1")
            osd = subprocess.Popen([OSD, "--mode=calib"], cwd=self.root.dir, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            debug = self.root.path("/tmp/debug.pgm")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and len(seen) < 40:
                picture = read_pgm(debug)
                if picture is not None:
                    self.assertEqual(picture[:2], (640, 360), "the main buffer's half-size luma")
                    seen.append(marked_centres(picture))
                time.sleep(0.1)
            osd.terminate()
            _, err = osd.communicate(timeout=30)
            self.assertEqual(osd.returncode, 0, err)
            self.assertIn("Camera source resolution: 640x360", err)
        finally:
            if osd is not None and osd.poll() is None:
                osd.kill()
            self.assertEqual(s.stop(), 0)
        self.assertGreaterEqual(len(seen), 20, "the marked picture was rewritten")
        # The chart's two discs: 0.1 picture heights in radius, centred on row 0.85, columns 0.26 and
        # 0.44 of the width. Each frame finds one or both; over the frames both are found, and
        # nothing else is marked.
        expected = [(0.26 * 640, 0.85 * 360), (0.44 * 640, 0.85 * 360)]
        found = [0, 0]
        for centres in seen:
            for x, y in centres:
                near = [i for i, (ex, ey) in enumerate(expected) if abs(ex - x) <= 3 and abs(ey - y) <= 3]
                self.assertTrue(near, "a mark at (%d, %d) where the chart has no circle" % (x, y))
                found[near[0]] += 1
        self.assertTrue(all(found), "marks per circle: %s" % found)


if __name__ == "__main__":
    unittest.main()
