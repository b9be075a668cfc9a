#!/usr/bin/env python3
"""The peers of the ISP soak (isp_soak.py), Python 3 standard library: the analytics stand-in,
the settings client, the request flood, the VISCA client, the fault files of the lens-MCU emulator
and of the simulated DSP, the scene and the samplers. Each is a thread that acts until its Stop
and keeps what it saw for the judge (isp_soak_judge.py); times are time.monotonic_ns().
"""
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

from isp_peers import Analytics, Client, new_id, socket_path
from kavo_visca_client import ChannelError, ViscaChannel
from soak_peers import mono

S = 1_000_000_000
VISCA_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "visca_client",
                            "kavo_visca_client.py")


def write_atomic(path, doc):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w") as f:
        json.dump(doc, f)
    os.rename(path + ".new", path)


def camera_show(camera, root_dir):
    r = subprocess.run([camera, "--root", root_dir, "show"], capture_output=True, text=True)
    try:
        return json.loads(r.stdout)
    except ValueError:
        return None


class LogWatch(threading.Thread):
    """Times at which lines holding the watched fragments reach a program's log."""

    def __init__(self, stop, path, fragments):
        super().__init__(daemon=True)
        self.stop, self.path, self.fragments = stop, path, fragments
        self.seen = {f: [] for f in fragments}
        self.cond = threading.Condition()

    def run(self):
        offset, rest = 0, b""
        while True:
            final = bool(self.stop)
            try:
                with open(self.path, "rb") as f:
                    f.seek(offset)
                    data = f.read()
            except OSError:
                data = b""
            offset += len(data)
            lines = (rest + data).split(b"\n")
            rest = lines.pop()
            now = mono()
            with self.cond:
                for line in lines:
                    for frag in self.fragments:
                        if frag.encode() in line:
                            self.seen[frag].append(now)
                self.cond.notify_all()
            if final:
                return
            self.stop.sleep(0.02)

    def count(self, fragment):
        with self.cond:
            return len(self.seen[fragment])

    def wait_count(self, fragment, n, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.seen[fragment]) < n and time.monotonic() < deadline:
                self.cond.wait(0.05)
            return len(self.seen[fragment]) >= n


class TimedClient(Client):
    """A client that stamps each answer with the time it was read."""

    def __init__(self, root, name):
        super().__init__(root, name=name)
        self.stamps = {}

    def poll(self, timeout=0.0):
        self._take(timeout)
        now = mono()
        for rid in self.answers:
            self.stamps.setdefault(rid, now)


class AnalyticsActor(threading.Thread):
    """The analytics endpoint in moods that last 8-20 s: it answers 0, refuses, answers late (1.5-4 s,
    or 11-13 s: after the server's 10 s), stays silent, or is gone (no endpoint at all)."""

    MOODS = [("answer", 40), ("refuse", 15), ("late", 15), ("too_late", 10), ("silent", 10), ("gone", 10)]

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.notes = []  # [t_received, t_answered or None, status, function, mood, request id]
        self.moods = []  # (t, mood)

    def mood(self):
        total = sum(w for _, w in self.MOODS)
        x = self.rng.uniform(0, total)
        for name, w in self.MOODS:
            x -= w
            if x <= 0:
                return name
        return "answer"

    def run(self):
        endpoint = None
        due = []
        mood, until = "answer", mono() + 8 * S
        self.moods.append((mono(), mood))
        while not self.stop:
            if mono() >= until:
                mood, until = self.mood(), mono() + int(self.rng.uniform(8, 20) * S)
                self.moods.append((mono(), mood))
                if mood == "gone" and endpoint is not None:
                    endpoint.close()
                    endpoint, due = None, []
            if mood == "gone":
                self.stop.sleep(0.1)
                continue
            if endpoint is None:
                endpoint = Analytics(self.root.dir)
            note = endpoint.announcement(timeout=0.05)
            if note is not None:
                entry = [mono(), None, None, note.get("functionName"), mood, note.get("id")]
                self.notes.append(entry)
                if mood in ("answer", "refuse"):
                    due.append((0, note, entry, 0 if mood == "answer" else 1))
                elif mood in ("late", "too_late"):
                    delay = self.rng.uniform(1.5, 4) if mood == "late" else self.rng.uniform(11, 13)
                    due.append((mono() + int(delay * S), note, entry, 0))
            now = mono()
            for item in [d for d in due if d[0] <= now]:
                due.remove(item)
                _, note, entry, status = item
                try:
                    endpoint.answer(note, status)
                    entry[1], entry[2] = mono(), status
                except OSError:
                    pass
        if endpoint is not None:
            endpoint.close()

    def record(self):
        return {"notes": self.notes, "moods": self.moods}


