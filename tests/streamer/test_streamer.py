#!/usr/bin/env python3
"""Process tests of kavo_streamer_gen2: the real program under a test root on the simulated DSP
(virtual clock, so runs are short), judged by its log, its exit status, ffmpeg/ffprobe and the
simulator's journal; the IPC client is the standard-library peer of tests/pylib.

Environment: KAVO_STREAMER (the program), KAVO_STREAMER_EPOLL_FAULT (the epoll_wait fault
library), KAVO_STREAMER_DISK_FULL (the full-disk library), KAVO_PYLIB (tests/pylib).
"""
import json
import os
import re
import resource
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(os.path.dirname(__file__), "..", "pylib")))
import kavo_media  # noqa: E402
from kavo_ipc_peer import Connection, encode_frame, make_request  # noqa: E402
from streamer_harness import (Root, Streamer, parse_flv, reads_of, two_streams, video_frames,  # noqa: E402
                              wait_frames)

EPOLL_FAULT = os.environ.get("KAVO_STREAMER_EPOLL_FAULT", "")
DISK_FULL = os.environ.get("KAVO_STREAMER_DISK_FULL", "")
CAPABILITY = 285300  # the simulator's default chip (id 2)
LOCK_MESSAGE = "already running or kavo_streamer_gen2_singleton already acquired by someone else"


class Base(unittest.TestCase):
    def setUp(self):
        self.root = Root()
        self.root.sim({"clock": "virtual"})
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.kill()
        self.root.cleanup()

    def start(self, *args, **kw):
        s = Streamer(self.root, *args, **kw)
        self.procs.append(s)
        return s

    def run_to_end(self, *args, timeout=30, **kw):
        s = self.start(*args, **kw)
        return s.wait(timeout), s

    def streaming(self, *args, doc=None, **kw):
        self.root.config(doc if doc is not None else two_streams())
        s = self.start(*args, **kw)
        s.wait_log("A/V encoding started")
        return s

    def read(self, camera_path):
        with open(self.root.path(camera_path), "rb") as f:
            return f.read()

    def judge_flv(self, camera_path):
        """The whole file decodes in ffmpeg without a word and ends on a complete tag."""
        path = self.root.path(camera_path)
        with open(path, "rb") as f:
            tags, trailing = parse_flv(f.read())
        self.assertEqual(trailing, 0, "a truncated tag at the end of %s" % camera_path)
        self.assertEqual(kavo_media.decode(path, "-map", "0:v"), (0, ""), camera_path)
        return tags


class StartupTest(Base):
    def test_help_and_the_single_instance_lock(self):
        first = self.streaming()
        # Help comes before the lock, also with other options and whatever its value.
        for args in (["-h", "-d", "-c", "/tmp/x.json"], ["--help=0", "--logIpc"], ["--bogus", "-h"]):
            status, s = self.run_to_end(*args)
            self.assertEqual(status, 0, args)
            text = "\n".join(s.out)
            for option in ("--help", "--dryRun", "--logIpc", "--priority", "--configFile"):
                self.assertIn(option, text)
            self.assertIn("Complete path to the config file.", text)
        # A second instance, a dry run too, ends after the lock message without opening the DSP.
        for args in ([], ["-d"]):
            status, s = self.run_to_end(*args)
            self.assertEqual(status, 255, args)
            self.assertTrue(s.has(LOCK_MESSAGE), s.log()[-5:])
            self.assertFalse(s.has("Detected capabilities"))
            self.assertFalse([j for j in self.root.journal() if j.get("pid") == s.pid], "the DSP was touched")
        self.assertIsNone(first.proc.poll())
        self.assertEqual(first.stop(), 0)

    def test_dry_run_reports_the_chip_and_sets_nothing_up(self):
        for chip, capability in ((2, CAPABILITY), (0, 131400)):
            self.root.sim({"clock": "virtual", "chipId": chip})
            status, s = self.run_to_end("-d")
            self.assertEqual(status, 0)
            self.assertTrue(s.has("Detected capabilities: %uMbps" % capability), s.log())
            self.assertFalse(s.has("Will look for config file"))
            self.assertFalse(os.path.exists(self.root.path("/var/run/ipc/kavo_streamer")))
            self.root.remove("/tmp/kavo_sim/iav.state")  # a fresh DSP for the next chip

    def test_priority_values(self):
        # Given without a value it is 0 (ordinary scheduling, always allowed); a text is ignored;
        # a number is passed on unchecked, so 150 fails in the scheduler.
        for args, warned in ((["--priority"], False), (["--priority=abc"], False), (["--priority=150"], True),
                             (["-p", "0"], False)):
            status, s = self.run_to_end("-d", *args)
            self.assertEqual(status, 0, args)
            self.assertEqual(s.has("Unable to setup the current process priority"), warned, args)

    def test_a_missing_firmware_folder_is_named(self):
        doc = two_streams()
        doc["firmwarePath"] = "/no/such/folder/"
        self.root.config(doc)
        status, s = self.run_to_end()
        self.assertEqual(status, 255)
        why = [line for line in s.log() if line.startswith("<3>") and "/no/such/folder/" in line]
        self.assertTrue(why and "No such file or directory" in why[0], s.log()[-8:])

    def test_missing_camera_information_ends_with_zero(self):
        self.root.config(two_streams())
        for camera_path in ("/etc/board.info", "/proc/uptime", "/proc/sys/kernel/hostname", "/lib/version", None):
            root = Root()
            root.sim({"clock": "virtual"})
            root.config(two_streams())
            if camera_path is None:
                root.write("/lib/version", "not a firmware version\n")
            else:
                root.remove(camera_path)
            s = Streamer(root)
            self.procs.append(s)
            self.assertEqual(s.wait(), 0, camera_path)
            self.assertTrue(s.has("Unable to determine camera info"), (camera_path, s.log()[-5:]))
            self.assertFalse(s.has("Will look for config file"))
            root.cleanup()


