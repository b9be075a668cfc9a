#!/usr/bin/python3
"""Process tests of kavo_osd_overlay: the real program under a private root. The test frame is
read back by an independent reader; calibration frames are drawn with numpy and handed to the
program by the DSP stand-in preloaded into it, and its marked picture is judged with numpy."""
import os
import resource
import signal
import subprocess
import sys
import time
import types
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import osd_harness as h  # noqa: E402

OSD_SIZE = 640 * 368


class RootCase(unittest.TestCase):
    def setUp(self):
        self.root = h.Root()
        self.addCleanup(self.root.close)


class StartupTest(RootCase):
    def test_modes_from_the_command_line(self):
        cases = [
            ([], 0, "Function main_blend not yet implemented"),
            (["--mode"], 0, "Function main_blend not yet implemented"),     # empty default: not a string
            (["--mode=1"], 0, "Function main_blend not yet implemented"),   # a number is not a mode
            (["-m=sync_src", "stray"], 0, "Function main_src_sync not yet implemented"),
            (["--mode=Test"], 255, "Invalid mode: Test"),
        ]
        for args, status, message in cases:
            rc, _, err = h.run(self.root, args, preload=False)
            self.assertEqual(rc, status, (args, err))
            self.assertIn(message, err, args)
        rc, _, err = h.run(self.root, ["stray"], preload=False)
        self.assertIn("unknown parameter detected: `stray`", err)

    def test_help_anywhere_wins(self):
        for args in (["-h"], ["--help"], ["--mode=test", "x", "-h"], ["--mode=Test", "--help=no"]):
            rc, out, err = h.run(self.root, args, preload=False)
            self.assertEqual(rc, 0, (args, err))
            lines = out.split("\n")
            self.assertEqual(lines[0], h.PROGRAM + " <option>[=<value>]")
            self.assertEqual(lines[2], "\t-m\t--mode - [sync_src, calib, run, test], defaults to run")
            self.assertTrue(lines[5].startswith("\t-r\t--remote_file - Path to remote source file, defaults to scp://"))
            self.assertTrue(lines[5].endswith("/tmp/extsrc.pgm"))
            self.assertEqual(lines[6], "\t-n\t--me_id - ME1 buffer id to use, 0 or 1")
            self.assertEqual(lines[7:], ["", ""])
        self.assertFalse(os.path.exists(self.root.path("/tmp/osd")))

    def test_crash_handler_failure_stops_before_the_command_line(self):
        # A root too long for the crash dump's path makes the handler's installation fail.
        # The folder need not exist: only the path's length counts.
        long_root = types.SimpleNamespace(dir=self.root.dir + "/" + "x" * 1100)
        rc, out, err = h.run(long_root, ["-h"], preload=False)
        self.assertEqual(rc, 255)
        self.assertEqual(out, "")
        self.assertIn("Unable to install the crash dump handler", err)


class TestModeTest(RootCase):
    def test_reader_sees_only_whole_frames_until_sigterm(self):
        program = h.Program(self.root, ["--mode=test"], preload=False)
        self.addCleanup(program.stop)
        path = self.root.path("/tmp/osd")
        expected = ((np.arange(368)[:, None] + np.arange(640)[None, :]) % 256).astype(np.uint8)
        frames, bases = 0, set()
        # Reads for 10 s, and on until it has seen a fair number of frames and of bases: a loaded
        # machine gives the reader little time. Only a hang outlasts the deadline.
        enough, deadline = time.monotonic() + 10, time.monotonic() + 120
        while time.monotonic() < enough or frames <= 20 or len(bases) <= 10:
            if time.monotonic() > deadline:
                break
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                self.assertEqual(frames, 0, "the frame vanished after %d whole ones" % frames)
                time.sleep(0.002)
                continue
            self.assertEqual(len(data), OSD_SIZE, "torn frame after %d whole ones" % frames)
            p = np.frombuffer(data, dtype=np.uint8).reshape(368, 640)
            self.assertTrue(np.array_equal(p - p[0, 0], expected), "pattern broken")  # uint8 wraps mod 256
            frames += 1
            bases.add(int(p[0, 0]))
        self.assertGreater(frames, 20, "whole frames read before the deadline")
        self.assertGreater(len(bases), 10, "the pattern does not move with the clock")
        self.assertEqual(program.stop(), 0, program.log())
        self.assertIn("Gracefully shut down", program.log())


class TestModeFailureTest(RootCase):
    def test_unwritable_tmp(self):
        os.rmdir(self.root.path("/tmp"))
        with open(self.root.path("/tmp"), "w") as f:  # nothing can be created under a file
            f.write("not a folder")
        rc, _, err = h.run(self.root, ["--mode=test"], preload=False)
        self.assertEqual(rc, 255)
        self.assertIn("Failed to open osd file", err)

    def test_short_write_is_never_moved_into_place(self):
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))

        rc, _, err = h.run(self.root, ["--mode=test"], preload=False, preexec_fn=limit_file_size)
        self.assertEqual(rc, 255)
        self.assertIn("Failed to save osd to file", err)
        self.assertFalse(os.path.exists(self.root.path("/tmp/osd")))


