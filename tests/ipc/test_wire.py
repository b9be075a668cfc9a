#!/usr/bin/env python3
"""Wire suite: an independent peer (tests/pylib, standard library only) against a real process
that serves an endpoint with libkavo_ipc (kavo_ipc_test_peer)."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))
from kavo_ipc_peer import (Connection, Endpoint, Listener, PeerClosed, encode_frame,  # noqa: E402
                           make_request, socket_path)

PEER = os.environ.get("KAVO_IPC_TEST_PEER", "")
NAME = "kavo_wire_peer"
# Waits for what must come: only a hang lasts this long, however loaded the machine is.
HANG = 60


class PeerProcess:
    def __init__(self, name, root, verbose=False):
        env = dict(os.environ, KAVO_ROOT=root, KAVO_LOG_STDERR="1")
        args = [PEER, name] + (["--verbose"] if verbose else [])
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.first_line = self.proc.stdout.readline().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream and not stream.closed:
                stream.close()
        return self.proc.returncode


class WireTest(unittest.TestCase):
    def setUp(self):
        if not PEER:
            self.skipTest("KAVO_IPC_TEST_PEER not set")
        self.root = tempfile.mkdtemp(prefix="kr.", dir="/tmp")
        os.makedirs(os.path.join(self.root, "var/run/ipc"))
        os.makedirs(os.path.join(self.root, "tmp"))
        os.environ["KAVO_ROOT"] = self.root
        self.peer = PeerProcess(NAME, self.root)
        self.assertEqual(self.peer.first_line, "READY")
        self.conns = []

    def tearDown(self):
        for c in self.conns:
            c.close()
        code = self.peer.stop()
        shutil.rmtree(self.root, ignore_errors=True)
        self.assertEqual(code, 0, "the peer process did not end cleanly")

    def connect(self, name="py_client", **kw):
        c = Connection.connect(NAME, name, **kw)
        self.conns.append(c)
        return c

    def alive(self):
        """The peer process still serves: a fresh client gets an echo."""
        self.assertIsNone(self.peer.proc.poll())
        with Connection.connect(NAME, "py_probe") as c:
            self.assertEqual(c.call("Echo", {"k": 1})["payload"], {"k": 1})

    # ---- framing ---------------------------------------------------------------------------
    def test_handshake_bytes_of_an_outbound_connection(self):
        with Listener("py_listener") as lst:
            c = self.connect()
            self.assertEqual(c.call("Send", {"to": "py_listener", "function": "Hello", "count": 1,
                                             "responseExpected": False})["payload"], {"accepted": 1})
            conn = lst.accept(read_handshake=False)
            self.conns.append(conn)
            raw = b""
            conn.sock.settimeout(5)
            while len(raw) < 4 + len(NAME):
                raw += conn.sock.recv(4 + len(NAME) - len(raw))
            self.assertEqual(raw, struct.pack(">I", len(NAME)) + NAME.encode())
            message = conn.read_message()
            self.assertEqual(message["functionName"], "Hello")
            self.assertEqual(message["from"], NAME)
            self.assertEqual(message["to"], "py_listener")
            self.assertIs(message["responseExpected"], False)

    def test_response_travels_back_over_the_connection_that_asked(self):
        c = self.connect()
        sent = c.request("Echo", {"x": [1, 2]})
        r = c.wait_response(sent["id"])
        self.assertEqual(r["requestId"], sent["id"])
        self.assertEqual(r["statusCode"], 0)
        self.assertEqual(r["from"], NAME)
        self.assertEqual(r["to"], "py_client")
        self.assertEqual(r["payload"], {"x": [1, 2]})

    def test_unknown_function_is_rejected(self):
        r = self.connect().call("NoSuchThing")
        self.assertEqual(r["statusCode"], 1)
        self.assertEqual(r["payload"], "Operation not supported")

    def test_frame_split_byte_by_byte(self):
        c = self.connect()
        frame = encode_frame('{"id":77,"from":"py_client","to":"%s","functionName":"Echo",'
                             '"responseExpected":true,"payload":"split"}' % NAME)
        for i in range(len(frame)):
            c.send_raw(frame[i:i + 1])
            time.sleep(0.002)
        r = c.read_message()
        self.assertEqual((r["requestId"], r["payload"]), (77, "split"))
        with self.assertRaises(TimeoutError):
            c.read_message(0.3)

    def test_two_frames_in_one_write(self):
        c = self.connect()
        a = make_request("Echo", NAME, "py_client", "first")
        b = make_request("Echo", NAME, "py_client", "second")
        c.send_raw(encode_frame(_json(a)) + encode_frame(_json(b)))
        got = [c.read_message(), c.read_message()]
        self.assertEqual([m["requestId"] for m in got], [a["id"], b["id"]])
        self.assertEqual([m["payload"] for m in got], ["first", "second"])

    def test_bad_json_and_trailing_bytes_close_the_connection(self):
        for body in (b"{not json", b'{"functionName":"Echo"} trailing', b"", b"\xff\xfe"):
            c = self.connect()
            c.send_frame(body)
            self.assertTrue(c.is_closed_by_peer(), body)
        self.alive()

    def test_empty_handshake_closes_the_connection(self):
        c = self.connect(handshake=False)
        c.send_raw(encode_frame(b"") + encode_frame(_json(make_request("Echo", NAME, "py_client", "never"))))
        self.assertTrue(c.is_closed_by_peer())
        self.assertEqual(c.frames, [])
        self.alive()

    def test_frame_lengths_above_16_MiB_close_the_connection(self):
        for n in (16 * 1024 * 1024 + 1, 0xFFFFFFFF):
            c = self.connect()
            c.send_raw(struct.pack(">I", n) + b"{")
            self.assertTrue(c.is_closed_by_peer(), n)
        self.alive()

    def test_everything_sent_before_closing_is_served(self):
        # Each request makes the peer send one "Mark" to the sink, so what it served is seen
        # there even though the sender is gone.
        with Endpoint("py_sink") as sink:
            c = self.connect("py_hasty")
            data = b""
            for i in range(30):
                m = make_request("Send", NAME, "py_hasty", {"to": "py_sink", "function": "Mark", "count": 1,
                                                             "responseExpected": False,
                                                             "payload": {"i": i, "pad": "x" * 500}},
                                 response_expected=False)
                data += encode_frame(_json(m))
            c.send_raw(data)
            c.close()
            got = []
            deadline = time.monotonic() + HANG
            while len(got) < 30 and time.monotonic() < deadline:
                got += [m["payload"]["i"] for _, m in sink.poll(0.05)]
            self.assertEqual(got, list(range(30)))

    # ---- endpoint names --------------------------------------------------------------------
    def test_names_of_93_and_94_characters(self):
        n93, n94 = "e" * 93, "f" * 94
        ok = PeerProcess(n93, self.root)
        try:
            self.assertEqual(ok.first_line, "READY")
            with Connection.connect(n93, "py_client") as c:
                self.assertEqual(c.call("Echo", 93)["payload"], 93)
        finally:
            self.assertEqual(ok.stop(), 0)
        bad = PeerProcess(n94, self.root, verbose=True)
        self.assertEqual(bad.first_line, "INIT FAILED")
        self.assertEqual(bad.proc.wait(10), 1)
        self.assertIn("Unix socket path too long: `/var/run/ipc/%s`" % n94, bad.proc.stderr.read())
        bad.stop()
        with self.assertRaises(ValueError):
            socket_path(n94)

    # ---- stalls and failures ---------------------------------------------------------------
    def test_a_peer_that_stops_reading_during_1_MiB_stalls_nobody_else(self):
        slow = self.connect("py_slow")
        sent = slow.request("Big", {"size": 1 << 20})
        other = self.connect("py_other")

        def big_answer_queued():  # made, and more of it than the socket takes
            return other.call("Queued", {"to": "py_slow"}, timeout=HANG)["payload"]["count"] == 1
        deadline = time.monotonic() + HANG
        while not big_answer_queued():
            self.assertLess(time.monotonic(), deadline, "the big answer was never queued")
            time.sleep(0.01)
        # A hub that waited for the slow peer would answer only once it reads again (below).
        self.assertEqual(other.call("Echo", "quick", timeout=HANG)["payload"], "quick")
        self.assertTrue(big_answer_queued(), "the slow peer took the big answer meanwhile")
        r = slow.wait_response(sent["id"], timeout=HANG)
        self.assertEqual(r["payload"], "b" * (1 << 20))

    def test_a_peer_killed_mid_write_or_mid_read(self):
        script = textwrap.dedent("""
            import sys, time
            sys.path.insert(0, %r)
            from kavo_ipc_peer import Connection, encode_frame
            c = Connection.connect(%r, "py_doomed")
            if sys.argv[1] == "write":
                c.send_raw(encode_frame(b'{"functionName":"Echo","payload":"' + b"z" * 100000 + b'"}')[:50000])
            else:
                c.request("Big", {"size": 8 << 20})
                c.sock.recv(1000)
            print("armed", flush=True)
            time.sleep(60)
        """) % (os.path.join(HERE, "..", "pylib"), NAME)
        for mode in ("write", "read"):
            child = subprocess.Popen([sys.executable, "-c", script, mode], stdout=subprocess.PIPE, text=True)
            self.assertEqual(child.stdout.readline().strip(), "armed")
            time.sleep(0.2)
            child.kill()
            child.wait()
            child.stdout.close()
            time.sleep(0.2)
            self.alive()

    def test_a_listener_that_starts_3_s_after_the_sends_gets_them_within_one_retry(self):
        c = self.connect()
        self.assertEqual(c.call("Send", {"to": "py_late", "function": "Late", "count": 3,
                                         "responseExpected": True})["payload"], {"accepted": 3})
        time.sleep(3)
        with Endpoint("py_late") as ep:
            # The reconnect timer ticks every 2 s and the first tick connects (the hub's unit test
            # holds it to that); a loaded machine may serve a tick late.
            started = time.monotonic()
            got = []
            while len(got) < 3 and time.monotonic() - started < HANG:
                for _, m in ep.poll(0.05):
                    got.append(m)
            self.assertEqual([m["payload"]["n"] for m in got], [0, 1, 2])
            # Answer one: the peer relays what it received under the request's function name.
            ep.respond(got[1], status=5, payload="late answer")
            seen = c.wait_message(lambda m: m.get("functionName") == "ResponseSeen")
            self.assertEqual(seen["payload"]["request"]["id"], got[1]["id"])
            self.assertEqual(seen["payload"]["response"]["statusCode"], 5)
            self.assertEqual(seen["payload"]["response"]["payload"], "late answer")

    def test_queue_limits_of_64_requests_and_128_frames(self):
        c = self.connect()
        r = c.call("Send", {"to": "py_nobody", "function": "Fn", "count": 70, "responseExpected": False})
        self.assertEqual(r["payload"], {"accepted": 64})
        r = c.call("SendResponses", {"to": "py_nobody", "count": 70})
        self.assertEqual(r["payload"], {"accepted": 64})
        self.assertEqual(c.call("Queued", {"to": "py_nobody"})["payload"], {"count": 128})
        # Once the endpoint listens the whole queue leaves, oldest first.
        with Endpoint("py_nobody") as ep:
            got = []
            deadline = time.monotonic() + HANG
            while len(got) < 128 and time.monotonic() < deadline:
                got += [m for _, m in ep.poll(0.05)]
            self.assertEqual(len(got), 128)
            self.assertEqual([m["payload"]["n"] for m in got[:64]], list(range(64)))
            self.assertTrue(all(m["functionName"] == "__response__" for m in got[64:]))


def _json(message):
    import json
    return json.dumps(message, separators=(",", ":"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