class Forger(threading.Thread):
    """A peer that answers announcements it never received: for each that the analytics stand-in
    answers late or not at all, a status-0 response with the id of the server's pending request,
    "from" kavo_analytics, on a connection of its own, 0.05-1 s after the announcement (before any
    late answer). None of them may apply a change."""

    MOODS = ("late", "too_late", "silent")

    def __init__(self, stop, root, rng, analytics):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.analytics = stop, root, rng, analytics
        self.forged = []  # [t_sent, request id, function]

    def run(self):
        client, seen, due = None, 0, []
        while not self.stop:
            notes = self.analytics.notes
            for entry in notes[seen:]:
                if entry[4] in self.MOODS:
                    due.append((entry[0] + int(self.rng.uniform(0.05, 1.0) * S), entry))
            seen = len(notes)
            now = mono()
            for item in [d for d in due if d[0] <= now]:
                due.remove(item)
                entry = item[1]
                if entry[1] is not None:
                    continue
                try:
                    if client is None or client.conn.closed:
                        client = TimedClient(self.root.dir, "tforger")
                    client.conn.send({"id": new_id(), "timeStamp": time.time(), "from": "kavo_analytics",
                                      "to": "kavo_ispserver", "functionName": "__response__",
                                      "requestId": entry[5], "statusCode": 0, "payload": None})
                    self.forged.append([mono(), entry[5], entry[3]])
                except OSError:
                    client = None
            if client is not None:
                client.poll(0)
            self.stop.sleep(0.02)
        if client is not None:
            client.close()

    def record(self):
        return self.forged


CHANGE_FIELDS = ("brightness", "contrast", "saturation", "hue", "sharpness", "denoise")


class Controller(threading.Thread):
    """One client that changes settings one request at a time and waits for each answer: valid
    changes, out-of-range and malformed ones, resets, reloads, re-initialisations (alone, or followed
    by "ResetAllIspSettings", which waits for them)."""

    DONE = "ISP Server re-init done."

    def __init__(self, stop, root, rng, watch):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.watch = stop, root, rng, watch
        self.requests = []  # [kind, function, t_sent, t_answered, status, expects, base]
        self.reset_all_windows = []  # (t_sent, t_answered or None)
        self.reinits = []  # [t_sent, t_done or None]
        self.reinit_rids = []
        self.client = None

    def change(self):
        r = self.rng
        kind = r.choice(["valid", "valid", "valid", "mirror", "range", "malformed", "empty"])
        if kind == "valid":
            fields = {f: r.randrange(0, 101) for f in r.sample(CHANGE_FIELDS, r.randrange(1, 4))}
        elif kind == "mirror":
            fields = {r.choice(["mirror", "flip"]): r.randrange(0, 2)}
        elif kind == "range":
            fields = {r.choice(CHANGE_FIELDS): r.choice([-1, 101, 255, 300, 100000, -100000])}
        elif kind == "malformed":
            fields = {r.choice(CHANGE_FIELDS + ("mirror", "aeMode", "irLedMode")):
                      r.choice(["abc", [1, 2], {"x": 1}, None, 1.5, True, "", "\u00ff" * 3])}
            if r.random() < 0.3:
                fields["noSuchSetting"] = 7
        else:
            fields = {}
        return "change_" + kind, "ChangeIspSettings", fields

    def ask(self, kind, function, fields, timeout=40.0, base=None):
        t = mono()
        rid = self.client.request(function, fields)
        entry = [kind, function, t, None, None, True, base]
        self.requests.append(entry)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and rid not in self.client.answers:
            self.client.poll(0.02)
            if self.client.conn.closed:
                break
        if rid in self.client.answers:
            entry[3] = self.client.stamps[rid]
            entry[4] = self.client.answers[rid].get("statusCode")
        return entry

    def reinit(self, reset_all):
        before = self.watch.count(self.DONE)
        t = mono()
        rid = self.client.request("ReInitIsp")  # expects an answer it must never get
        self.reinit_rids.append(rid)
        entry = [t, None]
        self.reinits.append(entry)
        if reset_all:
            window = [mono(), None]
            self.reset_all_windows.append(window)
            got = self.ask("reset_all", "ResetAllIspSettings", None, timeout=60, base="reinit")
            window[1] = got[3]
        if self.watch.wait_count(self.DONE, before + 1, 60):
            entry[1] = self.watch.seen[self.DONE][before]

    def run(self):
        self.client = TimedClient(self.root.dir, "tsoak")
        next_reinit = time.monotonic() + self.rng.uniform(10, 20)
        while not self.stop:
            if time.monotonic() >= next_reinit:
                self.reinit(reset_all=self.rng.random() < 0.5)
                next_reinit = time.monotonic() + self.rng.uniform(20, 40)
                continue
            x = self.rng.random()
            if x < 0.7:
                self.ask(*self.change())
            elif x < 0.85:
                self.ask("reset", "ResetIspSettings", None)
            else:
                self.ask("reload", "ReloadIspSettings", None)
            self.stop.sleep(self.rng.uniform(0.2, 1.5))
        self.client.poll(1.0)
        self.client.close()

    def record(self):
        return self.requests

    def summary(self):
        answered_reinit = [rid for rid in self.reinit_rids if rid in self.client.answers]
        return {"reinit_answered": len(answered_reinit), "reinits": len(self.reinits),
                "reinits_done": sum(1 for r in self.reinits if r[1])}


