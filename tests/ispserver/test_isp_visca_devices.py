#!/usr/bin/python3
"""Process tests of the VISCA device and white-balance handlers through the real ISP server: the
lens MCU's remote upgrade and the pan/tilt drive, judged by the server's descriptors and the
journals of the simulated devices (the lens-MCU emulator on the serial line, the pan/tilt unit of
sim/board on SPI), and the red and blue gains of manual white balance, judged by what the simulated
sensor takes. The VISCA client of tools/ is the peer.

Environment: as test_isp_visca.py (KAVO_SIM_LENS_MCU) and ispserver_harness.py (KAVO_SIM_CAMERA).
"""
import json
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from ispserver_harness import SIM_CAMERA  # noqa: E402
from test_isp_visca import LENS_MCU, Base, h, nibble_word, start_lens_mcu  # noqa: E402

SPI = "/dev/spidev0.0"
BOARD_STATE = "/tmp/kavo_sim/board.state"  # what a descriptor of the board's devices refers to
WB_GAIN = "IAV_IOC_VIN_SRC_SET_WB_GAIN"


def signed16(nibbles):
    v = nibble_word(nibbles)
    return v - 0x10000 if v & 0x8000 else v


@unittest.skipUnless(LENS_MCU and SIM_CAMERA, "needs the lens-MCU emulator and the simulated camera")
class DeviceBase(Base):
    board = "ORL Tarrow"  # the zoom-lens board with the pan/tilt unit on SPI
    ZOOM = 300

    def before_server(self):
        start_lens_mcu(self, self.root, {"lens": 0, "zoom": self.ZOOM})

    def setUp(self):
        super().setUp()
        # The auto focus's start-up reads the lens some seconds after the channel is up (before it
        # on the boards whose start waits): until then it would fill the MCU's journal and hold a
        # stop for as long.
        self.server.wait_log("[af_init]FPosition=", timeout=20)

    def descriptors(self):
        """The server's descriptors: {fd: what it refers to}."""
        base = "/proc/%d/fd" % self.server.pid
        out = {}
        for name in os.listdir(base):
            try:
                out[int(name)] = os.readlink(os.path.join(base, name))
            except OSError:  # closed while listed
                pass
        return out

    def serial_descriptors(self):
        terminal = os.path.realpath(self.root.path("/dev/ttyS1"))  # the emulator's pseudo-terminal
        return [fd for fd, target in self.descriptors().items() if target == terminal]

    def spi(self, req=None):
        """The server's lines of the board journal on the SPI node (of one request)."""
        return [j for j in self.root.journal("board") if j.get("node") == SPI and j.get("pid") == self.server.pid
                and (req is None or j.get("req") == req)]

    def assert_stops_cleanly(self):
        self.assertEqual(self.server.stop(), 0, "\n".join(self.server.log()[-20:]))

    def mcu_received(self, after_ns, before_ns=None):
        return [j["bytes"] for j in self.root.journal("lens_mcu") if j.get("dir") == "rx" and j["t"] > after_ns
                and (before_ns is None or j["t"] < before_ns)]