class ConfigSearchTest(Base):
    # A document that the search accepts and the encoder refuses (no stream enabled), so every run
    # ends at once after the choice.
    DOC = {"video": {}}
    NAMES = ["kavo_streamer_sysid_0012.json", "kavo_streamer_mbps_%u.json" % CAPABILITY, "kavo_streamer.json"]

    def place(self, camera_path, text=None):
        if camera_path.startswith("./"):
            with open(os.path.join(self.root.cwd, camera_path[2:]), "w") as f:
                f.write(text if text is not None else json.dumps(self.DOC))
        else:
            self.root.write(camera_path, text if text is not None else json.dumps(self.DOC))

    def chosen(self, *args):
        status, s = self.run_to_end(*args)
        for line in s.messages():
            if line.startswith("Using the following config file: `"):
                return line[len("Using the following config file: `"):-1], s
        self.assertEqual(status, 255)
        self.assertTrue(s.has("No valid config file found"))
        return None, s

    def listed(self, s):
        msgs = s.messages()
        at = msgs.index("Will look for config file in the following locations:")
        out = []
        for m in msgs[at + 1:]:
            if not m.startswith("\t\t"):
                break
            out.append(m[2:])
        return out

    def test_candidates_in_order(self):
        path, s = self.chosen()
        self.assertIsNone(path)
        want = [folder + name for folder in ("./", "/etc/", "/usr/etc/") for name in self.NAMES]
        self.assertEqual(self.listed(s), want)

    def test_missing_sysid_and_unreadable_chip(self):
        self.root.write("/etc/board.info", "board.hwaddr=02AB34CD56EF\n")
        self.root.sim({"clock": "virtual", "absent": ["/dev/iav"]})
        _, s = self.chosen()
        self.assertEqual(self.listed(s)[:2], ["./kavo_streamer_sysid_0000.json", "./kavo_streamer_mbps_0.json"])

    def test_which_file_wins(self):
        sysid, mbps, plain = self.NAMES
        cases = [
            (["/usr/etc/" + plain], "/usr/etc/" + plain),
            (["/etc/" + plain, "/usr/etc/" + sysid], "/etc/" + plain),
            (["./" + plain, "/etc/" + sysid], "./" + plain),
            (["/etc/" + plain, "/etc/" + mbps, "/etc/" + sysid], "/etc/" + sysid),
            (["/etc/" + plain, "/etc/" + mbps], "/etc/" + mbps),
            (["./" + mbps, "./" + plain], "./" + mbps),
        ]
        for files, want in cases:
            with self.subTest(files=files):
                for f in files:
                    self.place(f)
                path, _ = self.chosen()
                self.assertEqual(path, want)
                for f in files:
                    os.remove(os.path.join(self.root.cwd, f[2:]) if f.startswith("./") else self.root.path(f))

    def test_malformed_and_empty_files_are_skipped(self):
        for bad in ('{"video": ', "", "{} trailing", "\xff\xfe"):
            with self.subTest(bad=bad):
                self.place("./kavo_streamer.json", bad)
                self.place("/etc/kavo_streamer_sysid_0012.json", bad)
                self.place("/usr/etc/kavo_streamer.json")
                path, _ = self.chosen()
                self.assertEqual(path, "/usr/etc/kavo_streamer.json")

    def test_oversized_files_are_skipped(self):
        # Valid JSON far beyond any real configuration: a long array under a key nobody reads.
        self.place("./kavo_streamer.json", '{"video": {}, "padding": [%s0]}' % ("0," * 1000000))
        self.place("/etc/kavo_streamer.json")
        path, s = self.chosen()
        self.assertEqual(path, "/etc/kavo_streamer.json")
        self.assertTrue(any(line.startswith("<3>") and "./kavo_streamer.json" in line and "too large" in line
                            for line in s.log()), s.log()[-6:])

    def test_config_file_option(self):
        self.place("/etc/kavo_streamer.json")
        # That one path alone, even when a searched file exists.
        path, s = self.chosen("--configFile=/tmp/x.json")
        self.assertIsNone(path)
        self.assertEqual(self.listed(s), ["/tmp/x.json"])
        self.place("/tmp/x.json")
        path, _ = self.chosen("-c=/tmp/x.json")
        self.assertEqual(path, "/tmp/x.json")
        # Without a value: one empty path, nothing read.
        path, s = self.chosen("-c")
        self.assertIsNone(path)
        self.assertEqual(self.listed(s), [""])
        # A number is no path: the search runs.
        path, _ = self.chosen("--configFile=123")
        self.assertEqual(path, "/etc/kavo_streamer.json")