class CalibrationCase(RootCase):
    def calibrate(self, pictures, args=(), passes=3):
        """Runs calibration over `passes` frames of `pictures` (buffer index -> picture, or a
        description from Root.picture), then a DSP fault ends it; returns the marked picture."""
        described = {str(k): (v if isinstance(v, dict) else self.root.picture(v)) for k, v in pictures.items()}
        per_pass = len(described)
        self.root.script([{"queries": per_pass * (1 + passes), "pictures": described}, {"error": "EIO"}])
        rc, _, err = h.run(self.root, ["--mode=calib"] + list(args))
        self.assertEqual(rc, 255, err)
        self.assertIn("Fatal error reading camera source", err)
        self.log = err
        return h.read_pgm(self.root.path("/tmp/debug.pgm"))

    def assertFound(self, image, discs):
        found = h.marked_circles(image, discs, reach=8)
        for (x, y, r), f in zip(discs, found):
            self.assertIsNotNone(f, "circle at %s not marked" % ((x, y, r),))
            fx, fy, fr = f
            self.assertLessEqual(np.hypot(fx - x, fy - y), 2, (x, y, r, f))
            self.assertIsNotNone(fr, (x, y, r, f))
            self.assertLessEqual(abs(fr - r), 3, (x, y, r, f))
        # Nothing else is marked.
        zeros = np.argwhere(image == 0)
        near = np.zeros(len(zeros), dtype=bool)
        for x, y, _ in discs:
            near |= np.hypot(zeros[:, 1] - x, zeros[:, 0] - y) <= 6
        self.assertTrue(near.all(), "marks away from every disc")


class CalibrationCircleTest(CalibrationCase):
    def test_single_discs_of_each_size(self):
        for disc in [(320.5, 184.5, 30), (330.5, 190.5, 55), (320.5, 184.5, 80)]:
            with self.subTest(disc=disc):
                image = self.calibrate({0: h.disc_frame([disc]), 1: h.disc_frame([disc])})
                self.assertIn("Camera source resolution: 640x368", self.log)
                self.assertFound(image, [disc])
                # The marks: a dot of 0 with radius 3, an outline of 255 three pixels thick.
                dot = np.argwhere(image == 0)
                y, x = dot.mean(axis=0)
                self.assertTrue(25 <= len(dot) <= 37, len(dot))
                self.assertLessEqual(np.hypot(dot[:, 1] - x, dot[:, 0] - y).max(), 3.01)
                ring = np.argwhere(image == 255)
                d = np.hypot(ring[:, 1] - x, ring[:, 0] - y)
                width = np.percentile(d, 95) - np.percentile(d, 5)
                self.assertTrue(2.0 < width < 5.5, width)

    def test_several_discs_are_all_found(self):
        discs = [(120.5, 120.5, 40), (320.5, 250.5, 70), (520.5, 110.5, 35), (560.5, 290.5, 50)]
        frame = h.disc_frame(discs)
        self.assertFound(self.calibrate({0: frame, 1: frame}), discs)


class CalibrationPictureTest(CalibrationCase):
    def test_padding_beyond_the_width_changes_nothing(self):
        frame = h.disc_frame([(200.5, 150.5, 45), (450.5, 250.5, 60)])
        plain = self.calibrate({0: self.root.picture(frame, pitch=640), 1: frame})
        padded = self.calibrate({0: self.root.picture(frame, pitch=704, padding=255), 1: frame})
        self.assertTrue(np.array_equal(plain, padded))
        self.assertFound(padded, [(200.5, 150.5, 45), (450.5, 250.5, 60)])

    def test_blur_matches_a_gaussian_with_reflected_borders(self):
        frame = np.zeros((368, 640), dtype=np.uint8)
        for y, x in ((1, 2), (200, 300), (366, 638), (0, 0)):
            frame[y, x] = 255
        image = self.calibrate({0: frame, 1: frame})  # no circle: the picture is still written, only blurred
        reference = h.gaussian_blur_reference(frame)
        diff = np.abs(image.astype(np.float64) - reference)
        self.assertLessEqual(diff.max(), 1.0, np.unravel_index(diff.argmax(), diff.shape))
        self.assertGreater(image[200, 300], 8)

    def test_me_id_chooses_the_buffer(self):
        left, right = (160.5, 184.5, 50), (480.5, 184.5, 50)
        one, two = h.disc_frame([left]), h.disc_frame([right])
        for args, disc in (([], left), (["-n=0"], left), (["--me_id=1"], right), (["--me_id=7"], right),
                           (["--me_id=x"], left)):
            with self.subTest(args=args):
                self.assertFound(self.calibrate({0: one, 1: two}, args), [disc])