class Flood(threading.Thread):
    """Requests that change nothing on three connections (about `rate` a second): a change without
    settings (0, or "Busy" while a change waits), unknown functions, requests that want no answer;
    and now and then a connection of its own with a malformed frame: bad JSON, a length beyond any
    limit, a frame cut short, no name."""

    def __init__(self, stop, root, rng, rate):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.rate = stop, root, rng, rate
        self.requests = []  # [kind, function, t_sent, t_answered, status, expects, None]
        self.junk = {}
        self.clients = []

    def junk_connection(self):
        kind = self.rng.choice(["bad_json", "huge_length", "cut_short", "no_name", "binary"])
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(socket_path(self.root.dir, "kavo_ispserver"))
            if kind != "no_name":
                s.sendall(struct.pack(">I", 5) + b"tjunk")
            body = {"bad_json": b"{\"functionName\": \"ChangeIspSettings\", ", "binary": os.urandom(64),
                    "no_name": b""}.get(kind, b"{}")
            if kind == "huge_length":
                s.sendall(struct.pack(">I", 0x7FFFFFF0) + b"{}")
            elif kind == "cut_short":
                s.sendall(struct.pack(">I", 100) + b"{\"id\": 1")
            else:
                s.sendall(struct.pack(">I", len(body)) + body)
            self.stop.sleep(0.2)
        except OSError:
            pass
        finally:
            s.close()
        self.junk[kind] = self.junk.get(kind, 0) + 1

    def run(self):
        self.clients = [TimedClient(self.root.dir, "tflood%d" % i) for i in range(3)]
        pending = {}  # rid -> (client, entry)
        period = 1.0 / self.rate
        next_t = time.monotonic()
        next_junk = time.monotonic() + self.rng.uniform(2, 6)
        while not self.stop:
            now = time.monotonic()
            if now >= next_t:
                c = self.rng.choice(self.clients)
                x = self.rng.random()
                if x < 0.6:
                    kind, function, expects = "empty", "ChangeIspSettings", True
                elif x < 0.8:
                    kind, function, expects = "unknown", self.rng.choice(["SetIrisMode", "GetIspSettings", ""]), True
                else:
                    kind, function, expects = "no_answer", "ChangeIspSettings", False
                t = mono()
                try:
                    rid = c.request(function, None, response_expected=expects)
                except OSError:
                    break
                entry = [kind, function, t, None, None, expects, None]
                self.requests.append(entry)
                pending[rid] = (c, entry)
                next_t += period
            if now >= next_junk:
                self.junk_connection()
                next_junk = time.monotonic() + self.rng.uniform(3, 8)
            for c in self.clients:
                c.poll(0)
            for rid in [r for r, (c, _) in pending.items() if r in c.answers]:
                c, entry = pending.pop(rid)
                entry[3] = c.stamps[rid]
                entry[4] = c.answers[rid].get("statusCode")
                del c.answers[rid]
            time.sleep(0.005)
        deadline = time.monotonic() + 2
        while pending and time.monotonic() < deadline:
            for c in self.clients:
                c.poll(0.02)
            for rid in [r for r, (c, _) in pending.items() if r in c.answers]:
                c, entry = pending.pop(rid)
                entry[3] = c.stamps[rid]
                entry[4] = c.answers[rid].get("statusCode")
        for c in self.clients:
            c.close()

    def record(self):
        return self.requests

    def summary(self):
        return {"junk": self.junk}


