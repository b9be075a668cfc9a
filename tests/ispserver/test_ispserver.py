#!/usr/bin/python3
"""Process tests of kavo_ispserver_gen2: the real program under a test root, judged by its exit
status, its log, `ipcs` and its System V objects read through ctypes. Each test's root has key
files of its own, and everything on their keys is removed when the test ends.

Environment: KAVO_ISPSERVER, KAVO_ISPSERVER_SETTINGS (see ispserver_harness).
"""
import os
import random
import signal
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ispserver_harness import (CTRL, FOCUS, IMAGE, KEY_FILES, SIZES, VISCA, IspRoot,  # noqa: E402
                               ipcs_segments, release_key, sem_id, shm_create, shm_id, shm_read,
                               shm_write)

LOCK_MESSAGE = "ispserver already running or kavo_ispserver_singleton already acquired by someone else"
POLL_SECONDS = 0.05


class Base(unittest.TestCase):
    def setUp(self):
        self.roots = []

    def tearDown(self):
        for root in self.roots:
            root.cleanup()

    def root(self, **kw):
        r = IspRoot(**kw)
        self.roots.append(r)
        r.dsp_up()
        return r


class StartupTest(Base):
    def test_shared_memory_after_start(self):
        # No "/tmp/shm/" yet: the server makes it and its key files.
        root = self.root(key_files=False)
        s = root.start()
        root.wait_ready(s)
        mode = os.stat(root.path("/tmp/shm")).st_mode
        self.assertTrue(stat.S_ISDIR(mode))
        self.assertEqual(stat.S_IMODE(mode), 0o755)
        segments = ipcs_segments()
        for camera_path in KEY_FILES:
            self.assertEqual(os.path.getsize(root.path(camera_path)), 0)
            key = root.key(camera_path)
            self.assertIn(key, segments, "no segment on the key of %s (0x%08x)" % (camera_path, key))
            shmid, perms, size = segments[key]
            self.assertEqual((perms, size), ("666", SIZES[camera_path]), camera_path)
        self.assertEqual(shm_read(segments[root.key(CTRL)][0], 32), b"\0\1" + bytes(30))
        self.assertEqual(shm_read(segments[root.key(IMAGE)][0], 1024), bytes(1024))
        self.assertEqual(s.stop(), 0)

    def test_an_existing_segment_is_reused_and_cleared(self):
        root = self.root()
        shmid = shm_create(root.key(CTRL), 32)
        shm_write(shmid, b"\xa5" * 32)
        s = root.start()
        root.wait_ready(s)
        self.assertEqual(shm_id(root.key(CTRL)), shmid)
        self.assertEqual(shm_read(shmid, 32), b"\0\1" + bytes(30))
        self.assertEqual(s.stop(), 0)

    def test_a_second_instance_leaves_the_first_alone(self):
        root = self.root()
        first = root.start()
        root.wait_ready(first)
        before = {p: shm_id(root.key(p)) for p in KEY_FILES}
        semid = sem_id(root.key(VISCA))
        second = root.start()
        self.assertEqual(second.wait(), 255)
        self.assertTrue(second.has(LOCK_MESSAGE), second.log())
        self.assertIsNone(first.proc.poll())
        self.assertEqual({p: shm_id(root.key(p)) for p in KEY_FILES}, before)
        self.assertEqual(sem_id(root.key(VISCA)), semid)
        self.assertEqual(shm_read(before[CTRL], 2), b"\0\1")
        self.assertEqual(first.stop(), 0)

    def test_without_a_readable_settings_file_start_up_fails(self):
        for content in (None, "not json", '{"image": '):
            root = self.root(settings=False)
            if content is not None:
                root.write("/usr/etc/kavo_ispserver.json", content)
            s = root.start()
            self.assertEqual(s.wait(), 255, content)
            self.assertIn("[IspServer_main] load setting failed.", s.out, content)
            # The board was detected and the segments made before the file was read; no thread ran.
            self.assertNotEqual(shm_id(root.key(CTRL)), -1, content)
            self.assertEqual(sem_id(root.key(VISCA)), -1, content)

    def test_a_settings_or_board_file_that_is_no_regular_file_is_refused_at_once(self):
        # A FIFO would hold the open for ever, "/dev/zero" the read (and memory without bound).
        for how in ("fifo", "/dev/zero"):
            root = self.root(settings=False)
            settings = root.path("/usr/etc/kavo_ispserver.json")
            if how == "fifo":
                os.mkfifo(settings)
            else:
                os.symlink(how, settings)
            s = root.start()
            self.assertEqual(s.wait(timeout=20), 255, how)
            self.assertIn("[IspServer_main] load setting failed.", s.out, how)
        # A board file that is a FIFO is a missing one: board 0.
        root = self.root(board=None)
        os.mkfifo(root.path("/etc/board.info"))
        s = root.start()
        root.wait_ready(s)
        self.assertTrue(s.has("the /etc/board.info can't be opened. set the board name as default."), s.log())
        self.assertEqual(s.stop(), 0)

    def test_links_where_key_files_go_are_refused(self):
        # A dangling link in a key file's place: nothing is made where it points.
        root = self.root()
        release_key(root.key(IMAGE))
        os.unlink(root.path(IMAGE))
        planted = root.path("/tmp/planted")
        os.symlink(planted, root.path(IMAGE))
        s = root.start()
        root.wait_ready(s)
        self.assertFalse(os.path.lexists(planted))
        self.assertTrue(s.has("/tmp/shm/image is a link: refused as a key file"), s.log())
        self.assertEqual(s.stop(), 0)
        # "/tmp/shm" itself a link: no key file is made behind it. Without key files there is no
        # segment to be ready; the IPC endpoint comes later in start-up.
        root = self.root(key_files=False)
        elsewhere = root.path("/tmp/elsewhere")
        os.mkdir(elsewhere)
        os.symlink(elsewhere, root.path("/tmp/shm"))
        s = root.start()
        deadline = time.monotonic() + 20
        while not os.path.exists(root.path("/var/run/ipc/kavo_ispserver")) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertTrue(s.has("/tmp/shm/ is a link or not a folder of this server's own"), s.log())
        self.assertEqual(s.stop(), 0)


