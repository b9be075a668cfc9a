#!/usr/bin/python3
"""Every camera command of the VISCA channel (category 04, and the pan/tilt category 06) and every
field of "ChangeIspSettings", judged by what it does where it lands: the requests the simulated DSP
journals (sensor shutter, gain and white balance, colour matrix, sharpening and noise records, masks,
QP limits, digital zoom), the packets the lens-MCU emulator receives and the lens it then shows, the
GPIO and SPI requests of the simulated board, the 3A state the VISCA inquiries read. The real
kavo_ispserver_gen2 runs on the simulated camera, on the zoom-lens boards of models 4 (LEDs by GPIO)
and 2 (LEDs through the lens MCU), the pan/tilt category on model 3 (its unit on SPI), the
focus-value mode of inquiry 09 04 F6 on the fixed-lens model 5; the peers are the VISCA client of
tools/ and the IPC client and analytics stand-ins of isp_peers. One server a test class.

The quiet tables run with the 3A step paused (81 01 04 DD 02 FF), so that nothing but the row's own
requests reaches a device: each row's effects are the requests that arrive between its first step and
a fence (a lens-MCU inquiry, answered only after everything sent before it), and a row fails on a
request of a kind it does not name as well as on a missing one. The live tables need the 3A step and
judge by outcome, bounded by 3A passes (statistics reads) or by a hang only.

Long blocking commands are judged elsewhere: the calibration 38 06 (here only its first requests,
before the stop cuts it short) and its steps 38 08, 38 0A, 38 0C by test_isp_visca's CalibrationTest
and BrokenLensTest, the lens reset 19 by its LensTest, the remote upgrade C8 by test_isp_visca_devices'
RemoteUpgradeTest.

Environment: as test_isp_visca.py and test_isp_ipc.py.
"""
import json
import os
import struct
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "visca_client"))
from ispserver_harness import FOCUS, SIM_CAMERA, IspRoot, shm_id, shm_read  # noqa: E402
from isp_peers import Analytics, Client, change_settings  # noqa: E402
from kavo_visca_client import ViscaChannel  # noqa: E402
from test_isp_visca import AGC_STEP, LENS_MCU, SET_AGC, SET_SHUTTER, SHUTTER_UNIT, h, nibble_word, nibbles, \
    start_lens_mcu  # noqa: E402
from test_ispserver_camera import fnv  # noqa: E402

RGB2YUV = "IAV_IOC_IMG_RGB_TO_YUV_SETUP"
WB_GAIN = "IAV_IOC_VIN_SRC_SET_WB_GAIN"
SENSOR_REG = "IAV_IOC_SET_SENSOR_REG"
DZOOM = "IAV_IOC_SET_DIGITAL_ZOOM_EX"
MASK = "IAV_IOC_SET_PRIVACY_MASK_EX"
STATISTICS = "IAV_IOC_IMG_GET_STATISTICS"
TONE = "IAV_IOC_IMG_COLOR_CORRECTION"
MCTF = "IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP"
EDGE = "IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL"
FIR = "IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG"
LEVEL = "IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL"
QP_SET, QP_GET = "IAV_IOC_SET_QP_LIMIT_EX", "IAV_IOC_GET_QP_LIMIT_EX"
IR_LED = "GPIO_REQUEST_IR_LED"
# The requests through which the image-DSP library's sharpening and spatial filter reach the DSP.
SHARPENING = tuple("iav " + r for r in ("IAV_IOC_IMG_LUMA_SHARPENING", LEVEL, FIR, EDGE,
                                          "IAV_IOC_IMG_LUMA_SHARPENING_MISC"))
# The lens-MCU inquiry the fence asks: nothing else sends it.
FENCE = "81 09 04 E1 FF"
# The colour-conversion rows of the zoom-lens boards' model set (Y, U, V rows; offsets 8, 128, 128).
MATRIX = (306, 601, 117, -147, -288, 435, 473, -396, -76)
Y_OFFSET = 8
# The lens-shading file the server reads for FE: four 33 x 33 tables of 16-bit gains, then the shift.
SHADING_SHIFT = 3


def shading_file():
    """The file, and the digest of its fourth table, which goes to the DSP as it is read."""
    tables = [[1024 + (t * 7 + i) % 97 for i in range(33 * 33)] for t in range(4)]
    data = b"".join(struct.pack("<1089H", *t) for t in tables) + struct.pack("<I", SHADING_SHIFT)
    return data, fnv(struct.pack("<1089H", *tables[3]))


SHADING = shading_file()


# ---- what a row expects ---------------------------------------------------------------------------
# ("iav", request, {fields}), ("mcu", packet), ("board", request, {fields}): one line of that device's
# journal matching it must be among the row's effects. A field is a key of the line's "arg" (a__b for
# a nested one, _key for a key of the line itself); its value is the value, a predicate, or a
# Remember/Same/Differs of a value another row saw. A row's effects may hold only the kinds its
# expectations name and those it allows. ("lens", {fields} or predicate): the emulator's lens, once
# it has come to that (polled). ("then", callable): a check of the test's own after the effects.

def iav(req, **arg):
    return ("iav", req, arg)


def mcu(packet):
    return ("mcu", packet)


def gpio(req, value):
    return ("board", req, {"value": value})


def lens(want=None, **fields):
    return ("lens", want or fields)


def then(check):
    return ("then", check)


class Remember:
    """The value, kept under `name` for later rows (any value matches the first time)."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, self.name)

    def test(self, memory, value):
        memory.setdefault(self.name, value)
        return memory[self.name] == value


class Same(Remember):
    def test(self, memory, value):
        return self.name in memory and memory[self.name] == value


class Differs(Remember):
    def test(self, memory, value):
        return self.name in memory and memory[self.name] != value


def field(line, key):
    if key.startswith("_"):
        return line.get(key[1:])
    value = line.get("arg") or {}
    for part in key.split("__"):
        value = value.get(part) if isinstance(value, dict) else None
    return value


def value_matches(memory, want, got):
    if isinstance(want, Remember):
        return want.test(memory, got)
    if callable(want):
        return got is not None and want(got)
    return got == want


def matches(memory, expected, line):
    if expected[0] == "mcu":
        return line["kind"] == "mcu" and line["bytes"] == expected[1]
    return (line["kind"] == expected[0] and line.get("req") == expected[1]
            and all(value_matches(memory, v, field(line, k)) for k, v in expected[2].items()))


def kind_of(expected):
    if expected[0] == "mcu":
        return "mcu " + " ".join(expected[1].split()[1:4])
    return expected[0] + " " + expected[1]


def line_kind(line):
    if line["kind"] == "mcu":
        return "mcu " + " ".join(line["bytes"].split()[1:4])
    return line["kind"] + " " + line.get("req", "")


class Tail:
    """The lines a simulator appends to its journal, from where the last read ended."""

    def __init__(self, path):
        self.path, self.pos = path, 0

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return []
        end = data.rfind(b"\n") + 1
        self.pos += end
        out = []
        for raw in data[:end].splitlines():
            try:
                out.append(json.loads(raw))
            except ValueError:
                pass
        return out


# cos(6 h degrees) in Q11 for |h| = 0..15, as the colour conversion's hue table holds it.
COS_Q11 = (2048, 2036, 2003, 1947, 1870, 1773, 1656, 1521, 1370, 1203, 1024, 832, 632, 425, 214, 0)


def yuv_rows(saturation=50, hue=50):
    """The first values of the U and V rows (u0, v0) that the colour conversion sends for the 0..100
    saturation and hue: saturation x 128 / 100 x the colour gain 60 / 64; hue 30 x v / 100 - 15 steps
    of 6 degrees."""
    s = min(saturation * 128 // 100 * 60 // 64, 255)
    step = max(-15, min(15, 30 * hue // 100 - 15))
    cos, sin = COS_Q11[abs(step)], (1 if step >= 0 else -1) * COS_Q11[15 - abs(step)]
    cs, sn, nsn = (cos * s) >> 11, (sin * s) >> 11, (-sin * s) >> 11
    m = MATRIX
    return (m[6] * sn + m[3] * cs) >> 6, (m[6] * cs + m[3] * nsn) >> 6


def brightness_offset(v):
    return Y_OFFSET + v * 128 // 100 - 64


@unittest.skipUnless(LENS_MCU and SIM_CAMERA, "needs the lens-MCU emulator and the simulated camera")
class EffectBase(unittest.TestCase):
    board = "ORL Quillon"
    lens = {"lens": 0, "zoom": 300}

    zoom_lens = True

    @property
    def model(self):
        return {"ORL Brisk": 2, "ORL Tarrow": 3, "ORL Quillon": 4, "ORL Fennel": 5}[self.board]

    @property
    def led_by_mcu(self):
        """Models 2 and 3 set the IR LEDs' level through the lens MCU, the others switch them by GPIO."""
        return self.model in (2, 3)

    def before_server(self):
        pass

    def setUp(self):
        self.root = root = IspRoot(board=self.board)
        self.addCleanup(root.cleanup)
        for port in ("/proc/gpio/vport_in1", "/proc/gpio/vport_in2"):  # the I/O thread of model 2 reads them
            root.write(port, "1\n")
        with open(root.path("/etc/ispserver/lens_shading.bin"), "wb") as f:
            f.write(SHADING[0])
        root.dsp_up()
        if self.zoom_lens:
            start_lens_mcu(self, root, self.lens)
        self.before_server()
        self.server = root.start(level=6)
        root.wait_ready(self.server, timeout=40)
        self.channel = ViscaChannel(root.dir, timeout=20.0)
        self.addCleanup(self.channel.close)
        self.analytics = Analytics(root.dir)
        self.addCleanup(self.analytics.close)
        self.client = Client(root.dir)
        self.addCleanup(self.client.close)
        self.tails = {"iav": Tail(root.path("/tmp/kavo_sim/iav.journal")),
                      "mcu": Tail(root.path("/tmp/kavo_sim/lens_mcu.journal")),
                      "board": Tail(root.path("/tmp/kavo_sim/board.journal"))}
        self.reads = 0  # statistics reads of the server seen so far
        self.memory = {}  # what Remember kept
        self.seen = []  # every journal line drain() took
        if self.zoom_lens:
            # The auto focus's start-up reads the lens some seconds after the channel is up.
            self.server.wait_log("[af_init]FPosition=", timeout=30)

    def tearDown(self):
        for word in ("ThreadSanitizer", "AddressSanitizer", "runtime error:"):
            self.assertFalse(self.server.has(word), "\n".join(self.server.log()[-30:]))

    # ---- the peers -----------------------------------------------------------------------------

    def ask(self, text):
        return self.channel.exchange(h(text))

    def settings(self, **fields):
        answer = change_settings(self.client, self.analytics, fields)
        self.assertIsNotNone(answer, fields)
        self.assertEqual(answer["statusCode"], 0, answer)
        for k, v in fields.items():
            self.assertEqual(answer["payload"][k], v, answer)
        return answer

    def value(self, code):
        reply = self.ask("81 09 04 %s FF" % code)
        self.assertEqual(reply[:3], h("08 90 50"), code)
        return nibble_word(reply[3:7])

    def ae_mode(self):
        reply = self.ask("81 09 04 39 FF")
        self.assertEqual(reply[:3], h("05 90 50"))
        return reply[3]

    def af_mode(self):
        reply = self.ask("81 09 04 38 FF")
        self.assertEqual(reply[:3], h("05 90 50"))
        return reply[3]

    def camera(self):
        return self.root.camera()

    # ---- what reached the devices --------------------------------------------------------------

    def drain(self):
        """Every new journal line of the server's devices, kept in `self.seen`: {"kind": "iav" | "mcu"
        (what the MCU took) | "mcu_tx" (what it answered) | "board", ...}; the statistics reads only
        counted (`self.reads`, one per 3A pass)."""
        out = []
        for j in self.tails["iav"].read():
            if j.get("pid") != self.server.pid:
                continue
            if j.get("req") == STATISTICS:
                self.reads += j.get("count", 1)
                continue
            out.append(dict(j, kind="iav"))
        for j in self.tails["mcu"].read():
            if j.get("dir") in ("rx", "tx"):
                out.append(dict(j, kind="mcu" if j["dir"] == "rx" else "mcu_tx"))
        for j in self.tails["board"].read():
            if j.get("pid") == self.server.pid:
                out.append(dict(j, kind="board"))
        self.seen += out
        return out

    def fence(self):
        """The effects of everything sent so far: the lens MCU answers the fence only after it has
        taken every earlier packet (a fixed-lens board has none), the DSP's and board's requests are
        journalled as they are made."""
        if self.zoom_lens:
            self.assertEqual(self.ask(FENCE)[:3], h("08 90 50"))
        return [line for line in self.drain() if line["kind"] != "mcu_tx" and line.get("bytes") != FENCE]

    def mark(self):
        """A place in `self.seen`: what came after it is new."""
        self.drain()
        return len(self.seen)

    def lines(self, since, kind="iav", req=None):
        self.drain()
        return [j for j in self.seen[since:] if j["kind"] == kind and (req is None or j.get("req") == req)]

    def rgb(self, since):
        return [(j["arg"]["r"], j["arg"]["g"], j["arg"]["b"]) for j in self.lines(since, req=WB_GAIN)]

    def packets(self, since):
        """What the lens MCU took since `since`."""
        return [j["bytes"] for j in self.lines(since, "mcu")]

    def step(self, what):
        """A VISCA packet (text), a settings change (dict) or a callable; the VISCA reply or None."""
        if isinstance(what, str):
            return self.ask(what)
        if isinstance(what, dict):
            self.settings(**what)
            return None
        what(self)
        return None

    def lens_now(self):
        return self.camera()["lens"]

    def wait_lens(self, want, timeout=20.0):
        """Until the emulator's lens has `want` (fields, or a predicate of the lens); the lens then."""
        deadline = time.monotonic() + timeout
        while True:
            now = self.lens_now()
            if (want(now) if callable(want) else all(now.get(k) == v for k, v in want.items())):
                return now
            self.assertLess(time.monotonic(), deadline, "the lens never came to %s: %s" % (want, now))
            time.sleep(0.05)

    def check_effects(self, effects, expected, allow=()):
        device = [e for e in expected if e[0] in ("iav", "mcu", "board")]
        kinds = {kind_of(e) for e in device} | set(allow)
        for e in device:
            self.assertTrue(any(matches(self.memory, e, line) for line in effects),
                            "missing %s in %s" % (e, self.show(effects)))
        stray = [line for line in effects if line_kind(line) not in kinds]
        self.assertEqual(self.show(stray), [], "requests of no kind the row names")
        for e in expected:
            if e[0] == "lens":
                self.wait_lens(e[1])
            elif e[0] == "then":
                e[1](self)

    @staticmethod
    def show(effects):
        return ["%s %s %s" % (line_kind(line), json.dumps(line.get("arg"))[:200] if "arg" in line else "",
                              line.get("bytes", "")) for line in effects]

    def run_rows(self, rows):
        """Each row (name, steps, expected[, allow[, reply]]) in turn against the one server: the
        steps (a VISCA packet, a settings change, a callable of the test, or a list of them), then the
        row's effects up to the fence against what it expects (or a callable of the test giving it);
        `reply` is the VISCA reply of the last step. A failing row is reported and the next one runs."""
        t0 = time.monotonic()
        for row in rows:
            name, steps, expected = row[:3]
            allow = row[3] if len(row) > 3 else ()
            reply = row[4] if len(row) > 4 else None
            with self.subTest(row=name):
                self.fence()
                last = None
                for s in steps if isinstance(steps, list) else [steps]:
                    last = self.step(s)
                effects = self.fence()
                if reply is not None:
                    self.assertEqual(last, h(reply))
                self.check_effects(effects, expected(self) if callable(expected) else expected, allow)
        print("\n%s: %d rows in %.1f s" % (type(self).__name__, len(rows), time.monotonic() - t0), file=sys.stderr)

    # ---- the 3A step ---------------------------------------------------------------------------

    def passes(self):
        """Statistics reads of the server so far (one per 3A pass); flushes the DSP journal's buffered
        frame lines through a request of the server's own."""
        self.ask("81 09 04 F9 00 00 00 00 FF")
        self.drain()
        return self.reads

    def pause(self):
        """DD 02, then until the 3A thread takes no more statistics (its pass under way ends)."""
        self.assertEqual(self.ask("81 01 04 DD 02 FF"), b"\0")
        seen = self.passes()
        deadline = time.monotonic() + 30
        while True:
            time.sleep(0.3)
            now = self.passes()
            if now == seen:
                return
            self.assertLess(time.monotonic(), deadline, "the 3A step did not pause")
            seen = now

    def until(self, what, condition, passes=300):
        """Until `condition` holds, within `passes` 3A passes (while the step is paused it makes none:
        then only a hang of five minutes ends the wait)."""
        start = self.passes()
        deadline = time.monotonic() + 300
        while not condition():
            self.assertLess(self.passes() - start, passes, what)
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.05)

    def wait_passes(self, n):
        """Until the 3A step has made `n` more passes (only a hang ends the wait otherwise)."""
        start = self.passes()
        deadline = time.monotonic() + 300
        while self.passes() - start < n:
            self.assertLess(time.monotonic(), deadline, "the 3A step stopped")
            time.sleep(0.02)