class RunTest(Base):
    def test_sigterm_stops_in_order_and_the_files_are_whole(self):
        s = self.streaming()
        wait_frames(self.root.path("/tmp/video1.flv"), 60, proc=s.proc)
        self.assertEqual(s.stop(), 0)
        self.assertIn("SIGTERM received", s.out)
        msgs = s.messages()
        self.assertLess(msgs.index("Gracefully shut down"), len(msgs) - 1)
        self.assertIn("A/V encoding stopped", msgs[msgs.index("Gracefully shut down"):])
        for name, size in (("video1", "640x360"), ("video2", "320x180")):
            tags = self.judge_flv("/tmp/%s.flv" % name)
            frames = video_frames(self.root.path("/tmp/%s.flv" % name))
            self.assertGreater(len(frames), 50)
            self.assertTrue(frames[0][1], "the stream starts with a key frame")
            self.assertEqual(tags[0][0], 0x12)
            r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                "stream=width,height", "-of", "csv=s=x:p=0", self.root.path("/tmp/%s.flv" % name)],
                               capture_output=True, text=True)
            self.assertEqual(r.stdout.strip(), size)
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height", "-of",
                            "csv=p=0", self.root.path("/tmp/snapshot.jpg")], capture_output=True, text=True)
        self.assertEqual(r.stdout.strip(), "mjpeg,320,180")
        self.assertFalse(os.path.exists(self.root.path("/var/run/ipc/kavo_streamer")) and
                         self.socket_answers(), "the endpoint is gone")

    def socket_answers(self):
        try:
            Connection.connect("kavo_streamer", "py", self.root.dir, timeout=0.2).close()
            return True
        except ConnectionError:
            return False

    def test_a_failed_ipc_pass_stops_ipc_but_not_streaming(self):
        self.assertTrue(EPOLL_FAULT, "KAVO_STREAMER_EPOLL_FAULT not set")
        env = {"LD_PRELOAD": EPOLL_FAULT, "KAVO_TEST_EPOLL_FAIL_AT": "40",
               "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        s = self.streaming(env=env)
        s.wait_log("Unable to perform IPC. Bailing out permanently from doing IPC")
        video = self.root.path("/tmp/video1.flv")
        before = len(wait_frames(video, 1, proc=s.proc))
        wait_frames(video, before + 60, proc=s.proc)
        # Nobody serves the endpoint any more: a request stays unanswered.
        with Connection.connect("kavo_streamer", "py_client", self.root.dir) as c:
            sent = c.request("GetVideoSettings")
            with self.assertRaises(TimeoutError):
                c.wait_response(sent["id"], timeout=1.0)
        self.assertEqual(s.stop(), 0)
        self.assertIn("SIGTERM received", s.out)
        self.assertTrue(s.has("Gracefully shut down"))
        self.judge_flv("/tmp/video1.flv")

    def test_a_tcp_peer_that_leaves_does_not_end_the_streamer(self):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        port = listener.getsockname()[1]
        doc = two_streams()
        doc["video"]["video2"]["avSerializer"]["destinations"] = ["tcp://127.0.0.1:%d?retryInterval=1" % port]
        s = self.streaming(doc=doc)
        listener.settimeout(10)
        for _ in range(2):
            peer, _ = listener.accept()
            peer.recv(4096)
            # Leave with unread data: the next writes fail with EPIPE or ECONNRESET.
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            peer.close()
        listener.close()
        video = self.root.path("/tmp/video1.flv")
        wait_frames(video, len(video_frames(video)) + 30, proc=s.proc)
        self.assertIsNone(s.proc.poll())
        self.assertEqual(s.stop(), 0)


class IpcTest(Base):
    def setUp(self):
        super().setUp()
        # No IDR but the first and the forced ones: an IDR every 100 GOPs of 240 frames.
        gop = {"N": 240, "idrInterval": 100}
        self.s = self.streaming(doc=two_streams(gop, gop))
        self.client = Connection.connect("kavo_streamer", "py_client", self.root.dir)

    def tearDown(self):
        self.client.close()
        super().tearDown()

    def call(self, function, **keys):
        return self.client.call(function, timeout=10, **keys)

    def finish(self):
        self.assertEqual(self.s.stop(), 0)
        self.judge_flv("/tmp/video1.flv")

    def test_get_change_and_reset_video_settings(self):
        got = self.call("GetVideoSettings")
        self.assertEqual(got["statusCode"], 0)
        v1 = got["payload"]["video"]["video1"]
        self.assertEqual((v1["width"], v1["height"], v1["bitRateVbrMax"]), (640, 360, 1500000))
        for key in ("name", "maxFps", "validFpsValues"):
            self.assertIn(key, v1)
        self.assertFalse(got["payload"]["audio"]["enabled"])
        # GetVideoSettings changes nothing, whatever it carries.
        again = self.call("GetVideoSettings", video={"video1": {"bitRateVbrMax": 100000}})
        self.assertEqual(again["statusCode"], 0)
        self.assertEqual(again["payload"]["video"]["video1"]["bitRateVbrMax"], 1500000)

        video = self.root.path("/tmp/video1.flv")
        wait_frames(video, 90, proc=self.s.proc)
        changed = self.call("ChangeVideoSettings", video={"video1": {"bitRateVbrMax": 100000, "bitRateCbrAvg": 100000}})
        self.assertEqual(changed["statusCode"], 0, changed)
        self.assertEqual(changed["payload"]["video"]["video1"]["bitRateVbrMax"], 100000)
        self.assertEqual(changed["payload"]["video"]["video2"]["bitRateVbrMax"], 400000)
        at = len(video_frames(video))
        wait_frames(video, at + 90, proc=self.s.proc)

        # Refused: above the stream's valid range; and by the chip.
        refused = self.call("ChangeVideoSettings", video={"video1": {"bitRateVbrMax": 9000000}})
        self.assertEqual(refused["statusCode"], 1)
        self.assertEqual(refused["payload"]["video"]["video1"]["bitRateVbrMax"], 100000)
        self.s.wait_log("Incorrect bitrate settings on channel video1")
        self.root.faults({"faults": [{"request": "IAV_IOC_SET_BITRATE_EX", "errno": "EIO"}]})
        time.sleep(0.3)
        refused = self.call("ChangeVideoSettings", video={"video1": {"bitRateVbrMax": 200000}})
        self.assertEqual(refused["statusCode"], 1)
        self.assertEqual(refused["payload"]["video"]["video1"]["bitRateVbrMax"], 100000)
        self.s.wait_log("IAV_IOC_SET_BITRATE_EX failed")
        self.root.faults({"faults": []})
        time.sleep(0.3)

        reset = self.call("ResetVideoSettings")
        self.assertEqual(reset["statusCode"], 0)
        self.assertEqual(reset["payload"]["video"]["video1"]["bitRateVbrMax"], 1500000)
        self.assertEqual(self.call("GetVideoSettings")["payload"]["video"]["video1"]["bitRateVbrMax"], 1500000)
        self.finish()

        # The packets after the change are far smaller than those before it (key frames left out;
        # the journal tells which frame came first after the new bitrate).
        journal = self.root.journal()
        change = next(j["seq"] for j in journal if j.get("req") == "IAV_IOC_SET_BITRATE_EX" and j.get("rc") == 0
                      and j["arg"].get("id") == 1 and j["arg"].get("max") == 100000)
        first_after = next(i for i, r in enumerate(reads_of(journal, 0)) if r["seq"] > change)
        frames = video_frames(video)
        self.assertGreater(len(frames), first_after + 80)
        before = [size for _, key, size in frames[first_after - 60:first_after] if not key]
        after = [size for _, key, size in frames[first_after + 20:first_after + 80] if not key]
        self.assertLess(sum(after) / len(after), 0.4 * sum(before) / len(before), (before[-5:], after[:5]))

    def test_force_idr_brings_a_key_frame_at_once(self):
        video = self.root.path("/tmp/video1.flv")
        wait_frames(video, 40, proc=self.s.proc)
        for _ in range(2):
            answer = self.call("ForceIDR")
            self.assertEqual(answer["statusCode"], 0)
            self.assertIsNone(answer.get("payload"))
            wait_frames(video, len(video_frames(video)) + 20, proc=self.s.proc)
        self.finish()
        journal = self.root.journal()
        forced = [j["seq"] for j in journal if j.get("req") == "IAV_IOC_FORCE_IDR_EX" and j.get("rc") == 0]
        self.assertTrue(forced)
        for ordinal, name in ((0, "video1"), (1, "video2")):
            reads = reads_of(journal, ordinal)
            frames = video_frames(self.root.path("/tmp/%s.flv" % name))
            self.assertEqual(len(frames), len(reads), "every frame read is in the file")
            idr = [i for i, r in enumerate(reads) if r["arg"]["pic"] == 1]
            for i in idr:
                self.assertTrue(frames[i][1], (name, i))
            # One IDR at the start and one within the next two frames of each request.
            wanted = {0}
            for seq in forced:
                first_after = next(i for i, r in enumerate(reads) if r["seq"] > seq)
                hit = [i for i in idr if first_after <= i <= first_after + 1]
                self.assertEqual(len(hit), 1, (name, first_after, idr))
                wanted.add(hit[0])
            self.assertEqual(idr, sorted(wanted), name)

    def test_live_video_port_serves_ffmpeg(self):
        answer = self.call("EnableLiveVideo")
        self.assertEqual(answer["statusCode"], 0, answer)
        port = answer["payload"]
        self.assertIsInstance(port, int)
        self.assertGreater(port, 0)
        self.assertEqual(self.call("EnableLiveVideo")["payload"], port, "the acceptor waiting is reused")
        viewer = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-analyzeduration", "1000000", "-f", "flv",
                                 "-i", "tcp://127.0.0.1:%d" % port, "-map", "0:v", "-frames:v", "40", "-f",
                                 "framemd5", "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual(viewer.returncode, 0, viewer.stderr)
        self.assertEqual(len([l for l in viewer.stdout.splitlines() if not l.startswith("#")]), 40)
        # The viewer left mid-stream; the streamer goes on and serves the next request.
        self.assertEqual(self.call("GetVideoSettings")["statusCode"], 0)
        self.assertIsNone(self.s.proc.poll())
        self.finish()

    def test_motion_events_unknown_functions_and_clients_that_leave(self):
        sent = self.client.request("EventAnalyticsMotion", payload={"motion": True})
        with self.assertRaises(TimeoutError):
            self.client.wait_response(sent["id"], timeout=1.0)
        unknown = self.call("NoSuchFunction")
        self.assertEqual((unknown["statusCode"], unknown["payload"]), (1, "Operation not supported"))
        # A client that asks and leaves before the answer, and one that sends garbage.
        for body in (None, b"\x00\x00\x00\x05{nope"):
            c = Connection.connect("kavo_streamer", "leaver", self.root.dir)
            if body is None:
                c.request("GetVideoSettings")
            else:
                c.send_raw(body)
            c.close()
        time.sleep(0.3)
        self.assertEqual(self.call("GetVideoSettings")["statusCode"], 0)
        self.assertIsNone(self.s.proc.poll())
        self.finish()

    def test_clients_that_leave_lock_nobody_out(self):
        # 70 clients that asked once and stay connected, idle; 70 that ask and leave before their
        # answer; 70 requests whose "from" names an endpoint that nobody serves.
        idle = []
        try:
            for i in range(70):
                idle.append(Connection.connect("kavo_streamer", "idle_%d" % i, self.root.dir))
                self.assertEqual(idle[-1].call("GetVideoSettings", timeout=10)["statusCode"], 0, i)
            for i in range(70):
                with Connection.connect("kavo_streamer", "leaver_%d" % i, self.root.dir) as c:
                    c.request("GetVideoSettings")
                self.client.request("GetVideoSettings", **{"from": "ghost_%d" % i})
            # A client asking now and then gets every answer, and so do the idle ones.
            for _ in range(10):
                self.assertEqual(self.call("GetVideoSettings")["statusCode"], 0)
                time.sleep(0.1)
            for i, c in enumerate(idle):
                self.assertEqual(c.call("GetVideoSettings", timeout=10)["statusCode"], 0, i)
        finally:
            for c in idle:
                c.close()
        # The answers nobody could take were dropped, after a while or (beyond 64 such endpoints)
        # at once, with one line per endpoint; a leaver may still have taken its answer.
        def lines(name):
            named = re.compile(r"\b%s\b" % name)
            return len([l for l in self.s.log() if l.startswith("<4>") and named.search(l)])
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not all(lines("ghost_%d" % i) for i in range(70)):
            time.sleep(0.2)
        for i in range(70):
            self.assertEqual(lines("ghost_%d" % i), 1, i)
            self.assertIn(lines("leaver_%d" % i), (0, 1), i)
        self.finish()

    def test_requests_written_at_once_are_all_answered(self):
        ids, data = set(), b""
        for _ in range(400):
            m = make_request("GetVideoSettings", "kavo_streamer", "py_client")
            ids.add(m["id"])
            data += encode_frame(json.dumps(m))
        self.client.send_raw(data)
        # Not read for a while: the answers fill the socket, then the streamer's queue.
        time.sleep(2)
        answered = set()
        while len(answered) < len(ids):
            try:
                answered.add(self.client.read_message(timeout=10).get("requestId"))
            except TimeoutError:
                break
        self.assertEqual(len(answered & ids), 400)
        self.finish()

    def test_an_answer_too_large_to_send_says_so(self):
        current = self.call("GetVideoSettings")["payload"]["video"]
        # Two serializers that carry 9 MiB each: the settings no longer fit into one message.
        answers = []
        for name in ("video1", "video2"):
            serializer = dict(current[name]["avSerializer"], note="x" * (9 << 20))
            answers.append(self.client.call("ChangeVideoSettings", video={name: {"avSerializer": serializer}},
                                            timeout=60))
        self.assertEqual(answers[0]["statusCode"], 0)
        for answer in (answers[1], self.call("GetVideoSettings")):
            self.assertEqual(answer["statusCode"], 1)
            self.assertIn("too large", answer["payload"])
        self.s.wait_log("exceeds the frame limit")
        serializer = current["video2"]["avSerializer"]
        answer = self.client.call("ChangeVideoSettings", video={"video2": {"avSerializer": serializer}}, timeout=60)
        self.assertEqual(answer["statusCode"], 0)
        self.assertEqual(answer["payload"]["video"]["video2"]["avSerializer"], serializer)
        self.finish()


class RecordingTest(Base):
    """What was recorded stays recorded: changes of the destinations, full disks, file-size
    limits, frame-rate changes, destinations beyond the bound."""

    def test_changes_naming_the_same_destinations_keep_the_recordings(self):
        s = self.streaming()
        video1, video2, video2b = (self.root.path("/tmp/%s.flv" % n) for n in ("video1", "video2", "video2b"))
        wait_frames(video1, 60, proc=s.proc)
        with Connection.connect("kavo_streamer", "py_client", self.root.dir) as c:
            current = c.call("GetVideoSettings", timeout=10)["payload"]["video"]
            heads = {n: self.read("/tmp/%s.flv" % n) for n in ("video1", "video2")}
            # The serializer the stream has; then the whole section back with one frame rate changed.
            same = {"video1": {"avSerializer": current["video1"]["avSerializer"]}}
            self.assertEqual(c.call("ChangeVideoSettings", video=same, timeout=10)["statusCode"], 0)
            whole = json.loads(json.dumps(current))
            whole["video1"]["fps"] = 15
            self.assertEqual(c.call("ChangeVideoSettings", video=whole, timeout=10)["statusCode"], 0)
            wait_frames(video1, len(video_frames(video1)) + 30, proc=s.proc)
            # A destination that joins starts its file; one that leaves is closed; the one that
            # stays goes on.
            serializer = current["video2"]["avSerializer"]
            joined = dict(serializer, destinations=serializer["destinations"] + ["file:///tmp/video2b.flv"])
            self.assertEqual(c.call("ChangeVideoSettings", video={"video2": {"avSerializer": joined}},
                                    timeout=10)["statusCode"], 0)
            wait_frames(video2b, 30, proc=s.proc)
            left = dict(serializer, destinations=["file:///tmp/video2b.flv"])
            self.assertEqual(c.call("ChangeVideoSettings", video={"video2": {"avSerializer": left}},
                                    timeout=10)["statusCode"], 0)
            time.sleep(0.2)
            closed = os.path.getsize(video2)
            kept = self.read("/tmp/video2b.flv")
            wait_frames(video2b, len(video_frames(video2b)) + 30, proc=s.proc)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(os.path.getsize(video2), closed)
        for name, head in list(heads.items()) + [("video2b", kept)]:
            data = self.read("/tmp/%s.flv" % name)
            self.assertGreater(len(data), len(head), name)
            self.assertEqual(data[:len(head)], head, "%s started over" % name)
            self.judge_flv("/tmp/%s.flv" % name)

    def test_frame_rate_changes_never_repeat_a_video_time(self):
        # On the real clock: the reset comes while frames of the new rate are being taken.
        self.root.sim({"clock": "realtime"})
        s = self.streaming()
        wait_frames(self.root.path("/tmp/video1.flv"), 30, proc=s.proc)
        with Connection.connect("kavo_streamer", "py_client", self.root.dir) as c:
            for _ in range(5):
                c.request("ChangeVideoSettings", video={"video1": {"fps": 15}, "video2": {"fps": 10}})
                time.sleep(0.1)
                c.request("ResetVideoSettings")
                time.sleep(0.4)
        self.assertEqual(s.stop(), 0)
        for name in ("video1", "video2"):
            times = [t for t, _, _ in video_frames(self.root.path("/tmp/%s.flv" % name))]
            repeats = [(a, b) for a, b in zip(times, times[1:]) if b <= a]
            self.assertEqual(repeats, [], name)
            self.judge_flv("/tmp/%s.flv" % name)

    def test_a_full_disk_keeps_what_was_recorded(self):
        self.assertTrue(DISK_FULL, "KAVO_STREAMER_DISK_FULL not set")
        freed = self.root.path("/tmp/space_freed")
        env = {"LD_PRELOAD": DISK_FULL, "KAVO_TEST_DISK_FULL_FILE": "/tmp/video1.flv",
               "KAVO_TEST_DISK_FULL_AT": "300000", "KAVO_TEST_DISK_FREED": freed,
               "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        doc = two_streams()
        doc["video"]["video1"]["avSerializer"]["destinations"] = ["file:///tmp/video1.flv?retryInterval=1"]
        s = self.streaming(doc=doc, env=env)
        at = s.wait_log("Unable to write to file:///tmp/video1.flv")
        # While the disk is full the file ends on a whole tag, and retries do not spoil it.
        full = self.read("/tmp/video1.flv")
        tags, trailing = parse_flv(full)
        self.assertEqual(trailing, 0)
        self.assertGreater(len([t for t in tags if t[0] == 9]), 20)
        s.wait_log("Unable to write to file:///tmp/video1.flv", start=at + 1)
        again = self.read("/tmp/video1.flv")
        self.assertEqual(again[:len(full)], full)
        self.assertEqual(parse_flv(again)[1], 0)
        with open(freed, "w"):
            pass
        video = self.root.path("/tmp/video1.flv")
        wait_frames(video, len(video_frames(video)) + 60, proc=s.proc)
        self.assertEqual(s.stop(), 0)
        data = self.read("/tmp/video1.flv")
        self.assertEqual(data[:len(full)], full, "the recording started over")
        # It goes on after the gap from a key frame, with its sequence header, later in time.
        after, _ = parse_flv(data[:13] + data[len(full):])
        video_after = [t for t in after if t[0] == 9]
        first = next(i for i, t in enumerate(video_after) if t[2][1] == 1)
        self.assertGreater(first, 0)
        self.assertEqual(video_after[first][2][0], 0x17)
        self.assertEqual(video_after[first - 1][2][:2], b"\x17\x00")
        self.assertGreater(video_after[first][1], max(t[1] for t in tags if t[0] == 9))
        self.judge_flv("/tmp/video1.flv")

    def test_a_file_size_limit_ends_no_stream(self):
        # On the real clock, so that the limit is in place before video1 reaches it.
        self.root.sim({"clock": "realtime", "journal": False})
        limit = 400000
        s = self.streaming()
        resource.prlimit(s.pid, resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        s.wait_log("Unable to write to file:///tmp/video1.flv")
        video2 = self.root.path("/tmp/video2.flv")
        wait_frames(video2, len(video_frames(video2)) + 60, proc=s.proc)
        self.assertEqual(s.stop(), 0)
        self.assertLessEqual(os.path.getsize(self.root.path("/tmp/video1.flv")), limit)
        for name in ("video1", "video2"):
            self.judge_flv("/tmp/%s.flv" % name)

    def test_mjpeg_destinations_are_bounded(self):
        s = self.streaming()
        folder = self.root.path("/tmp/m")
        os.makedirs(folder)
        many = ["file:///tmp/m/%05d.jpg" % i for i in range(20000)]
        video = self.root.path("/tmp/video1.flv")
        with Connection.connect("kavo_streamer", "py_client", self.root.dir) as c:
            serializer = {"type": "mjpg", "destinations": many}
            answer = c.call("ChangeVideoSettings", video={"mjpg": {"avSerializer": serializer}}, timeout=60)
            self.assertEqual(answer["statusCode"], 0)
            s.wait_log("Too many destinations")
            wait_frames(video, len(video_frames(video)) + 60, proc=s.proc)
            self.assertEqual(c.call("GetVideoSettings", timeout=10)["statusCode"], 0)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(sorted(os.listdir(folder)), ["00000.jpg", "00001.jpg", "00002.jpg"])
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height", "-of",
                            "csv=p=0", os.path.join(folder, "00002.jpg")], capture_output=True, text=True)
        self.assertEqual(r.stdout.strip(), "mjpeg,320,180")
        self.judge_flv("/tmp/video1.flv")


class LogIpcTest(Base):
    def test_log_ipc_logs_and_never_rejects(self):
        s = self.streaming("-l")
        with Connection.connect("kavo_streamer", "py_client", self.root.dir) as c:
            sent = c.request("NoSuchFunction")
            with self.assertRaises(TimeoutError):
                c.wait_response(sent["id"], timeout=1.0)
            s.wait_log("HandleRequest: {")
            self.assertTrue(any("NoSuchFunction" in l and "HandleRequest" in l for l in s.log()))
            got = c.call("GetVideoSettings", timeout=10)
            self.assertEqual(got["statusCode"], 0)
            # Served, then logged by the handler that follows in the chain.
            s.wait_log('"functionName":"GetVideoSettings"')
        self.assertFalse(s.has("Operation not supported"))
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    unittest.main()