class StopTest(Base):
    def test_signals_stop_within_one_poll(self):
        """SIGTERM and SIGINT end the server with 0; the time from the signal to the exit is
        measured (the bound asserted leaves room for a loaded machine)."""
        figures = []
        for signum in (signal.SIGTERM, signal.SIGINT) * 3:
            root = self.root()
            s = root.start()
            root.wait_ready(s)
            time.sleep(random.uniform(0, POLL_SECONDS))  # anywhere in a poll
            t0 = time.monotonic()
            s.proc.send_signal(signum)
            status = s.wait()
            figures.append((time.monotonic() - t0) * 1000)
            self.assertEqual(status, 0, signum)
            messages = s.messages()
            self.assertIn("get signal num=%d" % signum, messages)
            self.assertLess(messages.index("ISP Server down..."), messages.index("server stop done"))
            self.assertEqual([m for m in messages if m][-1], "server stop done")
            for camera_path in (IMAGE, CTRL, FOCUS):
                self.assertEqual(shm_id(root.key(camera_path)), -1, camera_path)
            # The VISCA segment outlives the server; its semaphore set does not.
            self.assertNotEqual(shm_id(root.key(VISCA)), -1)
            self.assertEqual(sem_id(root.key(VISCA)), -1)
        print("signal to exit, ms: %s (poll %d ms)" % (" ".join("%.1f" % f for f in figures),
                                                       POLL_SECONDS * 1000), file=sys.stderr)
        self.assertLess(max(figures), 2000)

    def test_a_signal_cuts_the_zoom_boards_start_up_wait_short(self):
        """Boards 2 and 3 wait 5 s once the image pipeline has started. A SIGTERM at the start of
        that wait ends the server in order before the wait would have ended."""
        figures = []
        for board in ("ORL Brisk", "ORL Tarrow"):
            root = self.root(board=board)
            s = root.start()
            s.wait_log("waiting 5000 ms unless stopped", timeout=40)
            t0 = time.monotonic()
            s.proc.send_signal(signal.SIGTERM)
            status = s.wait()
            figures.append(time.monotonic() - t0)
            self.assertEqual(status, 0, board)
            messages = s.messages()
            self.assertLess(messages.index("get signal num=15"), messages.index("ISP Server down..."), board)
            self.assertEqual([m for m in messages if m][-1], "server stop done", board)
        print("signal to exit, s: %s" % " ".join("%.2f" % f for f in figures), file=sys.stderr)
        self.assertLess(max(figures), 5.0)

    def test_a_segment_that_could_not_be_made_is_not_removed(self):
        # A smaller segment of someone else on the image key: the server runs without its own.
        root = self.root()
        foreign = shm_create(root.key(IMAGE), 16)
        s = root.start()
        root.wait_ready(s)
        self.assertTrue(s.has("[createShareMemoryChar]shmget error=22"), s.log())
        self.assertTrue(s.has("[createIspServerShareMemory] share memory create failed!!"), s.log())
        self.assertEqual(s.stop(), 0)
        self.assertFalse(s.has("detach error"), s.log())
        self.assertEqual(shm_id(root.key(IMAGE)), foreign)
        self.assertEqual(shm_id(root.key(CTRL)), -1)


class StaleSemaphoreTest(Base):
    def test_a_killed_server_does_not_cost_the_next_one_its_visca_channel(self):
        root = self.root()
        first = root.start()
        root.wait_ready(first)
        left = sem_id(root.key(VISCA))
        first.kill()
        self.assertEqual(sem_id(root.key(VISCA)), left, "the killed server's set is gone already")

        second = root.start()
        root.wait_ready(second, stale_set=left)
        self.assertTrue(second.has("removed the semaphore set %d that an earlier server left on %s" % (left, VISCA)),
                        second.log())
        self.assertFalse(second.has("Create semaphore failed"))
        self.assertEqual(second.stop(), 0)
        self.assertEqual(sem_id(root.key(VISCA)), -1)


if __name__ == "__main__":
    unittest.main()
