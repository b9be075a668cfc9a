#!/usr/bin/python3
"""Process tests of the ISP server's IPC front end: the real kavo_ispserver_gen2 under a test root
talks to a client ("tclient") and an analytics stand-in ("kavo_analytics") of isp_peers (standard
library only, no code of the system), and receives the real streamer's recovery burst.

Environment: KAVO_ISPSERVER, KAVO_ISPSERVER_SETTINGS (see ispserver_harness), KAVO_STREAMER (the
streamer program, for the recovery burst).
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ISP_CLIENT = os.path.join(HERE, "..", "..", "tools", "isp_client", "kavo_isp_client.py")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "streamer"))
from ispserver_harness import IspRoot  # noqa: E402
from isp_peers import Analytics, Client, socket_path  # noqa: E402
import streamer_harness  # noqa: E402

SETTINGS_KEYS = {
    "brightness", "contrast", "denoise", "hue", "saturation", "sharpness", "wdr", "mirror", "flip", "aeMode",
    "irLedMode", "irLedLevel", "focusMode", "zoomPosition", "focusPosition", "irOnValBrightness",
    "irOnStsBrightness", "irOnValContrast", "irOnStsContrast", "irOnValDenoise", "irOnStsDenoise", "irOnValHue",
    "irOnStsHue", "irOnValSaturation", "irOnStsSaturation", "irOnValSharpness", "irOnStsSharpness"}
SANITIZER_WORDS = ("AddressSanitizer", "ThreadSanitizer", "LeakSanitizer", "runtime error:")


class Base(unittest.TestCase):
    board = "ORL Fennel"

    def setUp(self):
        self.root = IspRoot(board=self.board)
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            p.close()
        self.root.cleanup()

    def server(self):
        s = self.root.start(level=7)
        self.root.wait_ready(s, timeout=40)
        return s

    def analytics(self):
        a = Analytics(self.root.dir)
        self.peers.append(a)
        return a

    def client(self, name="tclient"):
        c = Client(self.root.dir, name=name)
        self.peers.append(c)
        return c

    def assert_no_sanitizer_report(self, s):
        for line in s.log():
            for word in SANITIZER_WORDS:
                self.assertNotIn(word, line)


class HandshakeTest(Base):
    def test_changes_go_through_analytics(self):
        s = self.server()
        analytics = self.analytics()
        c = self.client()

        # Nothing to change: status 0 at once, with the 27 settings.
        same = c.call("ChangeIspSettings", {"brightness": 50, "flip": 0})
        self.assertEqual(same["statusCode"], 0)
        self.assertEqual(set(same["payload"]), SETTINGS_KEYS)
        self.assertEqual(analytics.quiet(0.2), 0)

        # A brightness change: announced, applied when analytics says 0.
        rid = c.request("ChangeIspSettings", {"brightness": 70})
        note = analytics.announcement()
        self.assertIsNotNone(note, s.log()[-10:])
        expected = {"functionName": "AnalyticsInterrupt", "from": "kavo_ispserver", "to": "kavo_analytics",
                    "reason": "ISP change", "responseExpected": True, "sendClosure": True,
                    "interruptTimeoutMs": 5000}
        for key, value in expected.items():
            self.assertEqual(note[key], value, key)
        # Busy while it waits.
        busy = c.call("ChangeIspSettings", {"contrast": 10})
        self.assertEqual((busy["statusCode"], busy["payload"]), (1, {"reason": "Busy"}))
        self.assertIsNone(c.answer(rid, 0.2))
        analytics.answer(note, 0)
        done = c.answer(rid)
        self.assertEqual(done["statusCode"], 0)
        self.assertEqual(set(done["payload"]), SETTINGS_KEYS)
        self.assertEqual(done["payload"]["brightness"], 70)
        self.assertEqual(done["payload"]["contrast"], 50)

        # A mirror change: "ChangeAnalyticsSettings" with only the mirror set.
        rid = c.request("ChangeIspSettings", {"mirror": 1})
        note = analytics.announcement()
        expected = {"functionName": "ChangeAnalyticsSettings", "from": "kavo_ispserver", "to": "kavo_analytics",
                    "responseExpected": True, "respondFullSettings": False, "ispMirror": 1, "ispFlip": 2,
                    "incremental": True, "sendEvents": 2, "interruptTimeoutMs": 5000, "zones": None}
        for key, value in expected.items():
            self.assertEqual(note[key], value, key)
        analytics.answer(note, 0)
        self.assertEqual(c.answer(rid)["payload"]["mirror"], 1)

        # Refused by analytics: status 1, nothing applied, now or later.
        rid = c.request("ChangeIspSettings", {"saturation": 5})
        note = analytics.announcement()
        analytics.answer(note, 1)
        refused = c.answer(rid)
        self.assertEqual(refused["statusCode"], 1)
        self.assertEqual(refused["payload"]["saturation"], 50)
        self.assertEqual(c.call("ChangeIspSettings")["payload"]["saturation"], 50)

        # No "responseExpected": applied after analytics agrees, never answered.
        rid = c.request("ChangeIspSettings", {"hue": 20}, expect_key=False)
        analytics.answer(analytics.announcement(), 0)
        self.assertIsNone(c.answer(rid, 0.5))
        self.assertEqual(c.call("ChangeIspSettings")["payload"]["hue"], 20)

        # "AnalyticsInterrupt" sent to the server is no request it serves: no answer at all.
        self.assertIsNone(c.answer(c.request("AnalyticsInterrupt", {"reason": "x"}), 0.5))
        s.wait_log("Invalid function name", timeout=5)
        # A function it does not know: refused.
        other = c.call("SetIrisMode")
        self.assertEqual((other["statusCode"], other["payload"]), (1, "Operation not supported"))
        self.assertEqual(s.stop(), 0)


    def test_an_answer_from_another_connection_is_dropped(self):
        # Ids come from one counter, so the pending announcement's is easy to guess; any client
        # may claim any name. Only the connection the announcement left on may answer it.
        s = self.server()
        analytics = self.analytics()
        c = self.client()
        rid = c.request("ChangeIspSettings", {"brightness": 10})
        note = analytics.announcement()
        self.assertIsNotNone(note, s.log()[-10:])
        forger = self.client("tforger")
        forger.conn.send({"id": note["id"] + 1, "timeStamp": time.time(), "from": "kavo_analytics",
                          "to": "kavo_ispserver", "functionName": "__response__", "requestId": note["id"],
                          "statusCode": 0, "payload": None})
        self.assertIsNone(c.answer(rid, 1.0), "the forged answer applied the change")
        s.wait_log("not on the connection the request left on", timeout=10)
        analytics.answer(note, 0)
        done = c.answer(rid)
        self.assertEqual((done["statusCode"], done["payload"]["brightness"]), (0, 10))
        self.assertEqual(s.stop(), 0)

    def test_negative_numbers_are_out_of_range(self):
        # In the settings file a negative number reads as the default, as a mistyped one does; in
        # a request it is not set, as one above the range is.
        with open(self.root.path("/usr/etc/kavo_ispserver.json")) as f:
            doc = json.load(f)
        doc["image"]["contrast"] = -20
        doc["ir"]["led"]["level"] = -1
        with open(self.root.path("/usr/etc/kavo_ispserver.json"), "w") as f:
            json.dump(doc, f)
        s = self.server()
        analytics = self.analytics()
        c = self.client()
        answer = c.call("ChangeIspSettings", {"brightness": -1, "zoomPosition": -206, "irLedLevel": -5,
                                              "mirror": -1})
        self.assertIsNotNone(answer, "announced and waiting for analytics: something was set")
        self.assertEqual(answer["statusCode"], 0)
        self.assertEqual(analytics.quiet(0.3), 0)
        got = {k: answer["payload"][k] for k in ("brightness", "contrast", "irLedLevel", "zoomPosition", "mirror")}
        self.assertEqual(got, {"brightness": 50, "contrast": 50, "irLedLevel": 215, "zoomPosition": 0, "mirror": 0})
        self.assertEqual(s.stop(), 0)


class TimeoutTest(Base):
    def test_a_silent_analytics_is_waited_for_ten_seconds(self):
        s = self.server()
        analytics = self.analytics()
        c = self.client()
        t0 = time.monotonic()
        first = c.request("ChangeIspSettings", {"sharpness": 80})
        self.assertIsNotNone(analytics.announcement())
        t_announced = time.monotonic()
        # The change was noted between t0 and t_announced; 9.9 s after t0 it is at most that old.
        time.sleep(max(0.0, t0 + 9.9 - time.monotonic()))
        early = c.call("ChangeIspSettings", {"contrast": 10})
        self.assertEqual(early["payload"], {"reason": "Busy"})
        self.assertIsNone(c.answer(first, 0))
        time.sleep(max(0.0, t_announced + 10.1 - time.monotonic()))
        late = c.request("ChangeIspSettings")
        applied = c.answer(first)
        self.assertIsNotNone(applied)
        self.assertEqual((applied["statusCode"], applied["payload"]["sharpness"]), (0, 80))
        self.assertEqual(c.answer(late)["statusCode"], 0)
        s.wait_log("Timeout propagating ISP changes to analytics", timeout=5)
        self.assertEqual(analytics.quiet(0.2), 0)  # announced once
        self.assertEqual(s.stop(), 0)

    def test_analytics_that_starts_late_gets_the_queued_announcement(self):
        s = self.server()
        c = self.client()
        rid = c.request("ChangeIspSettings", {"denoise": 10})
        time.sleep(3)
        analytics = self.analytics()
        note = analytics.announcement(timeout=10)
        self.assertIsNotNone(note)
        self.assertEqual(note["functionName"], "AnalyticsInterrupt")
        analytics.answer(note, 0)
        self.assertEqual(c.answer(rid)["payload"]["denoise"], 10)
        self.assertEqual(s.stop(), 0)


class ReinitTest(Base):
    board = "ORL Brisk"  # a zoom board: a re-initialisation takes 5 s

    def test_reset_all_waits_for_the_reinitialisation(self):
        s = self.server()
        c = self.client()
        c.request("ReInitIsp", expect_key=False)
        t0 = time.monotonic()
        rid = c.request("ResetAllIspSettings")
        answer = c.answer(rid, 30)
        waited = time.monotonic() - t0
        self.assertIsNotNone(answer)
        self.assertEqual(answer["statusCode"], 0)
        self.assertGreater(waited, 4.5)
        s.wait_log("ISP Server re-init done.", timeout=5)
        messages = s.messages()
        self.assertLess(messages.index("[IPC]ReInitIsp"), messages.index("ISP Server re-init..."))
        self.assertEqual(s.stop(), 0)


class ClientToolTest(Base):
    """The command-line client of tools/ against the real server."""

    def tool(self, *args):
        return subprocess.Popen([sys.executable, ISP_CLIENT, "--root", self.root.dir] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def run_tool(self, *args):
        p = self.tool(*args)
        out, err = p.communicate(timeout=30)
        return p.returncode, out, err

    def test_the_isp_client(self):
        s = self.server()
        analytics = self.analytics()
        change = self.tool("ChangeIspSettings", '{"brightness": 65, "aeMode": "manual"}')
        note = analytics.announcement()
        self.assertEqual(note["functionName"], "AnalyticsInterrupt")
        analytics.answer(note, 0)
        out, err = change.communicate(timeout=30)
        self.assertEqual(change.returncode, 0, err)
        answer = json.loads(out)
        self.assertEqual((answer["payload"]["brightness"], answer["payload"]["aeMode"]), (65, "manual"))

        self.assertEqual(self.run_tool("ReInitIsp")[0], 0)
        s.wait_log("ISP Server re-init done.")
        for bad in ("{", "[1]"):
            status, _, err = self.run_tool("ChangeIspSettings", bad)
            self.assertEqual(status, 2, bad)
            self.assertIn("SETTINGS", err)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(self.run_tool("ResetIspSettings", "--timeout", "0.5")[0], 2)


class Tap:
    """Sits between the server's socket and its peers: moves the server's socket aside, listens
    in its place and relays both ways, keeping every frame the server sends (by peer name)."""

    def __init__(self, root, name):
        self.path = socket_path(root, name)
        os.rename(self.path, self.path + ".real")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(8)
        self.sent = []  # (peer name, message) from the server
        self.names = []  # the peers that connected through the tap
        self.lock = threading.Lock()
        self.socks = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                peer, _ = self.listener.accept()
            except OSError:
                return
            real = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            real.connect(self.path + ".real")
            self.socks += [peer, real]
            name = []
            threading.Thread(target=self._relay, args=(peer, real, name, False), daemon=True).start()
            threading.Thread(target=self._relay, args=(real, peer, name, True), daemon=True).start()

    def _relay(self, src, dst, name, from_server):
        pending = b""
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                break
            if not data:
                break
            # Kept before it is passed on, so a peer that has its answer finds it recorded.
            pending += data
            while len(pending) >= 4 and len(pending) >= 4 + struct.unpack(">I", pending[:4])[0]:
                size = struct.unpack(">I", pending[:4])[0]
                body, pending = pending[4:4 + size], pending[4 + size:]
                with self.lock:
                    if not from_server and not name:
                        name.append(body.decode(errors="replace"))
                        self.names.append(name[0])
                    elif from_server:
                        self.sent.append((name[0] if name else "", json.loads(body)))
            try:
                dst.sendall(data)
            except OSError:
                break
        for sock in (src, dst):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def to(self, peer):
        with self.lock:
            return [m for n, m in self.sent if n == peer]

    def close(self):
        self.listener.close()
        for sock in self.socks:
            sock.close()


class RecoveryBurstTest(Base):
    """The streamer's recovery after a failed restart (a frame-number gap, then a start that the
    simulated DSP refuses once) ends in four requests to "kavo_ispserver", none expecting an answer."""

    def test_the_streamers_recovery_burst_reaches_the_server(self):
        root = self.root
        root.write("/etc/board.info", streamer_harness.BOARD_INFO + "board.name=ORL Fennel\n")
        root.write("/proc/uptime", "1000.50 250.25\n")
        root.write("/proc/sys/kernel/hostname", "camera-sim\n")
        root.write("/lib/version", streamer_harness.FIRMWARE_VERSION)
        root.sim({"clock": "virtual"})
        root.config(streamer_harness.two_streams(mjpg=False))
        s = self.server()
        tap = Tap(root.dir, "kavo_ispserver")
        self.peers.append(tap)

        streamer = streamer_harness.Streamer(root)
        root.procs.append(streamer)
        streamer.wait_log("A/V encoding started")
        root.faults({"faults": [{"frame": "gap", "after": 5, "skip": 1},
                                {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "errno": "EIO"}]})
        streamer.wait_log("Start Encoding Failed!", timeout=30)
        for line in ("[IPC]ReInitIsp", "[IPC]ResetAllIspSettings", "[IPC]ReloadIspSettings"):
            s.wait_log(line, timeout=30)
        s.wait_log("ISP Server re-init done.", timeout=30)
        # The fourth request, a change without settings, changed nothing and needed no announcement.
        time.sleep(1.5)  # a reset waits for the re-initialisation in steps of 1 s
        self.assertFalse(s.has("Failed to send"))
        self.assertFalse(s.has("changed:"))
        self.assertFalse(s.has("Invalid function name"))

        # The server keeps serving; the tap sees that answer go out, and none to the streamer.
        c = self.client()
        answer = c.call("ChangeIspSettings")
        self.assertEqual(answer["statusCode"], 0)
        self.assertEqual(len(tap.to("tclient")), 1)
        self.assertIn("kavo_streamer", tap.names)
        self.assertEqual(tap.to("kavo_streamer"), [])
        self.assertEqual(streamer.stop(), 0)
        self.assertEqual(s.stop(), 0)
        self.assert_no_sanitizer_report(s)


class SigtermTest(Base):
    def test_sigterm_with_a_pending_change(self):
        s = self.server()
        analytics = self.analytics()
        c = self.client()
        rid = c.request("ChangeIspSettings", {"brightness": 10, "flip": 1})
        self.assertIsNotNone(analytics.announcement())
        time.sleep(0.1)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.wait(), 0)
        self.assertIsNone(c.answer(rid, 0.2))
        s.wait_log("server stop done", timeout=5)
        self.assert_no_sanitizer_report(s)


if __name__ == "__main__":
    unittest.main()