# VISCA requests: (packet, bound in seconds, weight). The bounds follow what each command waits
# for: an inquiry of the lens MCU polls about 1 s, and may first wait for one exchange of another
# thread on the link (the 3A thread's light-sensor inquiry; the link takes one exchange at a time);
# the position reads try three times; the light-sensor sequence waits 3 x 500 ms; an absolute move
# waits up to 15 s for the lens's completion, then reads back twice; the correction check waits up
# to 3 + 2 x 25 s.
VISCA = [
    ("81 09 04 39 FF", 1.0, 8), ("81 09 04 47 FF", 6.5, 6), ("81 09 04 48 FF", 6.5, 6), ("81 09 06 12 FF", 2.5, 3),
    ("81 09 06 10 FF", 2.5, 2), ("81 09 04 D6 FF", 2.5, 2), ("81 09 04 E0 FF", 1.0, 2), ("81 09 04 F7 FF", 1.0, 2),
    ("81 09 04 FD FF", 3.0, 1), ("81 09 04 99 FF", 1.0, 2), ("81 09 00 02 FF", 1.0, 2), ("81 09 04 08 FF", 1.0, 2),
    ("81 01 04 39 00 FF", 1.5, 3), ("81 01 04 35 00 FF", 1.0, 3), ("81 01 04 07 00 FF", 1.5, 3),
    ("81 01 04 07 02 FF", 1.5, 1), ("81 01 04 07 03 FF", 1.5, 1), ("81 01 04 08 00 FF", 1.5, 2),
    ("81 01 04 0E 02 FF", 1.0, 1), ("81 01 04 4E 00 00 00 09 FF", 1.5, 1),
    ("ZOOM", 35.0, 2), ("FOCUS", 35.0, 1),
    # Malformed: too short, too long for the work buffer, neither command nor inquiry, no FF.
    ("81 09 04", 1.0, 2), ("81 09 04 47" + " 00" * 17, 1.0, 1), ("00" * 60, 1.0, 1), ("81 05 04 47 FF", 1.0, 2),
    ("81 01 04 FF", 1.0, 2), ("FF", 1.0, 1), ("RANDOM", 1.0, 3),
]
CORRECTION_CHECK = ("81 09 04 F4 FF", 70.0)
# Commands that read the zoom and then the focus position before they answer: the zoom stop, and
# the continuous zoom while a focus search holds the lens. While a lens fault acts, each read may
# take its three tries as the position inquiries do (6.5 s each); else the bound above holds.
POSITION_READS_UNDER_FAULT = {"81 01 04 07 00 FF": 13.0, "81 01 04 07 02 FF": 13.0, "81 01 04 07 03 FF": 13.0}


def nibbles(v):
    return " ".join("%02X" % ((v >> s) & 0xF) for s in (12, 8, 4, 0))


# A client killed while it holds the channel, every 15-45 s: the server frees the channel within
# about 200 ms of its death (the next request may take this much longer than its bound).
HOLDER_EVERY = (15.0, 45.0)
HOLDER_FREED_S = 1.0
FREED = "which is gone: freed"


