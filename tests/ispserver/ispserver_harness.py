"""Runs the real kavo_ispserver_gen2 under a private test root and reads its System V objects with
ctypes (Python 3 standard library only; no code of the server is shared).

    root = IspRoot(board="ORL Fennel")          # /etc/board.info, default settings, fresh keys,
                                                # the colour-correction files, the video-port inputs
    root.dsp_up()                               # the simulated DSP encoding, as a streamer leaves it
    s = root.start()                            # KAVO_LOG_STDERR=1, KAVO_LOG_LEVEL=7
    root.wait_ready(s)                          # control byte 1 set and the VISCA set created
    ... s.stop() == 0
    root.cleanup()                              # kills what runs, removes the objects on its keys

Also used by bench/ispserver. Environment: KAVO_ISPSERVER (the program), KAVO_ISPSERVER_SETTINGS
(the shipped default settings file), KAVO_ISPSERVER_ETC (the shipped colour-correction files),
KAVO_SIM_CAMERA (the simulated camera's tool).
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "streamer"))
from streamer_harness import Root, Streamer  # noqa: E402

PROGRAM = os.environ.get("KAVO_ISPSERVER", "")
SETTINGS = os.environ.get("KAVO_ISPSERVER_SETTINGS", "")
ETC = os.environ.get("KAVO_ISPSERVER_ETC", "")
SIM_CAMERA = os.environ.get("KAVO_SIM_CAMERA", "")

CTRL = "/tmp/shm/ispserver_ctrl"
IMAGE = "/tmp/shm/image"
VISCA = "/tmp/shm/visca_server"
FOCUS = "/tmp/shm/focus_server"
KEY_FILES = (CTRL, IMAGE, VISCA, FOCUS)
VPORT_INPUTS = ("/proc/gpio/vport_in1", "/proc/gpio/vport_in2")
SIZES = {CTRL: 32, IMAGE: 1024, VISCA: 64, FOCUS: 64}

IPC_CREAT = 0o1000
IPC_EXCL = 0o2000
IPC_RMID = 0
SHM_RDONLY = 0o10000

_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmget.restype = ctypes.c_int
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
_libc.semget.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
_libc.semget.restype = ctypes.c_int
_libc.semctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]


def ftok(path, proj=0):
    """The key the C library's ftok makes: project byte, low byte of the device, low 16 bits of
    the inode."""
    st = os.stat(path)
    return ((proj & 0xFF) << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)


def shm_id(key):
    """The id of the segment on `key`, or -1."""
    return _libc.shmget(key, 0, 0)


def sem_id(key):
    return _libc.semget(key, 0, 0)


def shm_create(key, size):
    shmid = _libc.shmget(key, size, IPC_CREAT | 0o666)
    if shmid == -1:
        raise OSError(ctypes.get_errno(), "shmget")
    return shmid


def shm_read(shmid, size):
    addr = _libc.shmat(shmid, None, SHM_RDONLY)
    if addr is None or addr == ctypes.c_void_p(-1).value:
        raise OSError(ctypes.get_errno(), "shmat")
    try:
        return ctypes.string_at(addr, size)
    finally:
        _libc.shmdt(addr)


def shm_write(shmid, data):
    addr = _libc.shmat(shmid, None, 0)
    if addr is None or addr == ctypes.c_void_p(-1).value:
        raise OSError(ctypes.get_errno(), "shmat")
    try:
        ctypes.memmove(addr, data, len(data))
    finally:
        _libc.shmdt(addr)


def sem_create(key, count):
    semid = _libc.semget(key, count, IPC_CREAT | IPC_EXCL | 0o666)
    if semid == -1:
        raise OSError(ctypes.get_errno(), "semget")
    return semid


# Keys taken by a running test, one file each (its name the key, its text the owner's process id),
# so that two roots whose key files happen to meet on one key never both use it: the check that no
# object uses a key cannot see a root that has not created its objects yet. The C++ tests' key
# files (tests/support, SysvKeyFiles) take theirs here too; an owner that died leaves its key free.
KEY_RESERVATIONS = "/tmp/kavo-sysv-keys"


def reserve_key(key, owner=None):
    """True when `key` is now this process's (or `owner`'s) to use."""
    os.makedirs(KEY_RESERVATIONS, mode=0o1777, exist_ok=True)
    path = os.path.join(KEY_RESERVATIONS, "%08x" % (key & 0xFFFFFFFF))
    for _ in range(2):
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            try:
                with open(path) as f:
                    pid = int(f.read().strip() or 0)
                if pid > 0:
                    os.kill(pid, 0)
                    return False
            except ProcessLookupError:
                pass
            except (OSError, ValueError):
                return False
            try:
                os.unlink(path)  # its owner is gone
            except FileNotFoundError:
                pass
            continue
        with os.fdopen(fd, "w") as f:
            f.write("%d\n" % (owner or os.getpid()))
        return True
    return False


def release_key(key):
    try:
        os.unlink(os.path.join(KEY_RESERVATIONS, "%08x" % (key & 0xFFFFFFFF)))
    except FileNotFoundError:
        pass


def make_key_files(root_dir, owner=None):
    """The four key files under `root_dir`, each made afresh until its key is free and reserved;
    a file whose key is taken is kept aside, so that its inode stays taken."""
    os.makedirs(root_dir + "/tmp/shm", exist_ok=True)
    for camera_path in KEY_FILES:
        path = root_dir + camera_path
        for attempt in range(100):
            open(path, "w").close()
            key = ftok(path)
            if shm_id(key) == -1 and sem_id(key) == -1 and reserve_key(key, owner):
                break
            os.rename(path, path + ".taken%d" % attempt)
        else:
            raise RuntimeError("no free System V key for " + camera_path)


def make_vport_inputs(root_dir):
    """The board's video-port inputs, which the I/O thread of a zoom board reads twice a second, at
    rest: 1, while the trigger levels are 0 until settings set them."""
    os.makedirs(root_dir + "/proc/gpio", exist_ok=True)
    for camera_path in VPORT_INPUTS:
        with open(root_dir + camera_path, "w") as f:
            f.write("1\n")


def release_key_files(root_dir):
    """Gives back the keys of the key files under `root_dir`."""
    for camera_path in KEY_FILES:
        if os.path.exists(root_dir + camera_path):
            release_key(ftok(root_dir + camera_path))


def ipcs_segments():
    """Segments as `ipcs -m` lists them: {key: (shmid, perms, bytes)}."""
    out = subprocess.run(["ipcs", "-m"], capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[0].startswith("0x"):
            rows[int(parts[0], 16)] = (int(parts[1]), parts[3], int(parts[4]))
    return rows


class IspRoot(Root):
    """A private root with "/etc/board.info", the settings file, the video-port inputs and the four
    key files made so that no System V object uses their keys yet; everything on those keys is the
    test's own."""

    def __init__(self, board="ORL Fennel", settings=True, key_files=True, etc=True):
        super().__init__(fixtures=False, prefix="ki.")
        self.procs = []
        make_vport_inputs(self.dir)
        if board is not None:
            self.set_board(board)
        if settings:
            shutil.copyfile(SETTINGS, self.path("/usr/etc/kavo_ispserver.json"))
        if etc and ETC:
            os.makedirs(self.path("/etc/ispserver"), exist_ok=True)
            for name in os.listdir(ETC):
                shutil.copyfile(os.path.join(ETC, name), self.path("/etc/ispserver/" + name))
        if key_files:
            self.make_key_files()

    def set_board(self, board):
        """"/etc/board.info" for the server (the name) and a streamer (the camera information)."""
        self.write("/etc/board.info", "board.sysid=18\nboard.hwaddr=02AB34CD56EF\nboard.type=sim\nboard.name=%s\n"
                   % board)

    def dsp_up(self, size="320x180"):
        """The simulated DSP brought up and encoding one stream, as a streamer leaves it, so that
        the server finds it at once (without, it waits five seconds for one)."""
        if SIM_CAMERA:
            subprocess.run([SIM_CAMERA, "--root", self.dir, "encode", size], check=True, capture_output=True,
                           timeout=60)

    def scene(self, doc):
        """The simulated camera's scene script (lux, kelvin, distance, ir, texture ...), in force at once."""
        subprocess.run([SIM_CAMERA, "--root", self.dir, "scene", json.dumps(doc)], check=True, capture_output=True,
                       timeout=60)

    def camera(self):
        """What the simulated camera is doing now: scene, sensor (shutter, gain, white balance) and lens."""
        out = subprocess.run([SIM_CAMERA, "--root", self.dir, "show"], check=True, capture_output=True, text=True,
                             timeout=60).stdout
        return json.loads(out)

    def aaa_passes_since(self, pid, t_ns):
        """3A passes the server `pid` began after CLOCK_MONOTONIC `t_ns` (the DSP journal's clock on
        the real clock): its statistics reads, one a pass."""
        return sum(1 for j in self.journal() if j.get("req") == "IAV_IOC_IMG_GET_STATISTICS"
                   and j.get("pid") == pid and j.get("t", 0) > t_ns)

    def wait_aaa_passes(self, pid, count=1, timeout=60.0):
        """Until the server `pid` has begun `count` 3A passes after this call. After one, the pass
        under way, which may still act on what came before, is over; `count` passes take at least
        as many frames of the clock, and as long as a loaded machine needs for them."""
        since = time.monotonic_ns()
        deadline = time.monotonic() + timeout
        while self.aaa_passes_since(pid, since) < count:
            if time.monotonic() > deadline:
                raise AssertionError("fewer than %d 3A passes within %.0f s" % (count, timeout))
            time.sleep(0.02 if count == 1 else 0.5)

    def make_key_files(self):
        make_key_files(self.dir)

    def key(self, camera_path):
        return ftok(self.path(camera_path))

    def start(self, level=7):
        s = Streamer(self, level=level, program=PROGRAM)
        self.procs.append(s)
        return s

    def wait_ready(self, server, timeout=20.0, stale_set=-1):
        """Until the control segment says ready and the VISCA channel's set exists (the last
        start-up step); `stale_set` is a set that does not count (one left by a killed server)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if server.proc.poll() is not None:
                raise AssertionError("the server ended with %s:\n%s" % (server.proc.returncode,
                                                                       "\n".join(server.log()[-20:])))
            try:
                shmid = shm_id(self.key(CTRL))
                semid = sem_id(self.key(VISCA))
            except FileNotFoundError:  # not made yet
                shmid = semid = -1
            if shmid != -1 and shm_read(shmid, 2)[1] == 1 and semid not in (-1, stale_set):
                return
            time.sleep(0.01)
        raise AssertionError("the server did not start:\n" + "\n".join(server.log()[-20:]))

    def remove_objects(self):
        for camera_path in KEY_FILES:
            if not os.path.exists(self.path(camera_path)):
                continue
            key = self.key(camera_path)
            for _ in range(10):
                shmid = shm_id(key)
                if shmid == -1 or _libc.shmctl(shmid, IPC_RMID, None) != 0:
                    break
            for _ in range(10):
                semid = sem_id(key)
                if semid == -1 or _libc.semctl(semid, 0, IPC_RMID) != 0:
                    break

    def cleanup(self):
        for p in self.procs:
            p.kill()
        self.remove_objects()
        release_key_files(self.dir)
        super().cleanup()
