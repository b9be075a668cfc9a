#!/usr/bin/env python3
"""The lens link's wire, judged from outside: this script plays the lens MCU on a pseudo-terminal of
its own ("/dev/ttyS1" under a private root links to it), runs the ISP server's sub-CPU operations
through kavo_lens_probe, and compares every byte the server wrote with the bytes the protocol
prescribes; it answers inquiries with bytes of its own and checks what the server read from them.
Pan/tilt packets go on the SPI bus: they are read from the simulated unit's journal.
(Python 3 standard library only; shares no code with the server or the emulator.)"""
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import unittest

PROBE = os.environ.get("KAVO_LENS_PROBE", "")


def h(text):
    return bytes.fromhex(text)


# Inquiry packets (after the header, without FF) and the answer this MCU gives.
ANSWERS = {
    h("09 04 47"): [h("90 50 00 02 05 0F FF")],                      # zoom 607
    h("09 04 E4"): [h("90 50 01 02 03 04 FF")],                      # light 0x1234
    h("09 04 DA"): [h("90 50 0F 0F 0F 06 FF")],                      # focus wide bias -10
    h("09 06 12"): [h("90 50 01 0F 0F 0F 0F 0F 0F 0F 0F FF"),        # pan -1, tilt -1
                    h("90 50 00 00 01 00 00 00 00 00 10 FF")],       # pan 256, tilt 0
}
MOVES = (h("01 04 47"), h("01 04 48"), h("01 04 DD"), h("01 04 19"))


class LineMcu(threading.Thread):
    """Reads what the server writes, packet by packet, and answers as an MCU would."""

    def __init__(self, master):
        super().__init__(daemon=True)
        self.master = master
        self.packets = []
        self.answers = {k: list(v) for k, v in ANSWERS.items()}
        self.stop = False
        self.quiet = threading.Event()  # set when a wait found nothing more to read

    def run(self):
        pending = b""
        while not self.stop:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                self.quiet.set()
                continue
            try:
                pending += os.read(self.master, 256)
            except OSError:
                continue
            while b"\xff" in pending:
                packet, _, pending = pending.partition(b"\xff")
                packet += b"\xff"
                self.packets.append(packet)
                body = packet[1:-1]
                if body[:1] == b"\x01":
                    os.write(self.master, h("90 41 FF"))
                    if body[:3] in MOVES:
                        os.write(self.master, h("90 51 FF"))
                elif body[:1] == b"\x09":
                    queue = self.answers.get(bytes(body))
                    os.write(self.master, queue.pop(0) if queue else h("90 60 02 FF"))


class WireTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kl.", dir="/tmp")
        os.makedirs(os.path.join(self.root, "dev"))
        self.master, self.slave = os.openpty()
        os.symlink(os.ttyname(self.slave), os.path.join(self.root, "dev", "ttyS1"))
        self.mcu = LineMcu(self.master)
        self.mcu.start()

    def tearDown(self):
        self.mcu.stop = True
        self.mcu.join()
        os.close(self.slave)
        os.close(self.master)
        shutil.rmtree(self.root, ignore_errors=True)

    def probe(self, *ops, board=2):
        args = [PROBE, "--board", str(board)]
        for op in ops:
            args += [str(x) for x in op] + [","]
        r = subprocess.run(args[:-1], env=dict(os.environ, KAVO_ROOT=self.root), capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        # Everything the probe wrote is read once the line has stayed quiet for a wait.
        self.mcu.quiet.clear()
        self.assertTrue(self.mcu.quiet.wait(60))
        return [line.split() for line in r.stdout.splitlines()]

    def wire(self):
        return [p.hex(" ").upper() for p in self.mcu.packets]

    def test_commands_go_out_as_the_protocol_writes_them(self):
        out = self.probe(("setDCIrisMode", 1), ("setDCIrisMode", 0), ("setICR", 1), ("setICR", 0),
                         ("setIrLedLevel", 255), ("setIrLedLevel", 1), ("setHeater", 1, 1), ("setZoom", 0x1234),
                         ("setZoom", 0x12345), ("zoomTele",), ("zoomWide",), ("zoomStop",), ("focusNear",),
                         ("focusFar",), ("setFocus", 1888), ("setTrackingCurve", 12), ("lensInit",),
                         ("setFocusWideBias", 0xFFF6), ("syncAbsZoomFocus", 300, 900))
        self.assertEqual(self.wire(), [
            "81 01 04 D4 02 FF", "81 01 04 D4 03 FF", "81 01 04 01 03 FF", "81 01 04 01 02 FF",
            "81 01 04 B1 00 00 07 0F FF", "81 01 04 B1 00 00 00 00 FF", "81 01 04 D1 00 00 01 01 FF",
            "81 01 04 47 01 02 03 04 FF", "81 01 04 47 02 03 04 05 FF", "81 01 04 07 02 FF", "81 01 04 07 03 FF",
            "81 01 04 07 00 FF", "81 01 04 08 03 FF", "81 01 04 08 02 FF", "81 01 04 48 00 07 06 00 FF",
            "81 01 04 DD 00 00 00 0C FF", "81 01 04 19 01 FF", "81 01 04 DA 0F 0F 0F 06 FF",
            "81 01 04 47 00 01 02 0C 00 03 08 04 FF"])
        self.assertTrue(all(line[1] == "1" for line in out), out)

    def test_inquiries_read_the_answers_given(self):
        out = self.probe(("getZoom",), ("inqLightSensor",), ("getFocusWideBias",), ("inqPtPosition",),
                         ("inqPtPosition",), ("getFocus",))
        self.assertEqual(out[0], ["getZoom", "1", "607"])
        self.assertEqual(out[1], ["inqLightSensor", "0", str(0x1234)])
        self.assertEqual(out[2], ["getFocusWideBias", "1", "-10"])
        self.assertEqual(out[3], ["inqPtPosition", "0", "-1", "-1"])
        self.assertEqual(out[4], ["inqPtPosition", "0", "256", "0"])
        # Refused three times (this MCU calls the focus inquiry an error), then the fallback.
        self.assertEqual(out[5], ["getFocus", "0", "0"])
        self.assertEqual(self.wire(), ["81 09 04 47 FF", "81 09 04 E4 FF", "81 09 04 DA FF", "81 09 06 12 FF",
                                       "81 09 06 12 FF"] + ["81 09 04 48 FF"] * 3)

    def test_bad_addresses_write_nothing(self):
        out = self.probe(("peer", 8), ("setICR", 1), ("peer", 1), ("broadcast", 2), ("setICR", 1),
                         ("broadcast", 1), ("setICR", 1), ("broadcast", 0), ("peer", 7), ("setICR", 0))
        self.assertEqual([line[1] for line in out if line[0] == "setICR"], ["0", "0", "1", "1"])
        self.assertEqual(self.wire(), ["88 01 04 01 03 FF", "87 01 04 01 02 FF"])

    def test_pan_tilt_packets_on_the_spi_bus(self):
        out = self.probe(("ptAbsolute", 24, 20, -100, 50), ("ptUp", 3, 4), ("ptDownRight", 1, 2),
                         ("ptLimitSetUpRight", 2000, 1000), ("ptLimitClearDownLeft",), ("ptHome",), board=3)
        self.assertTrue(all(line[1] == "0" for line in out), out)
        writes = []
        with open(os.path.join(self.root, "tmp", "kavo_sim", "board.journal")) as f:
            for line in f:
                j = json.loads(line)
                if j.get("node") == "/dev/spidev0.0" and j.get("req") == "write":
                    writes.append(j["bytes"])
        self.assertEqual(writes, [
            "81 01 06 02 18 14 0F 0F 09 0C 00 00 03 02 FF", "81 01 06 01 03 04 03 01 FF",
            "81 01 06 01 01 02 02 02 FF", "81 01 06 07 00 01 00 07 0D 00 00 03 0E 08 FF",
            "81 01 06 07 01 00 07 0F 0F 0F 07 0F 0F 0F FF", "81 01 06 04 FF"])
        self.assertEqual(self.wire(), [], "nothing of it on the serial line")


if __name__ == "__main__":
    unittest.main()