class CalibrationPathsTest(CalibrationCase):
    def test_dimension_change_ends_the_mode(self):
        a = self.root.picture(h.disc_frame([(320.5, 184.5, 50)]), pitch=704)
        b = self.root.picture(h.disc_frame([(160.5, 92.5, 25)], size=(184, 320)), pitch=320)
        self.root.script([{"queries": 6, "pictures": {"0": a, "1": a}}, {"pictures": {"0": b}}])
        rc, _, err = h.run(self.root, ["--mode=calib"])
        self.assertEqual(rc, 255)
        self.assertIn("Dimensions mismatch", err)
        self.assertNotIn("Fatal error", err)

    def test_dsp_fault_at_start(self):
        self.root.script([{"error": "EIO"}])
        rc, _, err = h.run(self.root, ["--mode=calib"])
        self.assertEqual(rc, 255)
        self.assertIn("Failed to initialize IMdReader", err)

    def test_sigterm_stops_in_order(self):
        pic = self.root.picture(h.disc_frame([(320.5, 184.5, 50)]))
        self.root.script([{"pictures": {"0": pic, "1": pic}}])
        program = h.Program(self.root, ["--mode=calib"])
        self.addCleanup(program.stop)
        deadline = time.monotonic() + 30
        while not os.path.exists(self.root.path("/tmp/debug.pgm")) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(program.stop(), 0, program.log())
        self.assertIn("Gracefully shut down", program.log())


class CalibrationNotReadyTest(CalibrationCase):
    def test_source_that_stops_delivering_ends_after_10_s(self):
        pic = self.root.picture(h.disc_frame([(320.5, 184.5, 50)]))
        self.root.script([{"queries": 4, "pictures": {"0": pic, "1": pic}}, {"error": "EAGAIN"}])
        # Counted from before the start, as the program's 10 s begin after it: seeing its first
        # line late cannot shorten them.
        started = time.monotonic()
        program = h.Program(self.root, ["--mode=calib"])
        self.addCleanup(program.stop)
        self.assertTrue(program.wait_log("Device not ready", timeout=30), program.log())
        self.assertEqual(program.proc.wait(60), 255)
        elapsed = time.monotonic() - started
        program.stop()
        log = program.log()
        self.assertEqual(log.count("Device not ready\n") + log.endswith("Device not ready"), 1, log)
        self.assertIn("Device not ready for too long", log)
        self.assertNotIn("Device ready", log)
        self.assertGreater(elapsed, 10.0)
        self.assertLess(elapsed, 60.0)


class CalibrationRecoveryTest(CalibrationCase):
    def test_source_back_within_10_s_goes_on(self):
        pic = self.root.picture(h.disc_frame([(320.5, 184.5, 50)]))
        self.root.script([{"queries": 4, "pictures": {"0": pic, "1": pic}}, {"ms": 9000, "error": "EAGAIN"},
                          {"queries": 10}, {"error": "EIO"}])
        rc, _, err = h.run(self.root, ["--mode=calib"], timeout=60)
        self.assertEqual(rc, 255, err)
        self.assertEqual(err.count("Device not ready"), 1, err)
        self.assertEqual(err.count("Device ready"), 1, err)
        self.assertIn("Fatal error reading camera source", err)
        self.assertFound(h.read_pgm(self.root.path("/tmp/debug.pgm")), [(320.5, 184.5, 50)])


class ExternalSourceTest(RootCase):
    def test_a_fifo_at_the_source_path_is_no_frame(self):
        # A FIFO, or a link to one, would block its reader for ever: it is waited past as no file
        # is, within the time-out, and stays where the producer made it.
        probe = os.environ["KAVO_OSD_EXT_SOURCE_PROBE"]
        fifo = self.root.path("/tmp/fifo")
        os.mkfifo(fifo)
        source = self.root.path("/tmp/extsrc.pgm")
        for name, make in (("fifo", lambda: os.mkfifo(source)), ("link", lambda: os.symlink(fifo, source))):
            make()
            p = subprocess.run([probe, "/tmp/extsrc.pgm", "300"], env=h.environment(self.root, preload=False),
                               capture_output=True, text=True, timeout=20)
            self.assertEqual(p.stdout.split("\n")[:2], ["init 0", "read 0 status 2"], name)
            # One line for each of the two reads (init's and the probe's own).
            self.assertEqual(p.stderr.count("/tmp/extsrc.pgm is not a regular file"), 2, (name, p.stderr))
            self.assertTrue(os.path.lexists(source), name)
            os.unlink(source)


if __name__ == "__main__":
    unittest.main()