class ViscaActor(threading.Thread):
    """The VISCA client: one request at a time, each timed against its bound; between requests now
    and then another client that takes the channel, keeps it 0-1.5 s and is killed holding it."""

    def __init__(self, stop, root, rng, long_every=0.0):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng, self.long_every = stop, root, rng, long_every
        self.holder_rng = rng  # the soak gives the holders choices of their own
        self.requests = []  # [packet hex, bound, t_sent, seconds or None, reply hex or error]
        self.holders = []  # [t_started, t_killed, took the channel]

    def kill_holder(self):
        t = mono()
        p = subprocess.Popen([sys.executable, VISCA_CLIENT, "--root", self.root.dir, "--timeout", "30",
                              "--hold", "600"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            took = p.stdout.readline().strip() == "holding"
            if took:
                time.sleep(self.holder_rng.uniform(0, 1.5))
        finally:
            killed = mono()
            p.kill()
            p.wait()
            p.stdout.close()
        self.holders.append([t, killed, took])

    def packet(self):
        total = sum(w for _, _, w in VISCA)
        x = self.rng.uniform(0, total)
        for text, bound, w in VISCA:
            x -= w
            if x <= 0:
                break
        if text == "ZOOM":
            text = "81 01 04 47 %s FF" % nibbles(self.rng.randrange(0, 608))
        elif text == "FOCUS":
            text = "81 01 04 48 %s FF" % nibbles(self.rng.randrange(0, 1800))
        elif text == "RANDOM":
            text = " ".join("%02X" % self.rng.randrange(256) for _ in range(self.rng.randrange(1, 20)))
        return text, bound

    def exchange(self, channel, text, bound):
        t = mono()
        entry = [text, bound, t, None, None]
        self.requests.append(entry)
        try:
            reply = channel.exchange(bytes.fromhex(text))
            entry[3] = (mono() - t) / S
            entry[4] = reply.hex()
        except ChannelError as e:
            entry[4] = "error: %s" % e
            return False
        return True

    def run(self):
        channel = None
        next_long = time.monotonic() + self.long_every / 2 if self.long_every else None
        next_holder = time.monotonic() + self.holder_rng.uniform(*HOLDER_EVERY)
        while not self.stop:
            if channel is None:
                try:
                    channel = ViscaChannel(self.root.dir, timeout=90.0)
                except ChannelError:
                    self.stop.sleep(0.5)
                    continue
            if time.monotonic() >= next_holder:
                self.kill_holder()
                next_holder = time.monotonic() + self.holder_rng.uniform(*HOLDER_EVERY)
            if next_long is not None and time.monotonic() >= next_long:
                text, bound = CORRECTION_CHECK
                next_long = time.monotonic() + self.long_every
            else:
                text, bound = self.packet()
            if not self.exchange(channel, text, bound):
                channel.close()
                channel = None
            self.stop.sleep(self.rng.uniform(0.05, 0.5))
        # The camera back in automatic exposure and white balance for the settling at the end, and
        # the lens read once more now that its faults have ended.
        if channel is not None:
            for text in ("81 01 04 39 00 FF", "81 01 04 35 00 FF", "81 09 04 47 FF", "81 09 04 48 FF"):
                self.exchange(channel, text, 4.5)
            channel.close()

    def record(self):
        return self.requests


class LensFaults(threading.Thread):
    """A new fault file of the lens-MCU emulator every 3-8 s (sometimes none); none at the end."""

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.log = []  # (t, kind, doc)

    def choose(self):
        r = self.rng
        match = r.choice(["09 04 47", "09 04 48", "09 04 E4", "01 04 47", "01 04 48", "09 06 12", None])
        kind = r.choice(["silence", "late", "split", "coalesce", "garbage", "busy", "noCompletion",
                         "strayCompletion", "value", "notReady", "none"])
        if kind == "none":
            return kind, {"faults": []}
        f = {"mcu": kind, "nth": r.randrange(1, 4), "times": r.randrange(0, 4)}
        if match:
            f["match"] = match
        if kind == "late":
            f["ms"] = r.randrange(200, 2000)
        elif kind == "split":
            f.update({"at": r.randrange(1, 5), "ms": r.randrange(5, 80)})
        elif kind == "garbage":
            f["bytes"] = r.choice(["80 12 34 FF", "90 FF", "FF FF FF", "90 50 00"])
        elif kind == "value":
            f["match"] = r.choice(["09 04 47", "09 04 48"])
            f["value"] = r.choice([608, 5000, 65535])
        return kind, {"faults": [f]}

    def write(self, doc):
        write_atomic(self.root.path("/tmp/kavo_sim/lens_mcu.faults"), doc)

    def run(self):
        self.stop.sleep(2.0)
        while not self.stop:
            kind, doc = self.choose()
            self.log.append((mono(), kind, doc))
            self.write(doc)
            self.stop.sleep(self.rng.uniform(3, 8))
        self.log.append((mono(), "end", {"faults": []}))
        self.write({"faults": []})


class StatFaults(threading.Thread):
    """A new fault file of the simulated DSP every 3-8 s: statistics reads that fail (EIO, EINTR,
    ETIMEDOUT) or stall (0.2-1.5 s), or none; none at the end."""

    def __init__(self, stop, root, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.rng = stop, root, rng
        self.log = []

    def choose(self):
        r = self.rng
        kind = r.choice(["fail", "fail", "stall", "stall", "none"])
        f = {"request": "IAV_IOC_IMG_GET_STATISTICS", "nth": r.randrange(1, 60), "times": r.randrange(1, 30)}
        if kind == "fail":
            f["errno"] = r.choice(["EIO", "EINTR", "ETIMEDOUT"])
        elif kind == "stall":
            f["times"] = r.randrange(1, 4)
            f["stallMs"] = r.randrange(200, 1500)
        else:
            return kind, {"faults": []}
        return kind, {"faults": [f]}

    def write(self, doc):
        write_atomic(self.root.path("/tmp/kavo_sim/iav.faults"), doc)

    def run(self):
        self.stop.sleep(2.0)
        while not self.stop:
            kind, doc = self.choose()
            self.log.append((mono(), kind, doc))
            self.write(doc)
            self.stop.sleep(self.rng.uniform(3, 8))
        self.log.append((mono(), "end", {"faults": []}))
        self.write({"faults": []})


class Scene(threading.Thread):
    """The scene's light every 3-8 s: from bright day to night (log-uniform), with its colour."""

    def __init__(self, stop, root, camera, rng):
        super().__init__(daemon=True)
        self.stop, self.root, self.camera, self.rng = stop, root, camera, rng
        self.log = []  # (t, lux, kelvin)

    def run(self):
        while not self.stop:
            lux = round(10 ** self.rng.uniform(-0.5, 4.3), 2)
            kelvin = self.rng.randrange(2800, 6600, 100)
            doc = {"lux": lux, "kelvin": kelvin, "distance": 5, "ir": 0}
            subprocess.run([self.camera, "--root", self.root.dir, "scene", json.dumps(doc)], capture_output=True)
            self.log.append((mono(), lux, kelvin))
            self.stop.sleep(self.rng.uniform(3, 8))


def proc_sample(pid):
    """(RSS KiB, descriptors, threads, CPU s) of a process, or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            status = f.read().splitlines()
        rss = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
        threads = next(int(l.split()[1]) for l in status if l.startswith("Threads:"))
        fds = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, StopIteration):
        return None
    return rss, fds, threads, cpu


class Sampler(threading.Thread):
    """RSS, descriptors, threads and CPU of each program every second."""

    def __init__(self, stop, pids):
        super().__init__(daemon=True)
        self.stop, self.pids = stop, pids
        self.samples = {name: [] for name in pids}  # name -> [(t s, rss, fds, threads, cpu)]

    def run(self):
        next_t = time.monotonic()
        while not self.stop:
            for name, pid in self.pids.items():
                s = proc_sample(pid)
                if s:
                    self.samples[name].append((time.monotonic(),) + s)
            next_t += 1.0
            self.stop.sleep(max(0.0, next_t - time.monotonic()))


class CameraSampler(threading.Thread):
    """The simulated camera's state (scene, shutter, gain, white balance, lens) every second."""

    def __init__(self, stop, root, camera):
        super().__init__(daemon=True)
        self.stop, self.root, self.camera = stop, root, camera
        self.samples = []  # (t, show)

    def run(self):
        while not self.stop:
            s = camera_show(self.camera, self.root.dir)
            if s:
                self.samples.append((mono(), s))
            self.stop.sleep(1.0)
