#!/usr/bin/python3
"""End to end: a client's picture request over IPC changes what the camera's video looks like. The
real kavo_ispserver_gen2 and kavo_streamer_gen2 run on the simulated camera; the client and the
analytics stand-in of isp_peers ask for the changes; ffmpeg decodes the streamer's FLV and judges
it (signalstats for luma and chroma, the raw picture for the picture-number band).

Environment: as test_isp_ipc.py (KAVO_ISPSERVER, KAVO_ISPSERVER_SETTINGS, KAVO_STREAMER, ...).
"""
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "streamer"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "visca_client"))
from ispserver_harness import IspRoot  # noqa: E402
from isp_peers import Analytics, Client, change_settings  # noqa: E402
import streamer_harness  # noqa: E402
from kavo_visca_client import ViscaChannel  # noqa: E402
from test_isp_visca import nibbles  # noqa: E402

W, H = 320, 180
CELL_COLS, CELL_ROWS = 12, 4
MASK_YUV = (80, 64, 235)  # the mask controller's colour
SETTLE = 2.5  # seconds after an answer: the server's mirror wait and the sensor's delay, then frames


def scene_check(n):
    return ((n >> 16) ^ (n & 0xFFFF) ^ 0x5A5A) & 0xFFFF


def band_number(y, mirrored):
    """The picture number of the band in the top quarter, read as drawn or mirrored; None if the
    check bits do not match."""
    cw, ch = W // CELL_COLS, (H // 4) // CELL_ROWS
    bits = 0
    for b in range(CELL_COLS * CELL_ROWS):
        c, r = b % CELL_COLS, b // CELL_COLS
        x0 = W - (c + 1) * cw if mirrored else c * cw
        y0 = r * ch
        s = sum(y[(y0 + ch * j // 4) * W + x0 + cw * i // 4] for j in (1, 2, 3) for i in (1, 2, 3))
        bits = (bits << 1) | (1 if s // 9 >= 128 else 0)
    n = bits >> 16
    return n if bits & 0xFFFF == scene_check(n) else None


class PictureBase(unittest.TestCase):
    """The server and the streamer on the simulated camera, with the peers and the FLV's judges."""

    def start_camera(self, awb=None, dsp_first=False):
        """`awb`: fields of the settings file's "awb" section. `dsp_first` brings the DSP up before
        the server, as the streamer does on the camera; otherwise the server waits five seconds for
        it and applies its start-up settings to a DSP that refuses them."""
        self.root = root = IspRoot(board="ORL Fennel")
        root.write("/etc/board.info", streamer_harness.BOARD_INFO + "board.name=ORL Fennel\n")
        root.write("/proc/uptime", "1000.50 250.25\n")
        root.write("/proc/sys/kernel/hostname", "camera-sim\n")
        root.write("/lib/version", streamer_harness.FIRMWARE_VERSION)
        if awb:
            with open(root.path("/usr/etc/kavo_ispserver.json")) as f:
                settings = json.load(f)
            settings["awb"].update(awb)
            root.write("/usr/etc/kavo_ispserver.json", json.dumps(settings))
        root.config(streamer_harness.two_streams(mjpg=False))
        self.peers = []
        self.addCleanup(self.stop_camera)  # also when the start fails
        if dsp_first:
            root.dsp_up()
        self.server = root.start(level=6)
        root.wait_ready(self.server, timeout=40)
        self.streamer = streamer_harness.Streamer(root, level=6)
        root.procs.append(self.streamer)
        self.streamer.wait_log("A/V encoding started", timeout=40)
        self.flv = root.path("/tmp/video2.flv")
        streamer_harness.wait_frames(self.flv, 30, timeout=40)
        self.channel = ViscaChannel(root.dir, timeout=10.0)
        self.peers.append(self.channel)
        self.analytics = Analytics(root.dir)
        self.client = Client(root.dir)
        self.peers += [self.analytics, self.client]
        self.shots = 0

    def stop_camera(self):
        for p in self.peers:
            p.close()
        self.root.cleanup()

    def change(self, **fields):
        """Asks for the change, lets the analytics stand-in agree, checks the answer carries the new
        values, and waits for the frames made with it."""
        answer = change_settings(self.client, self.analytics, fields)
        self.assertIsNotNone(answer)
        self.assertEqual(answer["statusCode"], 0, answer)
        for k, v in fields.items():
            self.assertEqual(answer["payload"][k], v, answer)
        time.sleep(SETTLE)

    def visca(self, *packets):
        """Each packet over the VISCA channel, in turn."""
        for text in packets:
            self.channel.exchange(bytes.fromhex(text))

    def snapshot(self):
        """The FLV as it is now (a copy; the streamer keeps writing)."""
        self.shots += 1
        path = os.path.join(self.root.dir, "shot%d.flv" % self.shots)
        shutil.copyfile(self.flv, path)
        return path

    def stats(self, path, last=10):
        """signalstats of the last frames below the picture-number band: a list of dicts (YAVG,
        UMIN, UMAX, VMIN, VMAX ...). The band's black and white cells follow the frame number and
        would move the mean luma by a level a bit."""
        out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf",
                              "crop=iw:ih*3/4:0:ih/4,signalstats,metadata=print:file=-",
                              "-f", "null", "-"], capture_output=True, text=True, timeout=120).stdout
        frames = []
        for line in out.splitlines():
            if line.startswith("frame:"):
                frames.append({})
            elif line.startswith("lavfi.signalstats.") and frames:
                k, v = line[len("lavfi.signalstats."):].split("=", 1)
                frames[-1][k] = float(v)
        self.assertGreaterEqual(len(frames), last)
        self.frames_seen = len(frames)
        return frames[-last:]

    def last_picture(self, path):
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"],
                             capture_output=True, timeout=120).stdout
        size = W * H * 3 // 2
        self.assertGreaterEqual(len(raw), size)
        start = (len(raw) // size - 1) * size
        return raw[start:start + size]

    def last_luma(self, path):
        return self.last_picture(path)[:W * H]

    def colour(self):
        """Mean Y, U and V of the last second of frames."""
        frames = self.stats(self.snapshot(), last=30)
        return tuple(sum(f[k] for f in frames) / len(frames) for k in ("YAVG", "UAVG", "VAVG"))

    def settled_picture(self, timeout=30.0):
        """Mean Y, U and V once two snapshots a second apart agree (luma within 2, U and V within
        0.5): the exposure and an automatic white balance have come to rest. The second snapshot's
        frames must all be new ones: a streamer slowed down by a loaded machine would otherwise
        show the same old frames twice."""
        deadline = time.monotonic() + timeout
        last = self.colour()
        seen = self.frames_seen
        while True:
            time.sleep(1.0)
            now = self.colour()
            fresh = self.frames_seen - seen >= 30
            seen = self.frames_seen
            moved = [abs(a - b) for a, b in zip(now, last)]
            if fresh and moved[0] <= 2 and max(moved[1:]) <= 0.5:
                return now
            self.assertLess(time.monotonic(), deadline, "the picture did not settle: %s, then %s" % (last, now))
            last = now

    def mask_draw(self, x, y, width, height):
        """The mask draw tool on this root: its output."""
        run = subprocess.run([os.environ["KAVO_MASK_DRAW"]] + [str(v) for v in (x, y, width, height)],
                             capture_output=True, text=True, timeout=30, env=dict(os.environ, KAVO_ROOT=self.root.dir))
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout

    def mask_rect(self):
        """The mask grid's blocks per row and block rows (the draw tool's probe), and a rectangle
        of whole blocks in the middle of the picture's lower half: (bx, by), (x0, y0, x1, y1)."""
        probe = self.mask_draw(0, 0, 16, 16)
        bx, by = (int(v) for v in probe.split()[1:3])
        return (bx, by), (bx // 4 * 16, by // 2 * 16, bx * 3 // 4 * 16, by * 3 // 4 * 16)

    def yuv_at(self, p, grid, x, y):
        """Y, U and V of picture `p` at point (x, y) of the DSP's main buffer (the mask grid's)."""
        bx, by = grid
        cx, cy = int(x * W / (bx * 16)), int(y * H / (by * 16))
        return (p[cy * W + cx], p[W * H + (cy // 2) * (W // 2) + cx // 2],
                p[W * H * 5 // 4 + (cy // 2) * (W // 2) + cx // 2])

    def settled_colour(self, timeout=30.0):
        """Mean U and V of the settled picture."""
        return self.settled_picture(timeout)[1:]


class PictureTest(PictureBase):
    def setUp(self):
        self.start_camera()

    def test_masked_blocks_show_the_mask_colour(self):
        grid, (x0, y0, x1, y1) = self.mask_rect()
        self.mask_draw(x0, y0, x1 - x0, y1 - y0)
        time.sleep(SETTLE)
        p = self.last_picture(self.snapshot())
        inside = self.yuv_at(p, grid, (x0 + x1) // 2, (y0 + y1) // 2)
        print("\nmask centre YUV %s" % (inside,), file=sys.stderr)
        for got, want in zip(inside, MASK_YUV):
            self.assertLessEqual(abs(got - want), 8, inside)
        outside = self.yuv_at(p, grid, (x0 + x1) // 2, y0 - 24)
        self.assertGreater(max(abs(g - w) for g, w in zip(outside, MASK_YUV)), 20, outside)

    def test_brightness_saturation_and_mirror_reach_the_video(self):
        self.change(brightness=80)
        y80 = sum(f["YAVG"] for f in self.stats(self.snapshot())) / 10
        self.change(brightness=50)
        colour = self.stats(self.snapshot())
        y50 = sum(f["YAVG"] for f in colour) / 10
        print("\nmean luma: brightness 80 %.1f, brightness 50 %.1f" % (y80, y50), file=sys.stderr)
        self.assertGreater(y80, y50 + 8)

        self.change(saturation=0)
        grey = self.stats(self.snapshot())
        spread = max(max(f["UMAX"] - f["UMIN"], f["VMAX"] - f["VMIN"]) for f in grey)
        before = max(max(f["UMAX"] - f["UMIN"], f["VMAX"] - f["VMIN"]) for f in colour)
        print("chroma spread: saturation 50 %d, saturation 0 %d" % (before, spread), file=sys.stderr)
        self.assertGreater(before, 30)
        self.assertLessEqual(spread, 8)

        y = self.last_luma(self.snapshot())
        self.assertIsNotNone(band_number(y, False))
        self.assertIsNone(band_number(y, True))
        self.change(mirror=1)
        y = self.last_luma(self.snapshot())
        self.assertIsNone(band_number(y, False))
        self.assertIsNotNone(band_number(y, True))
        self.assertEqual(self.streamer.stop(), 0)
        self.assertEqual(self.server.stop(), 0)

    def mean(self, key):
        return sum(f[key] for f in self.stats(self.snapshot())) / 10

    def test_visca_commands_reach_the_video_as_settings_do(self):
        def visca(text):
            self.visca(text)
            time.sleep(SETTLE)
        # Brightness adds to the luma after the exposure, which settles anywhere within its
        # tolerance, and on a loaded machine slowly: the exposure is held (3A paused) once it has
        # settled, so both roads' steps from 50 to 80 start from one exposure. Each is measured
        # against a 50 just before it, each luma once the picture has come to rest.
        self.settled_picture()
        visca("81 01 04 DD 02 FF")
        steps = {}
        for road in ("settings", "VISCA"):
            if road != "settings":
                self.change(brightness=50)  # the default the camera starts with
            y50 = self.settled_picture()[0]
            if road == "settings":
                self.change(brightness=80)
            else:
                visca("81 01 04 C0 00 00 05 00 FF")  # brightness 80
            steps[road] = (y50, self.settled_picture()[0])
        print("\nmean luma 50 -> 80: settings %.1f -> %.1f, VISCA %.1f -> %.1f" % (steps["settings"] + steps["VISCA"]),
              file=sys.stderr)
        rise = {road: y80 - y50 for road, (y50, y80) in steps.items()}
        self.assertGreater(rise["VISCA"], 8)
        self.assertLess(abs(rise["VISCA"] - rise["settings"]), 3, steps)
        visca("81 01 04 DD 03 FF")

        # Manual white balance with the red gain at its top: the picture turns red (V up).
        v_before = self.mean("VAVG")
        visca("81 01 04 35 05 FF")
        visca("81 01 04 43 00 00 07 0F FF")
        v_red = self.mean("VAVG")
        visca("81 01 04 35 00 FF")
        print("mean V: auto %.1f, red gain 4065 %.1f" % (v_before, v_red), file=sys.stderr)
        self.assertGreater(v_red, v_before + 8)

        # The 18-byte mask packet draws mask 0 in the middle of the lower half in the mask colour.
        grid, (x0, y0, x1, y1) = self.mask_rect()
        visca("81 01 04 76 00 %s FF" % " ".join(nibbles(v, 3) for v in (x0, y0, x1 - x0, y1 - y0)))
        inside = self.yuv_at(self.last_picture(self.snapshot()), grid, (x0 + x1) // 2, (y0 + y1) // 2)
        print("VISCA mask centre YUV %s" % (inside,), file=sys.stderr)
        for got, want in zip(inside, MASK_YUV):
            self.assertLessEqual(abs(got - want), 8, inside)


class WhiteBalanceTest(PictureBase):
    """A manual white balance of the settings file against the same one by VISCA. The settings give
    each gain as 0..100 on a logarithmic scale, 1024 * 2^((v - 50) / 25): red 75 and blue 25 are
    2048 and 512 (green 1024). VISCA 43/44 give v * 32 + 1: red 64 and blue 16 are 2049 and 513,
    the nearest it can reach; 1/1024 of gain moves U and V by far less than a level. ChangeIspSettings
    carries no white balance: the file carries it, at start-up and at each re-initialisation."""

    def setUp(self):
        self.start_camera(awb={"mode": "manual", "rgain": 75, "bgain": 25}, dsp_first=True)

    def test_visca_manual_gains_give_the_colour_of_the_settings(self):
        # Twice the spread of a steady picture's colour from snapshot to snapshot (0.4), below what
        # one VISCA step of the blue gain (+32) does to U (about 1), a twentieth of the distance
        # from the automatic white balance (about 16).
        tolerance = 0.75
        settings = self.settled_colour()
        self.visca("81 01 04 35 00 FF")  # automatic
        auto = self.settled_colour()
        self.visca("81 01 04 35 05 FF", "81 01 04 43 00 00 04 00 FF", "81 01 04 44 00 00 01 00 FF")
        time.sleep(SETTLE)
        visca = self.settled_colour()

        # A re-initialisation applies the file's white balance again over the camera's automatic one.
        self.visca("81 01 04 35 00 FF")
        auto_again = self.settled_colour()
        self.client.request("ReInitIsp", expect_key=False)
        self.server.wait_log("ISP Server re-init done.", timeout=60)
        time.sleep(SETTLE)
        reinit = self.settled_colour()
        print("\nmean U, V: settings %.2f, %.2f; auto %.2f, %.2f; VISCA %.2f, %.2f; auto %.2f, %.2f; "
              "re-initialised %.2f, %.2f" % (settings + auto + visca + auto_again + reinit), file=sys.stderr)

        def distance(a, b):
            return max(abs(x - y) for x, y in zip(a, b))
        self.assertGreater(distance(settings, auto), 12)  # red up, blue down: V up, U down
        self.assertGreater(settings[1], auto[1])
        self.assertLess(settings[0], auto[0])
        self.assertLessEqual(distance(visca, settings), tolerance)
        self.assertGreater(distance(auto_again, settings), 12)
        self.assertLessEqual(distance(reinit, settings), tolerance)
        self.assertEqual(self.streamer.stop(), 0)
        self.assertEqual(self.server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