class RemoteUpgradeTest(DeviceBase):
    HAS_SPI = True
    DRIVE_LEFT = "81 01 06 01 05 06 01 03 FF"

    def test_the_upgrade_takes_the_links_once_and_gives_them_back(self):
        self.assertEqual(len(self.serial_descriptors()), 1, self.descriptors())
        if self.HAS_SPI:
            opens = self.spi("open")
            self.assertEqual(len(opens), 1, opens)
            spi_fd = opens[0]["rc"]
            self.assertTrue(self.descriptors().get(spi_fd, "").endswith(BOARD_STATE), self.descriptors())
        else:
            self.assertEqual(self.spi(), [])  # only board 3 has the pan/tilt link

        links = self.serial_descriptors() + ([spi_fd] if self.HAS_SPI else [])
        others = {fd: target for fd, target in self.descriptors().items() if fd not in links}
        t0 = time.monotonic()
        for _ in range(2):
            self.assertEqual(self.ask("81 01 04 C8 01 FF"), b"\0")
        start_took = time.monotonic() - t0
        closed_at = time.monotonic_ns()
        # The links are closed, and nothing else (the second request closes nothing).
        self.assertEqual(self.descriptors(), others)
        if self.HAS_SPI:
            self.assertEqual([j["fd"] for j in self.spi("close")], [spi_fd])
            self.assertFalse(self.descriptors().get(spi_fd, "").endswith(BOARD_STATE), self.descriptors())
        # While the upgrade holds the lines nothing reaches the MCU or the pan/tilt unit: sends fail
        # on the closed descriptors, the zoom inquiry answers the last position the auto focus knows.
        writes = len(self.spi("write"))
        self.assertEqual(self.ask(self.DRIVE_LEFT), b"\0")
        self.assertEqual(self.ask("81 09 04 47 FF"), h("08 90 50 00 01 02 0C FF"))
        time.sleep(1.0)  # the 3A thread's own inquiries come about once a second
        reopen_at = time.monotonic_ns()
        self.assertEqual(self.mcu_received(closed_at, reopen_at), [])
        self.assertEqual(len(self.spi("write")), writes)

        t0 = time.monotonic()
        self.assertEqual(self.ask("81 01 04 C8 00 FF"), b"\0")
        stop_took = time.monotonic() - t0
        self.assertEqual(self.ask("81 01 04 C8 00 FF"), b"\0")  # no upgrade runs: nothing
        self.assertEqual(len(self.serial_descriptors()), 1, self.descriptors())
        self.assertEqual(self.ask("81 09 04 47 FF"), h("08 90 50 00 01 02 0C FF"))  # 300 from the emulator
        self.assertIn("81 09 04 47 FF", self.mcu_received(reopen_at))
        if self.HAS_SPI:
            self.assertEqual(len(self.spi("open")), 2)
            self.assertEqual(len(self.spi("close")), 1)
            again = self.spi()[-3:]
            self.assertEqual([(j["req"], j["arg"], j["rc"]) for j in again],
                             [("SPI_REQUEST_WR_MODE", {"mode": 1}, 0), ("SPI_REQUEST_WR_BITS_PER_WORD", {"bits": 8}, 0),
                              ("SPI_REQUEST_WR_MAX_SPEED_HZ", {"hz": 1000000}, 0)])
            self.assertEqual(self.ask(self.DRIVE_LEFT), b"\0")
            self.assertEqual([j["bytes"] for j in self.spi("write")[writes:]], [self.DRIVE_LEFT])
        else:
            self.assertEqual(self.spi(), [])
        print("\n%s: C8 01 took %.2f s (twice), C8 00 %.2f s" % (self.board, start_took, stop_took), file=sys.stderr)
        self.assert_stops_cleanly()


class RemoteUpgradeQuillonTest(RemoteUpgradeTest):
    board = "ORL Quillon"  # a zoom-lens board without the pan/tilt link
    HAS_SPI = False

    def test_a_stop_while_the_upgrade_holds_the_line(self):
        self.assertEqual(self.ask("81 01 04 C8 01 FF"), b"\0")
        self.assertEqual(self.serial_descriptors(), [])
        self.assert_stops_cleanly()


class PanTiltTest(DeviceBase):
    def position(self):
        reply = self.ask("81 09 06 12 FF")
        self.assertEqual((len(reply), reply[:3]), (12, h("0C 90 50")), reply.hex(" "))
        return signed16(reply[3:7]), signed16(reply[7:11])

    def test_the_drive_goes_out_on_spi(self):
        self.assertEqual(self.position(), (0, 0))
        self.assertEqual(self.ask("81 01 06 01 05 06 01 03 FF"), b"\0")  # left at pan speed 5
        writes = self.spi("write")
        self.assertEqual(len(writes), 1, writes)
        w = writes[0]
        self.assertEqual((w["bytes"], w["command"], w["x"], w["y"], w["panSpeed"], w["tiltSpeed"], w["rc"]),
                         ("81 01 06 01 05 06 01 03 FF", "drive", 1, 3, 5, 6, 9))
        time.sleep(0.5)
        # The unit (100 steps a second) moves left; its position comes back through the lens MCU.
        pan, tilt = self.position()
        self.assertLess(pan, -20)
        self.assertEqual(tilt, 0)
        # No direction pair: nothing is sent, and the unit keeps driving.
        self.assertEqual(self.ask("81 01 06 01 05 06 00 00 FF"), b"\0")
        self.assertEqual(len(self.spi("write")), 1)
        time.sleep(0.2)
        self.assertEqual(self.ask("81 01 06 01 05 06 03 03 FF"), b"\0")
        stop = self.spi("write")[1:]
        self.assertEqual([(j["command"], j["x"], j["y"]) for j in stop], [("drive", 3, 3)])
        stopped = self.position()
        self.assertLess(stopped[0], pan - 10)
        time.sleep(0.2)
        self.assertEqual(self.position(), stopped)
        # The handler's own print (standard output) names each request it took.
        expected = ["Pan=1,Tilt=3.", "Pan Left.", "Pan=0,Tilt=0.", "Pan=3,Tilt=3."]
        deadline = time.monotonic() + 5
        while [line for line in self.server.out if line] != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual([line for line in self.server.out if line], expected)
        self.assert_stops_cleanly()