# ---- the quiet tables ---------------------------------------------------------------------------

def nothing(*packets):
    """Rows of commands that send nothing anywhere."""
    return [(p, p, []) for p in packets]


def sharpness(level):
    """What setSharpness sends for `level`: the overall level record carries the factor (level / 5 on
    models 2 and 3, level / 4 on the others); alpha 255."""
    def expected(test):
        f = level // 5 if test.led_by_mcu else level // 4
        return [iav(LEVEL, select=10, low=10, lowDelta=5, lowVal=f, high=254, highVal=f, base=f),
                iav("IAV_IOC_IMG_LUMA_SHARPENING", alpha0=255, alpha1=255)]
    return expected


def leds(on, level=0):
    """The IR LEDs: their level through the lens MCU (models 2 and 3; level / 2 on the wire), or
    switched by GPIO (the others)."""
    def expected(test):
        if test.led_by_mcu:
            return [mcu("81 01 04 B1 %s FF" % nibbles((level if on else 0) // 2, 4))]
        return [gpio(IR_LED, 1 if on else 0)]
    return expected


def by_model(mcu_models, other_models):
    """Expectations of models 2 and 3, and of the others."""
    return lambda test: mcu_models if test.led_by_mcu else other_models


def both(*parts):
    def expected(test):
        out = []
        for p in parts:
            out += p(test) if callable(p) else p
        return out
    return expected


def wdr(level):
    regs = {0: (31, 15, 20), 1: (63, 13, 16), 2: (79, 12, 8), 3: (95, 11, 0)}[level]
    return [iav(SENSOR_REG, reg="0x%08x" % r, data="0x%08x" % v) for r, v in zip((0x2410, 0x2412, 0x2438), regs)]


def exposure_comp(level):
    """setRGB2YUVScale(level, 7, 7): the Y row of the model's set scaled by 1 + (level - 7) / 8, the
    U and V rows and the offsets the model's own."""
    m = MATRIX
    y = [v + (level - 7) * v // 8 for v in m[:3]]
    return [iav(RGB2YUV, y0=y[0], y1=y[1], y2=y[2], u0=m[3], v0=m[6], yOffset=Y_OFFSET)]


def picture(brightness=50):
    """The colour conversion and the contrast curve of the day values (saturation, hue, contrast 50)."""
    u0, v0 = yuv_rows()
    return [iav(RGB2YUV, yOffset=brightness_offset(brightness), u0=u0, v0=v0), iav(TONE, toneCurve__fnv=Same("tone50"))]


def qp_writes(imin, imax, pmin=1, pmax=51):
    return [iav(QP_GET)] + [iav(QP_SET, id=i, minI=imin, maxI=imax, minP=pmin, maxP=pmax) for i in (1, 2, 4, 8)]


def mcu_zoom(zoom, focus):
    return mcu("81 01 04 47 %s %s FF" % (nibbles(zoom, 4), nibbles(focus, 4)))


def agc_steps(n):
    return lambda value: round(value / AGC_STEP) == n


def chroma_curve(level):
    level = max(level, 1)
    return fnv(struct.pack("<128H", *[i * 1024 // level if i < level else 1024 for i in range(128)]))


def in_focus(lens_state):
    """The focus position that is sharp for an object at 1 m, the focus table's entry at the zoom."""
    return lens_state["focusInfinity"] + lens_state["focusPerDioptre"]


def focus_off_table(steps):
    """The focus by hand `steps` from the focus table's entry at the zoom."""
    def step(test):
        focus = nibbles(in_focus(test.lens_now()) + steps, 4)
        test.assertEqual(test.ask("81 01 04 48 %s FF" % focus), h("08 90 50 %s FF" % focus))
    return step


def stopped(what):
    """The lens at rest: where its `what` stands is kept for the next row."""
    def check(test):
        test.memory[what] = test.wait_lens({"moving": 0})[what]
    return check


def moves(what):
    """The lens's `what` leaves where the last row left it."""
    def check(test):
        test.wait_lens(lambda l: l[what] != test.memory[what])
    return check


def masked_blocks(test):
    """The blocks (column, row) masked in the bitmap last handed to the DSP: one 32-bit word a 16 x 16
    block, rows padded to 32 bytes, in the buffer of the mask memory the set-up names."""
    setup = [j for j in test.seen if j.get("req") == MASK][-1]["arg"]
    with open(test.root.path("/tmp/kavo_sim/iav.pm"), "rb") as f:
        memory = f.read()
    size = len(memory) // 4
    pitch = (setup["blocksX"] * 4 + 31) // 32 * 32
    buf = memory[setup["bufferId"] * size:(setup["bufferId"] + 1) * size]
    return {(c, r) for r in range(setup["blocksY"]) for c in range(setup["blocksX"])
            if struct.unpack_from("<I", buf, r * pitch + c * 4)[0]}


def rect_blocks(x, y, width, height):
    return {(c, r) for r in range(y // 16, (y + height + 15) // 16) for c in range(x // 16, (x + width + 15) // 16)}


MASK0 = (32, 48, 64, 32)   # blocks 2..5 of rows 3..4
MASK1 = (160, 96, 17, 16)  # two blocks of row 6 (one pixel reaches into the second)


def mask_packet(number, x, y, width, height):
    return "81 01 04 76 %02X %s FF" % (number, " ".join(nibbles(v, 3) for v in (x, y, width, height)))


def masks(*shown):
    """The mask set-up, and the bitmap holding the blocks of the rectangles `shown` and no others."""
    def check(test):
        test.assertEqual(masked_blocks(test), set().union(*(rect_blocks(*r) for r in shown)))
    return [iav(MASK, enable=1), then(check)]


LENS_INQUIRIES = ("mcu 09 04 47", "mcu 09 04 48")
LENS_MOVES = LENS_INQUIRIES + ("mcu 01 04 07", "mcu 01 04 08")
MASK_SETUP = ("iav IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX", "iav IAV_IOC_GET_PRIVACY_MASK_INFO_EX",
              "iav IAV_IOC_GET_SOURCE_BUFFER_FORMAT_ALL_EX")
DAY_PICTURE = ("iav " + RGB2YUV, "iav " + TONE) + SHARPENING


def visca_rows():
    m = MATRIX
    u50, v50 = yuv_rows()
    lens_rows = [
        ("38 03 manual focus", ["81 01 04 38 03 FF", "81 09 04 38 FF"], [], LENS_MOVES, "05 90 50 03 FF"),
        # Absolute zoom: the zoom with the focus of the table at it (no biases yet), the reply the zoom.
        ("47 zoom 256", "81 01 04 47 00 01 00 00 FF",
         lambda t: [mcu_zoom(256, in_focus(t.wait_lens({"zoom": 256}))), lens(zoom=256)], LENS_MOVES,
         "08 90 50 00 01 00 00 FF"),
        ("47 zoom and focus", "81 01 04 47 00 01 02 0C 00 05 00 00 FF",
         [mcu_zoom(300, 1280), lens(zoom=300, focus=1280)],
         LENS_MOVES, "08 90 50 00 01 02 0C FF"),
        ("47 with a focus past its limit", "81 01 04 47 00 01 00 00 00 07 06 01 FF", [], (),
         "08 90 50 00 01 02 0C FF"),
        ("45 zoom 50 up", "81 01 04 45 00 00 03 02 FF", [lens(zoom=350)], LENS_MOVES + ("mcu 01 04 47",)),
        ("45 zoom 100 down", "81 01 04 45 01 00 06 04 FF", [lens(zoom=250)], LENS_MOVES + ("mcu 01 04 47",)),
        ("45 zoom down past 0 is 0", "81 01 04 45 01 03 00 00 FF", [lens(zoom=0)], LENS_MOVES + ("mcu 01 04 47",)),
        ("45 other byte 4: the step is the target", "81 01 04 45 02 01 02 0C FF", [lens(zoom=300)],
         LENS_MOVES + ("mcu 01 04 47",)),
        ("48 focus 1280", "81 01 04 48 00 05 00 00 FF", [mcu_zoom(300, 1280), lens(zoom=300, focus=1280),
                                                        then(stopped("focus"))], LENS_MOVES, "08 90 50 00 05 00 00 FF"),
        ("48 focus past 1888 is refused", "81 01 04 48 00 07 06 01 FF",
         [mcu("81 01 04 08 00 FF"), then(stopped("focus"))], (), "08 90 50 00 05 00 00 FF"),
        # The focus drive: VISCA far is the MCU's 08 03, near its 08 02; 08 00 stops (the lens may
        # have reached the end of its travel by then).
        ("08 02 focus far", "81 01 04 08 02 FF", [mcu("81 01 04 08 03 FF"), then(moves("focus"))]),
        ("08 00 focus stop", "81 01 04 08 00 FF", [mcu("81 01 04 08 00 FF"), then(stopped("focus"))]),
        ("08 03 focus near", "81 01 04 08 03 FF", [mcu("81 01 04 08 02 FF"), then(moves("focus"))]),
        ("08 00 focus stop again", "81 01 04 08 00 FF", [mcu("81 01 04 08 00 FF"), then(stopped("focus"))]),
        # The zoom drive and its stop; the home only clears a push (a nothing row above).
        ("07 02 zoom tele", "81 01 04 07 02 FF", [mcu("81 01 04 07 02 FF"), lens(lambda l: l["zoom"] > 300)],
         LENS_INQUIRIES),
        ("07 00 zoom stop", "81 01 04 07 00 FF", [mcu("81 01 04 07 00 FF"), then(stopped("zoom"))], LENS_INQUIRIES),
        ("07 03 zoom wide", "81 01 04 07 03 FF", [mcu("81 01 04 07 03 FF"), then(moves("zoom"))], LENS_INQUIRIES),
        ("07 00 zoom stop again", "81 01 04 07 00 FF", [mcu("81 01 04 07 00 FF"), then(stopped("zoom"))],
         LENS_INQUIRIES),
        ("47 zoom back to 300", "81 01 04 47 00 01 02 0C FF", [lens(zoom=300)], LENS_MOVES + ("mcu 01 04 47",)),
        # The quick calibration steps: the zoom bias applied (the lens then reads 50 less) and zeroed,
        # the wide and tele focus biases from where the focus stands, the calibration's end.
        ("38 09 apply the zoom bias", ["81 01 04 38 09 FF", "81 09 04 47 FF"],
         [mcu("81 01 04 DA 00 00 0E 06 FF"), mcu("81 01 04 D6 00 00 03 02 FF")], LENS_INQUIRIES,
         "08 90 50 00 00 0F 0A FF"),
        ("38 07 zero the zoom bias", ["81 01 04 38 07 FF", "81 09 04 47 FF"], [mcu("81 01 04 D6 00 00 00 00 FF")],
         LENS_INQUIRIES, "08 90 50 00 01 02 0C FF"),
        ("38 0B wide focus bias", ["81 01 04 48 00 05 00 00 FF", "81 01 04 38 0B FF"],
         [mcu("81 01 04 DA 00 04 0B 00 FF")], LENS_MOVES + ("mcu 01 04 47",)),
        ("38 0B wide focus bias 0", ["81 01 04 48 00 00 05 00 FF", "81 01 04 38 0B FF"],
         [mcu("81 01 04 DA 00 00 00 00 FF")], LENS_MOVES + ("mcu 01 04 47",)),
        ("38 0D tele focus bias", [focus_off_table(10), "81 01 04 38 0D FF"],
         [mcu("81 01 04 DC 00 00 00 0A FF")], LENS_MOVES + ("mcu 01 04 47",)),
        ("38 0D a negative tele focus bias", [focus_off_table(-10), "81 01 04 38 0D FF"],
         [mcu("81 01 04 DC 00 00 0F 06 FF")], LENS_MOVES + ("mcu 01 04 47",)),
        ("38 0D tele focus bias 0", [focus_off_table(0), "81 01 04 38 0D FF"],
         [mcu("81 01 04 DC 00 00 00 00 FF")], LENS_MOVES + ("mcu 01 04 47",)),
    ] + nothing("81 01 04 38 0F FF")
    return nothing(
        # Trace-only codes, the unavailable ones and codes the table does not list.
        "81 01 04 09 00 FF", "81 01 04 5A 02 FF", "81 01 04 61 02 FF", "81 01 04 61 03 FF",
        "81 01 04 66 02 FF", "81 01 04 D4 02 FF", "81 01 04 D6 00 00 01 00 FF", "81 01 04 DA 00 00 01 00 FF",
        "81 01 04 DB 00 00 01 00 FF", "81 01 04 DC 00 00 01 00 FF", "81 01 04 F0 01 FF", "81 01 04 F1 01 FF",
        "81 01 04 F2 01 FF", "81 01 04 06 02 FF", "81 01 04 10 02 FF", "81 01 04 B5 00 00 05 00 FF",
        "81 01 04 C7 00 00 05 00 FF", "81 01 05 01 02 FF", "81 01 07 01 02 FF",
        # Refused by their acceptance rule in the start-up state, or values the handler does not know.
        "81 01 04 03 02 FF", "81 01 04 44 00 00 01 00 FF", "81 01 04 0A 02 FF", "81 01 04 4C 00 00 03 02 FF",
        "81 01 04 4B 00 00 01 00 FF", "81 01 04 B1 00 00 01 00 FF", "81 01 04 B0 06 FF",
        "81 01 04 01 05 FF", "81 01 04 3D 07 FF", "81 01 04 46 00 00 00 09 FF", "81 01 04 56 06 05 03 02 02 FF",
        "81 01 04 56 03 02 03 02 09 FF", "81 01 04 51 05 FF", "81 01 04 21 03 FF", "81 01 04 B0 08 FF",
        "81 01 04 35 03 FF", "81 01 04 07 05 FF", "81 01 04 07 0A FF", "81 01 04 C8 02 FF",
        # The QP limit on: only a flag.
        "81 01 04 F7 00 00 00 01 FF",
    ) + [
        # IR-cut filter by hand: out (night) makes the picture black and white and, with the LEDs
        # automatic, lights them at the drive level (215 from the settings); in (day) undoes both.
        ("01 03 filter out", "81 01 04 01 03 FF",
         both([iav(RGB2YUV, y0=m[0], u0=0, v0=0), mcu("81 01 04 01 03 FF")], leds(True, 215))),
        ("01 02 filter in", "81 01 04 01 02 FF",
         both([iav(RGB2YUV, y0=m[0], u0=u50, v0=v50), mcu("81 01 04 01 02 FF")], leds(False))),
        # Sharpness: set, stepped down and up, reset to 0 (not to its default).
        ("42 sharpness 100", "81 01 04 42 00 00 06 04 FF", sharpness(100), SHARPENING),
        ("42 sharpness above 100 is 100", "81 01 04 42 00 00 0F 0F FF", sharpness(100), SHARPENING),
        ("02 03 sharpness down", "81 01 04 02 03 FF", sharpness(99), SHARPENING),
        ("02 02 sharpness up", "81 01 04 02 02 FF", sharpness(100), SHARPENING),
        ("02 00 sharpness 0", "81 01 04 02 00 FF", sharpness(0), SHARPENING),
        ("02 03 sharpness not below 0", "81 01 04 02 03 FF", sharpness(0), SHARPENING),
        ("42 sharpness back to 50", "81 01 04 42 00 00 03 02 FF", sharpness(50), SHARPENING),
        # Picture values: brightness in the Y offset, contrast in the tone curve (50 the model's
        # own), saturation and hue in the U and V rows.
        ("C0 brightness 80", "81 01 04 C0 00 00 05 00 FF", [iav(RGB2YUV, yOffset=brightness_offset(80))]),
        ("C0 brightness above 100 is 100", "81 01 04 C0 00 00 0F 0F FF",
         [iav(RGB2YUV, yOffset=brightness_offset(100))]),
        ("C0 brightness 50", "81 01 04 C0 00 00 03 02 FF", [iav(RGB2YUV, yOffset=Y_OFFSET)]),
        ("C1 contrast 50 is the model's curve", "81 01 04 C1 00 00 03 02 FF",
         [iav(TONE, toneCurve__fnv=Same("tone0"))]),
        ("C1 contrast 10", "81 01 04 C1 00 00 00 0A FF", [iav(TONE, toneCurve__fnv=Differs("tone0"))]),
        ("C1 contrast 10 again", "81 01 04 C1 00 00 00 0A FF", [iav(TONE, toneCurve__fnv=Remember("tone10"))]),
        ("C1 contrast 50", "81 01 04 C1 00 00 03 02 FF", [iav(TONE, toneCurve__fnv=Remember("tone50"))]),
        ("C2 saturation 0", "81 01 04 C2 00 00 00 00 FF", [iav(RGB2YUV, y0=m[0], u0=0, v0=0)]),
        ("C2 saturation 50", "81 01 04 C2 00 00 03 02 FF", [iav(RGB2YUV, u0=u50, v0=v50)]),
        ("C3 hue 100", "81 01 04 C3 00 00 06 04 FF", [iav(RGB2YUV, u0=yuv_rows(hue=100)[0], v0=yuv_rows(hue=100)[1])]),
        ("C3 hue 0", "81 01 04 C3 00 00 00 00 FF", [iav(RGB2YUV, u0=yuv_rows(hue=0)[0], v0=yuv_rows(hue=0)[1])]),
        ("C3 hue 50", "81 01 04 C3 00 00 03 02 FF", [iav(RGB2YUV, u0=u50, v0=v50)]),
        # Manual white balance keeps the gains in use (the driver is not asked again for gains it
        # has: nothing goes out); then red and blue by step and value, which only manual takes.
        ("35 05 manual white balance", "81 01 04 35 05 FF", []),
        ("43 red 64", "81 01 04 43 00 00 04 00 FF", [iav(WB_GAIN, r=2049, g=1024, b=Remember("b0"))]),
        ("03 02 red up", "81 01 04 03 02 FF", [iav(WB_GAIN, r=2081, g=1024, b=Same("b0"))]),
        ("03 03 red down", "81 01 04 03 03 FF", [iav(WB_GAIN, r=2049, g=1024, b=Same("b0"))]),
        ("43 red 0 is 1, sent as the lowest gain", "81 01 04 43 00 00 00 00 FF",
         [iav(WB_GAIN, r=256, g=1024, b=Same("b0"))]),
        ("03 00 red reset", "81 01 04 03 00 FF", [iav(WB_GAIN, r=1024, g=1024, b=Same("b0"))]),
        ("44 blue 16", "81 01 04 44 00 00 01 00 FF", [iav(WB_GAIN, r=1024, g=1024, b=513)]),
        ("04 02 blue up", "81 01 04 04 02 FF", [iav(WB_GAIN, r=1024, g=1024, b=545)]),
        ("44 blue above 127 is 127", "81 01 04 44 00 00 0F 0F FF", [iav(WB_GAIN, r=1024, g=1024, b=4065)]),
    ] + nothing("81 01 04 04 02 FF") + [  # 4097 would be past the top
        ("04 00 blue reset", "81 01 04 04 00 FF", [iav(WB_GAIN, r=1024, g=1024, b=1024)]),
        # The colour temperature's gains, interpolated in the model's table (2300..8000 K).
        ("05 9000 K is 8000 K", "81 01 04 05 02 03 02 08 FF", [iav(WB_GAIN, r=1605, g=1024, b=884)]),
        ("05 1000 K is 2300 K", "81 01 04 05 00 03 0E 08 FF", [iav(WB_GAIN, r=869, g=1024, b=2061)]),
        ("35 01 indoor: 3300 K", "81 01 04 35 01 FF", [iav(WB_GAIN, r=1181, g=1024, b=1670)]),
        ("35 02 outdoor: 6800 K", "81 01 04 35 02 FF", [iav(WB_GAIN, r=1537, g=1024, b=951)]),
    ] + nothing("81 01 04 03 02 FF") + [  # the red gain only in manual
        # Exposure compensation in the Y row of the colour conversion; off is neutral and refuses 0E
        # and 4E, on brings the level back.
        ("4E level 9", "81 01 04 4E 00 00 00 09 FF", exposure_comp(9)),
        ("0E 02 level up", "81 01 04 0E 02 FF", exposure_comp(10)),
        ("0E 03 level down", "81 01 04 0E 03 FF", exposure_comp(9)),
        ("3E 03 off", "81 01 04 3E 03 FF", exposure_comp(7)),
    ] + nothing("81 01 04 0E 02 FF", "81 01 04 4E 00 00 00 0B FF") + [
        ("3E 02 on", "81 01 04 3E 02 FF", exposure_comp(9)),
        ("0E 00 reset", "81 01 04 0E 00 FF", exposure_comp(7)),
        # Manual exposure: the mode now, the sensor's shutter and gain at once.
        ("39 03 manual", ["81 01 04 39 03 FF", "81 09 04 39 FF"], [], (), "05 90 50 00 FF"),
        ("4A 1/250 s", "81 01 04 4A 00 00 00 0F 0A FF",
         [iav(SET_SHUTTER, value=Remember("t250")), then(lambda t: t.assertTrue(
             0.004 <= t.memory["t250"] / SHUTTER_UNIT < 0.0043, t.memory["t250"]))]),
        ("0A 02 one step faster", "81 01 04 0A 02 FF", [iav(SET_SHUTTER, value=lambda v: v < 0.004 * SHUTTER_UNIT)]),
        ("0A 03 one step slower", "81 01 04 0A 03 FF", [iav(SET_SHUTTER, value=Same("t250"))]),
    ] + nothing("81 01 04 4A 00 00 00 00 0A FF") + [  # 1/10 s is a slow-shutter index: not without DSS
        ("0A 00 index 9", ["81 01 04 0A 00 FF", "81 09 04 FC FF"], [iav(SET_SHUTTER)], (), "08 90 50 00 00 00 09 FF"),
        ("4C gain 50 %", "81 01 04 4C 00 00 03 02 FF", [iav(SET_AGC, value=agc_steps(99))]),
        ("0C 02 gain up", "81 01 04 0C 02 FF", [iav(SET_AGC, value=agc_steps(104))]),
        ("0C 03 gain down", "81 01 04 0C 03 FF", [iav(SET_AGC, value=agc_steps(99))]),
        ("0C 00 gain reset", "81 01 04 0C 00 FF", [iav(SET_AGC, value=agc_steps(0))]),
        ("4B iris", "81 01 04 4B 00 00 08 00 FF", [mcu("81 01 04 4B 00 00 08 00 FF")]),
        ("D2 iris balance", "81 01 04 D2 00 00 01 02 FF", [mcu("81 01 04 D2 00 00 01 02 FF")]),
        ("D3 DC-iris driver", "81 01 04 D3 00 00 01 02 FF", [mcu("81 01 04 D3 00 00 01 02 FF")]),
        ("39 00 full auto", ["81 01 04 39 00 FF", "81 09 04 39 FF"], [], (), "05 90 50 01 FF"),
        # WDR: the sensor's three registers of the level.
        ("3D 02 WDR low", "81 01 04 3D 02 FF", wdr(1)),
        ("3D 03 WDR off", "81 01 04 3D 03 FF", wdr(0)),
        ("3D 04 WDR high", "81 01 04 3D 04 FF", wdr(3)),
        ("3D 05 WDR middle", "81 01 04 3D 05 FF", wdr(2)),
        ("3D 06 WDR low", "81 01 04 3D 06 FF", wdr(1)),
        # Digital zoom and pan/tilt: the window in 16.16 pixels of the AR0331's 1920 x 1080 input.
        ("46 digital zoom 2", "81 01 04 46 00 00 00 02 FF", [iav(DZOOM, zoomX=2 << 16, zoomY=2 << 16, x=0, y=0)]),
    ] + nothing("81 01 04 46 00 00 00 02 FF") + [
        ("56 pan 100, tilt 50, zoom 2", "81 01 04 56 06 04 03 02 02 FF", [iav(DZOOM, zoomX=2 << 16, x=436 << 16, y=0)]),
    ] + nothing("81 01 04 56 06 04 03 02 02 FF") + [
        ("56 pan 0, tilt 100, zoom 4", "81 01 04 56 00 00 06 04 04 FF",
         [iav(DZOOM, zoomX=4 << 16, x=-654 << 16, y=368 << 16)]),
        ("46 zoom 3 keeps the pan and tilt", "81 01 04 46 00 00 00 03 FF",
         [iav(DZOOM, zoomX=3 << 16, x=-(50 * 640 // 55) << 16, y=(50 * 360 // 55) << 16)]),
        ("56 back to the whole picture", "81 01 04 56 03 02 03 02 01 FF", [iav(DZOOM, zoomX=1 << 16, x=0, y=0)]),
        # The IR-cut mode by hand: in or out switches the LEDs (models 2 and 3 through the MCU's
        # filter command); automatic puts the filter in and re-applies the day picture.
        ("51 03 manual, filter in", "81 01 04 51 03 FF", by_model([mcu("81 01 04 01 02 FF")], [gpio(IR_LED, 0)])),
        ("51 04 manual, filter out", "81 01 04 51 04 FF", by_model([mcu("81 01 04 01 03 FF")], [gpio(IR_LED, 1)])),
        ("51 02 automatic", "81 01 04 51 02 FF",
         both([mcu("81 01 04 01 02 FF")], picture(), leds(False)), DAY_PICTURE),
        # IR LEDs by hand.
    ] + nothing("81 01 04 B0 05 FF") + [
        ("B1 level 200", "81 01 04 B1 00 00 0C 08 FF", leds(True, 200)),
        ("B0 07 off", "81 01 04 B0 07 FF", leds(False)),
        ("B0 06 on at the level", "81 01 04 B0 06 FF", leds(True, 200)),
        ("B1 level 0", "81 01 04 B1 00 00 00 00 FF", leds(False)),
        ("B0 04 automatic: the day state again", "81 01 04 B0 04 FF", both(picture(), leds(False)), DAY_PICTURE),
    ] + nothing("81 01 04 B1 00 00 0C 08 FF") + [
        # Privacy masks: the rectangles' blocks in the bitmap handed to the DSP; erasing clears mask 0.
        ("76 mask 0", mask_packet(0, *MASK0), masks(MASK0), MASK_SETUP),
        ("76 mask 1", mask_packet(1, *MASK1), masks(MASK0, MASK1), MASK_SETUP),
        ("77 erase: mask 0's blocks only", "81 01 04 77 FF", masks(MASK1), MASK_SETUP),
        # The lens MCU's devices and the video-port outputs.
        ("B2 power LED", "81 01 04 B2 01 02 03 04 FF", [mcu("81 01 04 B2 01 02 03 04 FF")]),
        ("D1 heater 1 on", "81 01 04 D1 00 00 01 01 FF", [mcu("81 01 04 D1 00 00 01 01 FF")]),
        ("D1 heater 0 on", "81 01 04 D1 00 00 00 05 FF", [mcu("81 01 04 D1 00 00 00 01 FF")]),
        ("D1 heater off", "81 01 04 D1 00 00 00 00 FF", [mcu("81 01 04 D1 00 00 00 00 FF")]),
        ("D0 video port 1 on", "81 01 04 D0 00 00 01 01 FF", [gpio("GPIO_REQUEST_VPORT_OUT1", 1)]),
        ("D0 video port 0 on", "81 01 04 D0 00 00 00 07 FF", [gpio("GPIO_REQUEST_VPORT_OUT0", 1)]),
        ("D0 video port 0 off", "81 01 04 D0 00 00 00 00 FF", [gpio("GPIO_REQUEST_VPORT_OUT0", 0)]),
        ("D0 video port 1 off", "81 01 04 D0 00 00 05 00 FF", [gpio("GPIO_REQUEST_VPORT_OUT1", 0)]),
        # Noise reduction and its relatives by hand.
        ("DE CFA noise filter", "81 01 04 DE 00 00 00 05 FF", [iav("IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP")]),
        ("F3 CFA noise filter", "81 01 04 F3 00 00 00 09 FF", [iav("IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP")]),
        ("DF chroma scale 10", "81 01 04 DF 00 00 00 0A FF",
         [iav("IAV_IOC_IMG_CHROMA_SCALE", enable=1, gains__fnv=chroma_curve(10))]),
        ("DF chroma scale 0 is 1", "81 01 04 DF 00 00 00 00 FF",
         [iav("IAV_IOC_IMG_CHROMA_SCALE", enable=1, gains__fnv=chroma_curve(1))]),
        ("F4 spatial filter 4", "81 01 04 F4 00 00 00 04 FF", [iav(EDGE, edgeThreshold=75)], SHARPENING),
        ("F4 spatial filter 0", "81 01 04 F4 00 00 00 00 FF", [iav(EDGE, edgeThreshold=60)], SHARPENING),
        ("F4 spatial filter above 9 is 9", "81 01 04 F4 00 00 01 04 FF", [iav(EDGE, edgeThreshold=150)], SHARPENING),
        ("F5 bad pixels 0", "81 01 04 F5 00 00 00 00 FF", [iav("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", enable=2)]),
        ("F5 bad pixels 4", "81 01 04 F5 00 00 00 04 FF",
         [iav("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", enable=3, hotTable__fnv=Remember("hot4"))]),
        ("F5 bad pixels 7", "81 01 04 F5 00 00 00 07 FF",
         [iav("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", enable=3, hotTable__fnv=Differs("hot4"))]),
        ("F5 bad pixels 7 again", "81 01 04 F5 00 00 00 07 FF",
         [iav("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", enable=3, hotTable__fnv=Remember("hot7"))]),
        ("F5 bad pixels above 9 is 9, the row of 7", "81 01 04 F5 00 00 01 00 FF",
         [iav("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", enable=3, hotTable__fnv=Same("hot7"))]),
        ("F6 temporal filter 50", "81 01 04 F6 00 00 03 02 FF", [iav(MCTF, enable=1, curve0=50)]),
        ("F6 temporal filter off", "81 01 04 F6 00 00 00 00 FF", [iav(MCTF, enable=0, curve0=0)]),
        ("F8 coring 3", "81 01 04 F8 00 00 00 03 FF", [iav(FIR, coring__fnv=Remember("coring3"))]),
        ("F8 coring 10", "81 01 04 F8 00 00 00 0A FF", [iav(FIR, coring__fnv=Differs("coring3"))]),
        ("F8 coring 11", "81 01 04 F8 00 00 00 0B FF", [iav(FIR, coring__fnv=Remember("coring11"))]),
        ("F8 coring above 11 is 11", "81 01 04 F8 00 00 00 0F FF", [iav(FIR, coring__fnv=Same("coring11"))]),
        ("F8 coring 3 again", "81 01 04 F8 00 00 00 03 FF", [iav(FIR, coring__fnv=Same("coring3"))]),
        # QP limits: manual, and the reset of F7 00 to the whole range.
        ("FA QP 20~40", "81 01 04 FA 01 04 02 08 FF", qp_writes(20, 40)),
        ("F7 00 QP reset", "81 01 04 F7 00 00 00 00 FF", qp_writes(1, 51)),
        ("F9 sensor register", "81 01 04 F9 03 00 01 02 0A 0B 0C 0D FF",
         [iav(SENSOR_REG, reg="0x00003012", data="0x0000abcd")]),
        ("FD I2C open", "81 01 04 FD FF", [iav("open", _node="/dev/i2c-0")]),
        # Lens shading: on for 1..4, off otherwise; the file's fourth table goes out as it is.
        ("FE 02 lens shading", "81 01 04 FE 02 FF",
         [iav("IAV_IOC_IMG_VIGNETTE_COMPENSATION", enable=1, gainShift=SHADING_SHIFT, table3__fnv=SHADING[1])]),
        ("FE 03 lens shading off", "81 01 04 FE 03 FF", [iav("IAV_IOC_IMG_VIGNETTE_COMPENSATION", enable=0)]),
        ("FE 05 lens shading 3", "81 01 04 FE 05 FF", [iav("IAV_IOC_IMG_VIGNETTE_COMPENSATION", enable=1)]),
        ("FE 08 lens shading off", "81 01 04 FE 08 FF", [iav("IAV_IOC_IMG_VIGNETTE_COMPENSATION", enable=0)]),
    ] + lens_rows + [
        ("38 0E calibration done", "81 01 04 38 0E FF", [iav(WB_GAIN, r=1024, g=1024, b=1024)]),
    ]


def settings_rows():
    m = MATRIX
    u50, v50 = yuv_rows()
    return [
        ("brightness 80", {"brightness": 80}, [iav(RGB2YUV, yOffset=brightness_offset(80))]),
        ("brightness 50", {"brightness": 50}, [iav(RGB2YUV, yOffset=Y_OFFSET)]),
        ("contrast 10", {"contrast": 10}, [iav(TONE, toneCurve__fnv=Same("tone10"))]),
        ("contrast 50", {"contrast": 50}, [iav(TONE, toneCurve__fnv=Same("tone50"))]),
        ("saturation 0", {"saturation": 0}, [iav(RGB2YUV, y0=m[0], u0=0, v0=0)]),
        ("saturation 50", {"saturation": 50}, [iav(RGB2YUV, u0=u50, v0=v50)]),
        ("hue 100", {"hue": 100}, [iav(RGB2YUV, u0=yuv_rows(hue=100)[0], v0=yuv_rows(hue=100)[1])]),
        ("hue 50", {"hue": 50}, [iav(RGB2YUV, u0=u50, v0=v50)]),
        ("sharpness 100", {"sharpness": 100}, sharpness(100), SHARPENING),
        ("sharpness 50", {"sharpness": 50}, sharpness(50), SHARPENING),
        # The noise-reduction level goes into force for the 3A step's next passes only (LiveTest).
        ("denoise 40", {"denoise": 40}, []),
        ("wdr 3", {"wdr": 3}, wdr(3)),
        ("wdr 0", {"wdr": 0}, wdr(0)),
        ("wdr 1", {"wdr": 1}, wdr(1)),
        # Mirror in bit 1, flip in bit 0 of the AR0331's pattern.
        ("mirror 1", {"mirror": 1}, [iav("IAV_IOC_VIN_SRC_SET_MIRROR_MODE", pattern=2, bayer=1)]),
        ("flip 1", {"flip": 1}, [iav("IAV_IOC_VIN_SRC_SET_MIRROR_MODE", pattern=3, bayer=1)]),
        ("mirror 0", {"mirror": 0}, [iav("IAV_IOC_VIN_SRC_SET_MIRROR_MODE", pattern=1, bayer=1)]),
        ("flip 0", {"flip": 0}, [iav("IAV_IOC_VIN_SRC_SET_MIRROR_MODE", pattern=0, bayer=1)]),
        # Exposure modes: their codes now (the 3A step takes them up in LiveTest); shutter priority
        # sets the shutter of the position map's entry for the manual shutter word (index 9 after
        # 0A 00: entry 47).
        ("aeMode shutter", [{"aeMode": "shutter"}, "81 09 04 FC FF"], [iav(SET_SHUTTER)], (),
         "08 90 50 00 00 02 0F FF"),
        ("aeMode manual", [{"aeMode": "manual"}, "81 09 04 39 FF"], [], (), "05 90 50 00 FF"),
        ("aeMode auto", [{"aeMode": "auto"}, "81 09 04 39 FF"], [], (), "05 90 50 01 FF"),
        # The LED level while the LEDs are automatic only sets their drive level.
        ("irLedLevel 100, automatic", {"irLedLevel": 100}, []),
        # Manual LEDs at the manual level (1 from the camera's defaults): filter out, LEDs on, and the
        # IR state on.
        ("irLedMode manual", {"irLedMode": "manual"},
         by_model([mcu("81 01 04 01 03 FF"), mcu("81 01 04 B1 00 00 00 00 FF")], [gpio(IR_LED, 1)])),
        # Level 0: LEDs off, filter in (models 2 and 3), the IR state off and the day picture again.
        ("irLedLevel 0, manual", {"irLedLevel": 0},
         both(by_model([mcu("81 01 04 01 02 FF")], []), leds(False), picture()), DAY_PICTURE),
        ("irLedLevel 200, manual", {"irLedLevel": 200},
         both(by_model([mcu("81 01 04 01 03 FF")], []), leds(True, 200))),
        # Automatic: the filter in under the day/night decision, the day picture, the LEDs off.
        ("irLedMode auto", {"irLedMode": "auto"}, both([mcu("81 01 04 01 02 FF")], picture(), leds(False)),
         DAY_PICTURE),
        # The IR values: stored while the IR state is off, in force while it is on for the attributes
        # whose irOnSts is 1; the day values back when it goes off.
        ("irOnStsBrightness 1, IR off", {"irOnStsBrightness": 1}, []),
        ("irOnValBrightness 90, IR off", {"irOnValBrightness": 90}, []),
        ("IR on: brightness 90 in force", {"irLedMode": "manual"},
         both(by_model([mcu("81 01 04 01 03 FF")], []), leds(True, 200),
              [iav(RGB2YUV, yOffset=brightness_offset(90))])),
        ("irOnValBrightness 20, IR on", {"irOnValBrightness": 20}, [iav(RGB2YUV, yOffset=brightness_offset(20))]),
        ("brightness 70 while the IR value is in force", {"brightness": 70}, []),
        ("irOnStsBrightness 0, IR on: the day brightness", {"irOnStsBrightness": 0},
         [iav(RGB2YUV, yOffset=brightness_offset(70))]),
        ("irOnValContrast 10, its flag off", {"irOnValContrast": 10}, []),
        ("irOnStsContrast 1, IR on", {"irOnStsContrast": 1}, [iav(TONE, toneCurve__fnv=Same("tone10"))]),
        # Each attribute goes by its own flag: the hue's is off, so the day hue is in force at night.
        ("hue 30, its IR flag off: in force", {"hue": 30},
         [iav(RGB2YUV, u0=yuv_rows(hue=30)[0], v0=yuv_rows(hue=30)[1])]),
        ("hue 50, its IR flag off", {"hue": 50}, [iav(RGB2YUV, u0=u50, v0=v50)]),
        ("irOnValHue 100, its flag off", {"irOnValHue": 100}, []),
        ("irOnStsHue 1, IR on", {"irOnStsHue": 1},
         [iav(RGB2YUV, u0=yuv_rows(hue=100)[0], v0=yuv_rows(hue=100)[1])]),
        ("irOnValHue 0, IR on: in force", {"irOnValHue": 0},
         [iav(RGB2YUV, u0=yuv_rows(hue=0)[0], v0=yuv_rows(hue=0)[1])]),
        ("irOnValSaturation 0, its flag off", {"irOnValSaturation": 0}, []),
        ("irOnStsSaturation 1, IR on", {"irOnStsSaturation": 1}, [iav(RGB2YUV, u0=0, v0=0)]),
        ("irOnValSharpness 100, its flag off", {"irOnValSharpness": 100}, []),
        ("irOnStsSharpness 1, IR on", {"irOnStsSharpness": 1}, sharpness(100), SHARPENING),
        ("irOnValDenoise 0", {"irOnValDenoise": 0}, []),
        ("irOnStsDenoise 1", {"irOnStsDenoise": 1}, []),
        ("IR off: the day values", {"irLedLevel": 0},
         both(by_model([mcu("81 01 04 01 02 FF")], []), leds(False), picture(brightness=70), sharpness(50)),
         DAY_PICTURE),
        ("brightness 50", {"brightness": 50}, [iav(RGB2YUV, yOffset=Y_OFFSET)]),
        ("the IR flags off, IR off", {"irOnStsContrast": 0, "irOnStsHue": 0, "irOnStsSaturation": 0,
                                      "irOnStsSharpness": 0, "irOnStsDenoise": 0}, []),
        ("irLedMode auto again", {"irLedMode": "auto"}, both([mcu("81 01 04 01 02 FF")], picture(), leds(False)),
         DAY_PICTURE),
    ]


class QuietQuillonTest(EffectBase):
    """The commands and settings whose effect is immediate, on one zoom-lens board's server with the
    3A step paused (model 4: LEDs by GPIO)."""

    CALIBRATION_START = True

    def test_rows(self):
        self.memory["tone0"] = [j for j in self.drain() if j.get("req") == TONE][-1]["arg"]["toneCurve"]["fnv"]
        self.pause()
        rows = visca_rows()
        at = next(i for i, r in enumerate(rows) if r[0] == "39 00 full auto") + 1
        self.run_rows(rows[:at] + settings_rows() + rows[at:])
        with self.subTest(row="DD 05: any value but 2 resumes the 3A step"):
            self.assertEqual(self.ask("81 01 04 DD 05 FF"), b"\0")
            self.wait_passes(10)
        if self.CALIBRATION_START:
            with self.subTest(row="38 06: the calibration's first requests"):
                self.calibration_start()

    def calibration_start(self):
        """38 06 holds the channel for its whole run (test_isp_visca's CalibrationTest judges it): here
        its first requests, neutral gains for the search and the lens to the zoom origin with focus
        40, and a stop that cuts it short."""
        def calibrate():
            try:
                ViscaChannel(self.root.dir, timeout=60.0).exchange(h("81 01 04 38 06 FF"))
            except Exception:  # the set is gone once the server stops: either way
                pass
        m = self.mark()
        client = threading.Thread(target=calibrate)
        client.start()
        # The channel is the calibration's now: the journals alone tell (only a hang ends the wait).
        deadline = time.monotonic() + 60
        while not ("81 01 04 47 00 00 00 00 00 00 02 08 FF" in self.packets(m) and (1024, 1024, 1024) in self.rgb(m)):
            self.assertLess(time.monotonic(), deadline, self.show(self.seen[m:]))
            time.sleep(0.05)
        self.assertEqual(self.server.stop(), 0, "\n".join(self.server.log()[-20:]))
        client.join(timeout=60)


class QuietBriskTest(QuietQuillonTest):
    """The same on model 2: the LEDs' level through the lens MCU."""
    board = "ORL Brisk"
    CALIBRATION_START = False


def spi(packet, command, **fields):
    """The pan/tilt unit took `packet` on SPI as `command`."""
    return ("board", "write", dict({"_bytes": packet, "_command": command}, **{"_" + k: v for k, v in fields.items()}))


DRIVES = [((3, 3), "stop"), ((1, 3), "left"), ((2, 3), "right"), ((3, 1), "up"), ((1, 1), "up-left"),
          ((2, 1), "up-right"), ((3, 2), "down"), ((1, 2), "down-left"), ((2, 2), "down-right")]
PAN, TILT = "00 01 02 03", "00 00 04 05"  # 0x0123, 0x0045
LIMITS_CLEARED = "07 0F 0F 0F 07 0F 0F 0F"


def pan_tilt_rows():
    drives = [("06 01 %s" % name, "81 01 06 01 05 06 %02X %02X FF" % (x, y),
               [spi("81 01 06 01 05 06 %02X %02X FF" % (x, y), "drive", x=x, y=y, panSpeed=5, tiltSpeed=6)])
              for (x, y), name in DRIVES]
    return drives + nothing(
        # No direction pair, and direction bytes outside 1..3 (some of which share a drive's bits).
        "81 01 06 01 05 06 00 00 FF", "81 01 06 01 05 06 00 13 FF", "81 01 06 01 05 06 00 33 FF",
        "81 01 06 01 05 06 01 13 FF", "81 01 06 01 05 06 02 13 FF", "81 01 06 01 05 06 10 03 FF",
        "81 01 06 01 05 06 13 03 FF", "81 01 06 01 05 06 31 01 FF",
        # Codes the unit's forwarding does not know.
        "81 01 06 06 00 FF", "81 01 06 08 00 FF",
    ) + [
        ("06 02 absolute", "81 01 06 02 05 06 %s %s FF" % (PAN, TILT),
         [spi("81 01 06 02 05 06 %s %s FF" % (PAN, TILT), "absolute", pan=0x123, tilt=0x45)]),
        ("06 03 relative goes out as absolute", "81 01 06 03 07 08 %s %s FF" % (TILT, PAN),
         [spi("81 01 06 02 07 08 %s %s FF" % (TILT, PAN), "absolute", pan=0x45, tilt=0x123)]),
        ("06 04 home", "81 01 06 04 FF", [spi("81 01 06 04 FF", "home")]),
        ("06 05 reset", "81 01 06 05 FF", [spi("81 01 06 05 FF", "reset")]),
        ("06 07 set the down-left limit", "81 01 06 07 00 00 %s %s FF" % (PAN, TILT),
         [spi("81 01 06 07 00 00 %s %s FF" % (PAN, TILT), "limitSet", pan=0x123, tilt=0x45)]),
        ("06 07 set the up-right limit", "81 01 06 07 00 01 %s %s FF" % (PAN, TILT),
         [spi("81 01 06 07 00 01 %s %s FF" % (PAN, TILT), "limitSet", pan=0x123, tilt=0x45)]),
        ("06 07 clear the down-left limit", "81 01 06 07 01 00 %s %s FF" % (PAN, TILT),
         [spi("81 01 06 07 01 00 %s FF" % LIMITS_CLEARED, "limitClear")]),
        ("06 07 any other byte 4 clears: the up-right limit", "81 01 06 07 05 01 %s %s FF" % (PAN, TILT),
         [spi("81 01 06 07 01 01 %s FF" % LIMITS_CLEARED, "limitClear")]),
    ]


class QuietPanTiltTest(QuietQuillonTest):
    """The pan/tilt category on the board whose unit is on SPI (model 3), the 3A step paused."""
    board = "ORL Tarrow"

    def test_rows(self):
        self.pause()
        self.run_rows(pan_tilt_rows())


# ---- the live tables ---------------------------------------------------------------------------

TARGET_BASE = 20720  # the zoom-lens boards' AE target base
ZONE = 17 * TARGET_BASE // 128  # how far from its target the AE controller leaves the luminance


class LiveBase(EffectBase):
    """Rows that need the 3A step: each a callable of the test, judged by outcome, bounded by 3A passes."""

    def run_live(self, rows):
        t0 = time.monotonic()
        for name, row in rows:
            with self.subTest(row=name):
                t = time.monotonic()
                row(self)
                print("\n  %s: %.1f s" % (name, time.monotonic() - t), file=sys.stderr)
        print("%s: %d rows in %.1f s" % (type(self).__name__, len(rows), time.monotonic() - t0), file=sys.stderr)

    def scene(self, **doc):
        self.root.scene(dict({"lux": 400, "kelvin": 5500, "distance": 5}, **doc))

    def settle(self, target, passes=900, zone=ZONE):
        """Until the measured luminance (F8) stays within the AE controller's `zone` around `target` for
        ten readings a pass or more apart."""
        run, seen = 0, []
        start = self.passes()
        while run < 10:
            y = self.value("F8")
            seen.append(y)
            run = run + 1 if abs(y - target) <= zone else 0
            self.assertLess(self.passes() - start, passes, "not settled on %d: %s" % (target, seen[-20:]))
            self.wait_passes(1)
        return y

    def shutters(self, since):
        return [j["arg"]["value"] / SHUTTER_UNIT for j in self.lines(since, req=SET_SHUTTER)]

    def gains(self, since):
        return [round(j["arg"]["value"] / AGC_STEP) for j in self.lines(since, req=SET_AGC)]

    def holds(self, what, condition, passes=60):
        """`condition` holds through `passes` 3A passes."""
        start = self.passes()
        while self.passes() - start < passes:
            self.assertTrue(condition(), what)
            time.sleep(0.05)
        self.assertTrue(condition(), what)



def slowest_time(v):
    """The shutter of the slowest bound the settings give (1/30 s), within a step of the table."""
    return 1 / 30 <= v < 1 / 30 * 1.07


def mode_switch(test, since, iris="81 01 04 D4 02 FF"):
    """The AE controller's mode switch on its next pass: the DC iris to its drive (automatic) or by hand."""
    test.until("the mode switch", lambda: iris in test.packets(since), passes=60)


# The AE mode rows take the mode by VISCA (a packet) or by the settings (a change).
MANUAL, FULL_AUTO = "81 01 04 39 03 FF", "81 01 04 39 00 FF"


def row_manual(step):
    def row(t):
        t.scene()
        m = t.mark()
        t.step(step)
        t.assertEqual(t.ae_mode(), 0)
        mode_switch(t, m, "81 01 04 D4 03 FF")
        t.until("the iris open by hand", lambda: "81 01 04 4B 00 00 0F 0F FF" in t.packets(m), passes=60)
        t.scene(lux=100)
        m = t.mark()
        t.holds("the exposure held", lambda: t.shutters(m) == [] and t.gains(m) == [], passes=90)
        # A short shutter by hand, so that the next mode's start from the slowest one shows.
        t.assertEqual(t.ask("81 01 04 4A 00 00 00 0F 0A FF"), b"\0")
        t.assertTrue(0.004 <= t.shutters(m)[-1] < 0.0043, t.shutters(m))
    return row


def row_full_auto(step):
    def row(t):
        m = t.mark()
        t.step(step)
        t.assertEqual(t.ae_mode(), 1)
        mode_switch(t, m)
        t.until("the slowest shutter first", lambda: t.shutters(m), passes=60)
        t.assertTrue(slowest_time(t.shutters(m)[0]), t.shutters(m))
        t.settle(TARGET_BASE)
    return row


def row_shutter_priority(step):
    def row(t):
        t.scene(lux=100)
        t.settle(TARGET_BASE)
        m = t.mark()
        t.step(step)
        t.assertEqual(t.ae_mode(), 2)
        t.scene(lux=12)
        t.until("the gain up", lambda: max(t.gains(m) + [0]) > 20, passes=300)
        # Only the settings' shutter priority sets a shutter, its position map's one.
        t.assertEqual(t.shutters(m), [] if isinstance(step, str) else t.shutters(m)[:1])
    return row


def row_iris_priority(t):
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 39 0E FF"), b"\0")
    t.assertEqual(t.ae_mode(), 3)
    mode_switch(t, m)
    t.until("the slowest shutter", lambda: any(slowest_time(v) for v in t.shutters(m)), passes=60)


def row_iris_adjust(t):
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 39 0F FF"), b"\0")
    t.assertEqual(t.ae_mode(), 3)  # unchanged
    opened, closed = "81 01 04 D3 00 00 01 04 FF", "81 01 04 D3 00 00 0F 0A FF"
    t.until("the iris driven open, then shut", lambda: closed in t.packets(m), passes=400)
    sent = t.packets(m)
    t.assertLess(sent.index(opened), sent.index(closed))
    # The calibration would take a minute more. Out of it, by hand, the DC iris's drive value open
    # again for the modes after it (it stays where the calibration drove it), and a short shutter.
    m = t.mark()
    t.assertEqual(t.ask(MANUAL), b"\0")
    mode_switch(t, m, "81 01 04 D4 03 FF")
    t.assertEqual(t.ask("81 01 04 D3 00 00 00 00 FF"), b"\0")
    t.assertEqual(t.ask("81 01 04 4A 00 00 00 0F 0A FF"), b"\0")


def row_wdr_switch(t):
    # In full auto at 400 lux the shutter stands well below the slowest; a WDR change makes the next
    # pass switch the mode again, which starts from the slowest shutter.
    t.scene()
    t.settle(TARGET_BASE)
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 3D 02 FF"), b"\0")
    t.until("the mode switch", lambda: t.shutters(m), passes=60)
    t.assertTrue(slowest_time(t.shutters(m)[0]), t.shutters(m))
    t.settle(TARGET_BASE)


def row_target(level):
    def row(t):
        t.assertEqual(t.ask("81 01 04 3A 00 00 %s FF" % nibbles(level, 2)), b"\0")
        t.settle(TARGET_BASE - 7500 + 150 * level)
    return row


def row_blc(t):
    # With the exposure held, the backlight metering table weighs the tiles of the chart otherwise.
    t.assertEqual(t.ask("81 01 04 39 03 FF"), b"\0")
    t.wait_passes(30)

    def luma():
        values = []
        for _ in range(5):
            t.wait_passes(2)
            values.append(t.value("F8"))
        return sorted(values)[2]
    before = luma()
    t.assertEqual(t.ask("81 01 04 33 02 FF"), b"\0")
    on = luma()
    t.assertEqual(t.ask("81 01 04 33 03 FF"), b"\0")
    off = luma()
    print("    F8: %d, backlight on %d, off %d" % (before, on, off), file=sys.stderr)
    t.assertGreater(abs(on - before), 0.05 * before)
    t.assertLess(abs(off - before), 0.02 * before)
    t.assertEqual(t.ask("81 01 04 39 00 FF"), b"\0")


def row_fastest_bound(t):
    t.scene(lux=20000)
    t.until("a short exposure", lambda: any(v < 0.001 for v in t.shutters(0)), passes=900)
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 2A 00 00 01 0F 04 FF"), b"\0")  # 1/500 s
    t.until("the shutter at the bound", lambda: t.shutters(m) and 0.002 <= t.shutters(m)[-1] < 0.00215, passes=900)
    print("    2A: the shortest shutter %.6f s" % min(t.shutters(m)), file=sys.stderr)
    m2 = t.mark()
    t.holds("the bound kept", lambda: all(v >= 0.002 for v in t.shutters(m2)), passes=60)


def row_ae_reset_bright(t):
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 39 01 FF"), b"\0")
    t.until("past the old bound", lambda: any(v < 0.0019 for v in t.shutters(m)), passes=900)


def row_dark_bounds(t):
    t.scene(lux=3)
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 2B 00 00 00 06 04 FF"), b"\0")  # 1/100 s
    t.assertEqual(t.ask("81 01 04 2C 00 00 01 04 FF"), b"\0")     # 20 %: AGC index 39
    m2 = t.mark()
    t.until("the gain at its bound", lambda: t.gains(m2)[-1:] == [39], passes=900)
    t.holds("the bounds kept", lambda: max(t.gains(m2)) <= 39 and all(v <= 0.0107 for v in t.shutters(m2)), passes=60)
    t.assertTrue(any(0.0099 < v <= 0.0107 for v in t.shutters(m)), t.shutters(m))


def row_ae_reset_dark(t):
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 39 01 FF"), b"\0")
    t.until("past the old bounds", lambda: any(v > 0.011 for v in t.shutters(m)) and max(t.gains(m) + [0]) > 39,
            passes=900)
    t.scene()


def row_flicker(t, step, reported, first, cap, lux):
    """A flicker mode: its first shutter the table's step 19 (1/120 s or 1/100 s); then, under a light
    that brightens for 12 s to `lux`, where the target wants a shorter time than the mode's fastest
    step, the steps climb to that one and stay (the VISCA modes' 110 and 115, the settings' the
    tables' last steps, 118 and 123, 1/20,000 s). The light never takes the luminance near the
    top of its scale, where the AE controller switches the mode again."""
    t.scene(lux=1500)
    t.settle(TARGET_BASE)
    m = t.mark()
    t.step(step)
    t.assertEqual(t.ae_mode(), reported)
    t.until("the flicker step 19", lambda: t.shutters(m), passes=60)
    t.assertEqual(round(t.shutters(m)[0] * SHUTTER_UNIT), SHUTTER_UNIT // first)
    t.scene(lux={"ramp": {"start": 0, "duration": 12, "from": 1500, "to": lux}})
    start = t.passes()
    t.until("the end of the light's ramp", lambda: t.camera()["scene"]["lux"] >= lux, passes=100000)
    steps = []
    while len(steps) < 3 or len(set(steps[-3:])) > 1:  # until it holds for 120 passes
        t.assertLess(len(steps), 10, steps)
        t.wait_passes(60)
        steps.append(t.value("FC"))
    print("    %s: steps %s after %d passes, %.6f s; F8 %d" % (
        step, steps, t.passes() - start, t.shutters(m)[-1], t.value("F8")), file=sys.stderr)
    t.assertEqual(steps[-3:], [cap] * 3)
    t.assertEqual(t.ask("81 01 04 39 00 FF"), b"\0")
    t.scene()


def row_awb(packet, kelvin, direction, moves=True):
    """White balance under a change of light: held (no new gains), or following it: red and blue
    each 64 or more the way the light asks (`direction` +1: warmer light, red down and blue up)."""
    def row(t):
        t.assertEqual(t.ask(packet), b"\0")
        t.wait_passes(10)
        m = t.mark()
        before = t.rgb(0)[-1]
        t.scene(kelvin=kelvin)
        if not moves:
            t.holds("the gains held", lambda: t.rgb(m) == [], passes=90)
            return

        def moved():
            g = t.rgb(m)
            return g and direction * (before[0] - g[-1][0]) >= 64 and direction * (g[-1][2] - before[2]) >= 64
        t.until("the gains follow the light", moved, passes=600)
    return row


class LiveExposureQuillonTest(LiveBase):
    """The exposure modes, bounds and target, the backlight metering, the WDR's mode switch, the
    flicker modes, and the white balance's modes, by what the sensor is given."""

    def test_rows(self):
        self.scene()
        # The IR LEDs by hand: a night the dark rows bring lights none, which would brighten the scene.
        self.assertEqual(self.ask("81 01 04 B0 05 FF"), b"\0")
        self.run_live([
            ("39 03 manual: the iris by hand, the exposure held", row_manual(MANUAL)),
            ("39 00 full auto: the slowest shutter first, then the target", row_full_auto(FULL_AUTO)),
            ("39 0A shutter priority: only the gain follows", row_shutter_priority("81 01 04 39 0A FF")),
            ("aeMode manual", row_manual({"aeMode": "manual"})),
            ("aeMode auto", row_full_auto({"aeMode": "auto"})),
            ("aeMode shutter", row_shutter_priority({"aeMode": "shutter"})),
            ("39 03 again", row_manual(MANUAL)),
            ("39 0E iris priority", row_iris_priority),
            ("39 0F iris adjust: the iris driven open and shut", row_iris_adjust),
            ("39 00 after the iris", row_full_auto(FULL_AUTO)),
            ("3D: the next pass switches the mode again", row_wdr_switch),
            ("3A target 80", row_target(80)),
            ("3A target 20", row_target(20)),
            ("3A target 50", row_target(50)),
            ("33: the backlight metering", row_blc),
            ("2A fastest shutter 1/500 s", row_fastest_bound),
            ("39 01 AE reset lifts it", row_ae_reset_bright),
            ("2B slowest shutter 1/100 s, 2C gain 20 %", row_dark_bounds),
            ("39 01 AE reset lifts them", row_ae_reset_dark),
        ] + [
            ("35 05 manual: the gains held", row_awb("81 01 04 35 05 FF", 3000, +1, moves=False)),
            ("35 00 auto: the gains follow", row_awb("81 01 04 35 00 FF", 3000, +1)),
            ("35 04 ATW: the gains follow", row_awb("81 01 04 35 04 FF", 6500, -1)),
            ("35 06 after a hold: still held", lambda t: (t.ask("81 01 04 35 05 FF"),
                                                          row_awb("81 01 04 35 06 FF", 3000, +1, moves=False)(t))),
            ("35 00 auto again", row_awb("81 01 04 35 00 FF", 3000, +1)),
        ])


class LiveExposureBriskTest(LiveExposureQuillonTest):
    board = "ORL Brisk"


class LiveFlickerQuillonTest(LiveBase):
    """The flicker modes' steps, one mains frequency by VISCA and the other by the settings."""
    # (the mode's command, the mode the inquiry reports, first shutter 1/x s, fastest step, light at the end)
    FLICKER = (("81 01 04 39 06 FF", 4, 120, 110, 100000), ({"aeMode": "flick50"}, 5, 100, 123, 200000))

    def test_rows(self):
        self.scene()
        self.run_live([("flicker %s" % (f[0],), lambda t, f=f: row_flicker(t, *f)) for f in self.FLICKER])


class LiveFlickerBriskTest(LiveFlickerQuillonTest):
    board = "ORL Brisk"
    FLICKER = (("81 01 04 39 07 FF", 5, 100, 115, 100000), ({"aeMode": "flick60"}, 4, 120, 118, 200000))


def blur(t):
    """Blur of the lens now, in depths of field, for the chart at the scene's distance."""
    c = t.camera()
    lens_state = c["lens"]
    best = lens_state["focusInfinity"] + lens_state["focusPerDioptre"] / c["scene"]["distance"]
    return abs(lens_state["focus"] - best) / lens_state["depthOfField"]


def focus_moves(test, since):
    return [p for p in test.packets(since) if p.startswith(("81 01 04 48", "81 01 04 47", "81 01 04 08 0"))]


def defocus(t):
    """The focus by hand far from the chart's (manual focus and a push mode take it)."""
    t.assertEqual(t.ask("81 01 04 48 00 04 00 00 FF"), h("08 90 50 00 04 00 00 FF"))
    t.wait_lens({"focus": 1024, "moving": 0})


def focuses(t, what):
    t.until(what, lambda: blur(t) <= 1.5, passes=450)


def af_settles(t):
    """Until the AF has made no move for 30 passes."""
    start = t.passes()
    while True:
        m = t.mark()
        t.wait_passes(30)
        if len(focus_moves(t, m)) <= 1:
            return
        t.assertLess(t.passes() - start, 900, "the AF never settled")


def row_af(step, mode, before=None):
    """An AF mode (after `before`, another mode's command): what the AF then does. Manual: the lens
    stays where it is put. Auto: it focuses, and again when the chart moves. Zoom-triggered: a chart
    that moves is left alone, a zoom move is followed by one search."""
    def row(t):
        t.scene()
        if before:
            t.assertEqual(t.ask(before), b"\0")
            if mode == 2:
                defocus(t)
            else:
                focuses(t, "the AF before")
        t.step(step)
        if isinstance(step, str) and mode in (2, 3, 4):
            t.assertEqual(t.af_mode(), mode)
        if mode == 3:
            defocus(t)
            m = t.mark()
            t.holds("the lens left alone", lambda: focus_moves(t, m) == [] and t.lens_now()["focus"] == 1024, passes=90)
        elif mode == 2:
            focuses(t, "the AF focuses")
            try:
                t.scene(distance=2)
                focuses(t, "the AF follows the chart")
            finally:
                t.scene()
        elif mode == 4:
            af_settles(t)
            try:
                t.scene(distance=1.5)
                m = t.mark()
                t.holds("a moved chart left alone", lambda: focus_moves(t, m) == [], passes=90)
                t.assertGreater(blur(t), 2.0)
                t.assertEqual(t.ask("81 01 04 47 00 01 09 00 FF"), h("08 90 50 00 01 09 00 FF"))  # to 400
                focuses(t, "one search after the zoom")
            finally:
                t.scene()
                t.assertEqual(t.ask("81 01 04 47 00 01 02 0C FF"), h("08 90 50 00 01 02 0C FF"))  # back to 300
    return row


def row_one_push(t):
    t.assertEqual(t.ask("81 01 04 38 03 FF"), b"\0")
    defocus(t)
    t.assertEqual(t.ask("81 01 04 38 05 FF"), b"\0")
    focuses(t, "one search")


def row_refocus(step):
    """The AF in auto, settled, the chart far away (the LEDs light it not at all); `step` starts one
    more search: a burst of focus moves."""
    def row(t):
        t.scene(distance=100)
        try:
            t.assertEqual(t.ask("81 01 04 38 02 FF"), b"\0")
            focuses(t, "the AF focuses")
            af_settles(t)
            m = t.mark()
            t.step(step)
            t.until("a search", lambda: len(focus_moves(t, m)) >= 5, passes=150)
        finally:
            t.scene()
    return row


def light_readings(t, since):
    """The lens MCU's light-sensor answers since `since`, each with the place of its inquiry in
    `t.seen`."""
    out, asked = [], None
    for i in range(since, len(t.seen)):
        j = t.seen[i]
        if j["kind"] == "mcu" and j["bytes"] == "81 09 04 E4 FF":
            asked = i
        elif j["kind"] == "mcu_tx" and asked is not None and j["bytes"].startswith("90 50"):
            out.append((asked, nibble_word(h(j["bytes"])[2:6])))
            asked = None
    return out


def filter_at(t, since, packet):
    """The place in `t.seen` of the first IR-cut filter command `packet` since `since`, or None."""
    t.drain()
    return next((i for i in range(since, len(t.seen)) if t.seen[i]["kind"] == "mcu" and t.seen[i]["bytes"] == packet),
                None)


def night(t):
    """The filter's last command took it out."""
    t.drain()
    last = [j["bytes"] for j in t.seen if j["kind"] == "mcu" and j["bytes"] in (FILTER_OUT, FILTER_IN)]
    return last[-1:] == [FILTER_OUT]


FILTER_OUT, FILTER_IN = "81 01 04 01 03 FF", "81 01 04 01 02 FF"


def row_night_threshold(t):
    # 30 lux: the light sensor reads about 300. Sensitivity 0 takes night below 200 only, 2 below 400:
    # then the filter goes out at the second reading.
    t.scene(lux=30)
    t.assertEqual(t.ask("81 01 04 21 00 FF"), b"\0")
    m = t.mark()
    t.until("four readings", lambda: len(light_readings(t, m)) >= 4, passes=300)
    t.assertIsNone(filter_at(t, m, FILTER_OUT), light_readings(t, m))
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 21 02 FF"), b"\0")
    t.until("night", lambda: filter_at(t, m, FILTER_OUT) is not None, passes=300)
    night = [v for at, v in light_readings(t, m) if at < filter_at(t, m, FILTER_OUT)]
    print("    readings before night: %s" % night, file=sys.stderr)
    t.assertTrue(1 <= len(night) <= 2 and all(0 < v <= 400 for v in night), night)


def row_day_count(count):
    def row(t):
        if not night(t):
            t.scene(lux=30)
            t.until("night", lambda: night(t), passes=300)
        t.assertEqual(t.ask("81 01 04 22 %02X FF" % count), b"\0")
        m = t.mark()
        t.scene(lux=400)
        t.until("day", lambda: filter_at(t, m, FILTER_IN) is not None, passes=900)
        readings = [v for at, v in light_readings(t, m) if at < filter_at(t, m, FILTER_IN)]
        print("    readings before day: %s" % readings, file=sys.stderr)
        t.assertEqual([v >= 1000 for v in readings][-count:], [True] * count, readings)
        t.assertFalse(len(readings) > count and readings[-count - 1] >= 1000, readings)
    return row


def row_zoom_position(percent, zoom):
    def row(t):
        t.settings(zoomPosition=percent)  # answered once the move has ended
        t.wait_lens({"zoom": zoom, "moving": 0}, timeout=5)
    return row


def row_focus_positions(t):
    # Manual focus: 100, 0 and 50 % of the range the tracking curve gives at the zoom (each unlike
    # the one before it, which is all a change applies); 50 % lies half way.
    t.assertEqual(t.ask("81 01 04 38 03 FF"), b"\0")
    at = {}
    for percent in (100, 0, 50):
        m = t.mark()
        t.settings(focusPosition=percent)  # answered once the move has ended
        moves = [h(p) for p in t.packets(m) if p.startswith("81 01 04 47")]
        t.assertTrue(moves, t.packets(m))
        at[percent] = nibble_word(moves[-1][8:12])  # the move's focus
        t.assertEqual(nibble_word(moves[-1][4:8]), t.lens_now()["zoom"])  # at the zoom where it stands
    t.assertLess(at[0], at[100])
    t.assertLessEqual(abs(at[50] - (at[0] + at[100]) / 2), 1, at)


# What the AGC-driven pass of the 3A step (every 61 passes) sends at the highest gain for the
# noise-reduction level in force n: the temporal filter's alpha (0 below 30, else the model's base
# less 50), the spatial filter's edge min(36, n), the coring row min(3, n / 4).
def nr_pass(n):
    def expected(test):
        base = 240 - n if test.led_by_mcu else 210 - n
        return (base - 50 if n >= 30 else 0), min(36, n), "coring%d" % min(3, n // 4)
    return expected


def row_noise(step, n):
    def row(t):
        m = t.mark()
        t.step(step)
        alpha, edge, coring = nr_pass(n)(t)

        def first_pass():
            lines = t.seen[m:]
            starts = [i for i, j in enumerate(lines) if j.get("req") == MCTF]
            if not starts:
                return None
            rest = lines[starts[0]:]
            alphas = [i for i, j in enumerate(rest) if j.get("req") == "IAV_IOC_IMG_LUMA_SHARPENING"]
            firs = [j for j in rest[alphas[0]:] if j.get("req") == FIR] if alphas else []
            return (rest[0], [j for j in rest if j.get("req") == EDGE][0], firs[0]) if firs else None
        t.until("the next AGC-driven pass", lambda: t.lines(m) is not None and first_pass(), passes=200)
        mctf, spatial, fir = first_pass()
        t.assertEqual((mctf["arg"]["enable"], mctf["arg"]["curve0"]), (int(alpha > 0), alpha), mctf)
        t.assertEqual(spatial["arg"]["edgeThreshold"], edge)
        t.assertEqual(fir["arg"]["coring"]["fnv"], t.memory[coring], (coring, fir))
    return row


def row_coring_rows(t):
    # The coring rows the AGC-driven pass may send, learnt from F8: 0 and 3.
    for r in (0, 3):
        m = t.mark()
        t.assertEqual(t.ask("81 01 04 F8 00 00 00 %02X FF" % r), b"\0")
        t.memory["coring%d" % r] = t.lines(m, req=FIR)[-1]["arg"]["coring"]["fnv"]


def row_highest_gain(t):
    m = t.mark()
    t.assertEqual(t.ask("81 01 04 39 03 FF"), b"\0")
    t.assertEqual(t.ask("81 01 04 4C 00 00 06 04 FF"), b"\0")
    t.until("the highest gain", lambda: t.gains(m)[-1:] == [198], passes=60)


class LiveLensQuillonTest(LiveBase):
    """The AF modes by VISCA and by the settings, the lens positions of the settings, the refocus that
    LED changes start on models 2 and 3, and the noise-reduction level in force for the 3A step's
    AGC-driven passes."""

    def rows(self):
        return [
            ("38 03 manual: the lens left where it is put", row_af("81 01 04 38 03 FF", 3)),
            ("38 02 auto: the AF focuses, and follows the chart", row_af("81 01 04 38 02 FF", 2)),
            ("focusMode manual", row_af({"focusMode": "manual"}, 3, before="81 01 04 38 02 FF")),
            ("focusMode auto", row_af({"focusMode": "auto"}, 2, before="81 01 04 38 03 FF")),
            ("focusMode ztrig", row_af({"focusMode": "ztrig"}, 4, before="81 01 04 38 02 FF")),
            ("38 04 zoom-triggered: a search after a zoom move only",
             row_af("81 01 04 38 04 FF", 4, before="81 01 04 38 02 FF")),
            ("38 05 one push from manual: one search", row_one_push),
            ("zoomPosition 50", row_zoom_position(50, 303)),
            ("zoomPosition 100", row_zoom_position(100, 607)),
            ("zoomPosition 0", row_zoom_position(0, 0)),
            ("focusPosition 0, 100, 50", row_focus_positions),
        ]

    def noise_rows(self):
        return [
            ("the coring rows", row_coring_rows),
            ("manual exposure at the highest gain", row_highest_gain),
            ("53 level 40", row_noise("81 01 04 53 00 00 02 08 FF", 40)),
            ("53 level 0", row_noise("81 01 04 53 00 00 00 00 FF", 0)),
            ("53 level 20", row_noise("81 01 04 53 00 00 01 04 FF", 20)),
            ("denoise 40", row_noise({"denoise": 40}, 40)),
            ("IR on with irOnStsDenoise 1: irOnValDenoise 0 in force",
             row_noise({"irLedMode": "manual", "irLedLevel": 200, "irOnValDenoise": 0, "irOnStsDenoise": 1}, 0)),
            ("IR off: the day denoise 40", row_noise({"irLedLevel": 0}, 40)),
        ]

    def test_rows(self):
        self.scene()
        self.run_live(self.rows() + self.noise_rows())


class LiveLensBriskTest(LiveLensQuillonTest):
    """The same on model 2, where the LED commands refocus, and the day/night decision by the lens
    MCU's light sensor."""
    board = "ORL Brisk"

    def rows(self):
        return super().rows()[:2] + [
            ("01 03 refocuses", row_refocus("81 01 04 01 03 FF")),
            ("01 02 refocuses", row_refocus("81 01 04 01 02 FF")),
            ("irLedMode manual refocuses", row_refocus({"irLedMode": "manual"})),
            ("irLedMode auto refocuses", row_refocus({"irLedMode": "auto"})),
        ] + super().rows()[2:] + [
            ("21: the light below which night comes", row_night_threshold),
            ("22 01: day after one reading", row_day_count(1)),
            ("22 03: day after three readings", row_day_count(3)),
        ]


class FocusValueFennelTest(LiveBase):
    """The focus-value mode (inquiry 09 04 F6) on a fixed-lens model: sharpness 16 in force, the
    exposure on the AE target 6000, the AF figures published in the focus segment."""
    board = "ORL Fennel"
    zoom_lens = False

    def test_rows(self):
        self.pause()
        self.run_rows([("09 04 F6: sharpness 16", "81 09 04 F6 FF", sharpness(16), SHARPENING, "00")])
        with self.subTest(row="09 04 F6: the AE target 6000"):
            self.assertEqual(self.ask("81 01 04 DD 00 FF"), b"\0")
            self.settle(6000, zone=17 * 9500 // 128)
        with self.subTest(row="09 04 F6: the AF figures in the focus segment"):
            segment = shm_id(self.root.key(FOCUS))
            self.until("the figures published", lambda: any(shm_read(segment, 25)[1:]), passes=30)
            self.assertEqual(shm_read(segment, 1), b"\0")


if __name__ == "__main__":
    unittest.main()