class WhiteBalanceGainTest(DeviceBase):
    board = "ORL Quillon"  # AR0331: the gains go to the sensor

    def writes(self, after=0):
        """The server's white-balance writes to the sensor after journal line `after`."""
        return [j for j in self.root.journal() if j.get("req") == WB_GAIN and j.get("pid") == self.server.pid
                and j.get("seq", 0) > after and j.get("rc") == 0]

    @staticmethod
    def gains(lines):
        return [(j["arg"]["r"], j["arg"]["g"], j["arg"]["b"]) for j in lines]

    def in_force(self):
        """The sensor's gains once the last write has reached a frame."""
        due = self.writes()[-1]["arg"]["fromFrame"]
        deadline = time.monotonic() + 10
        while True:
            out = subprocess.run([SIM_CAMERA, "--root", self.root.dir, "show"], capture_output=True, text=True,
                                 check=True, timeout=30).stdout
            sensor = json.loads(out)["sensor"]
            if sensor["frame"] >= due:
                return tuple(sensor["wb"])
            self.assertLess(time.monotonic(), deadline, "the sensor never reached frame %d" % due)
            time.sleep(0.02)

    def mark(self):
        lines = self.writes()
        return lines[-1]["seq"] if lines else 0

    def run_steps(self, packet, count):
        mark = self.mark()
        for _ in range(count):
            self.assertEqual(self.ask(packet), b"\0")
        return self.gains(self.writes(mark))

    def test_the_gain_edges_in_force(self):
        self.assertEqual(self.ask("81 01 04 35 05 FF"), b"\0")  # manual: the automatic balance stops
        self.root.wait_aaa_passes(self.server.pid)  # a 3A pass under way when it stopped ends
        mark = self.mark()
        r0, g0, b0 = self.in_force()
        time.sleep(0.5)
        self.assertEqual(self.writes(mark), [])

        self.assertEqual(self.run_steps("81 01 04 03 00 FF", 1), [(1024, g0, b0)])
        # One request one step: 95 reach 4064, the 96th would reach 4096 and changes nothing.
        t0 = time.monotonic()
        up = self.run_steps("81 01 04 03 02 FF", 95)
        took = time.monotonic() - t0
        self.assertEqual(up, [(1024 + 32 * k, g0, b0) for k in range(1, 96)])
        self.assertEqual(self.run_steps("81 01 04 03 02 FF", 1), [])
        self.assertEqual(self.in_force(), (4064, g0, b0))
        # Down to 256, the lowest gain the sensor is given: the step from there computes 224, which
        # would go out as 256, the gains in force, which the driver does not send again.
        down = self.run_steps("81 01 04 03 03 FF", 120)
        self.assertEqual(down, [(4064 - 32 * k, g0, b0) for k in range(1, 120)])
        self.assertEqual(self.in_force(), (256, g0, b0))

        # The direct value v x 32 + 1 (v 0 as 1, above 127 as 127), in force from 256 up: 43 00
        # computes 33 and the sensor gets 256. Each differs from the gains before it, so it is sent.
        for nibbles, computed, sent in (("00 08", 257, 257), ("00 00", 33, 256), ("07 0F", 4065, 4065),
                                        ("00 07", 225, 256), ("0F 0F", 4065, 4065)):
            with self.subTest(nibbles=nibbles, computed=computed):
                self.assertEqual(self.run_steps("81 01 04 43 00 00 %s FF" % nibbles, 1), [(sent, g0, b0)])
                self.assertEqual(self.in_force(), (sent, g0, b0))
        # Blue the same way; red and green stay.
        self.assertEqual(self.run_steps("81 01 04 44 00 00 00 00 FF", 1), [(4065, g0, 256)])
        self.assertEqual(self.run_steps("81 01 04 04 02 FF", 2), [(4065, g0, 288), (4065, g0, 320)])
        self.assertEqual(self.run_steps("81 01 04 04 00 FF", 1), [(4065, g0, 1024)])
        self.assertEqual(self.in_force(), (4065, g0, 1024))
        # The DSP's own gains stay at 1.0 on this sensor, so the sensor's are the picture's.
        self.assertEqual([j for j in self.root.journal() if j.get("req") == "IAV_IOC_IMG_RGB_GAIN_ADJUST"
                          and j.get("pid") == self.server.pid], [])
        # The server answers no inquiry with the gains.
        self.assertEqual(self.ask("81 09 04 43 FF"), b"\0")
        self.assertEqual(self.ask("81 09 04 44 FF"), b"\0")
        print("\ngains before 03 00: %d %d %d; 95 steps of 03 02 took %.3f s" % (r0, g0, b0, took), file=sys.stderr)
        self.assert_stops_cleanly()


if __name__ == "__main__":
    unittest.main()
